// libFuzzer target: the command-line splitter, with and without wildcard marks.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "services/wildcard.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const bool withMarks = (data[0] & 1) != 0;
    // The splitter reads up to the first NUL; the rest of the input is kept so
    // that embedded NULs are exercised as well.
    std::vector<char> buffer(data + 1, data + size);
    buffer.push_back('\0');
    const size_t textLength = std::strlen(buffer.data());

    hux::GrowArray<char*> tokens;
    hux::GrowArray<int32_t> marks;
    char prefix[] = "prog";
    hux::splitCommandLine(prefix, tokens, nullptr);  // tokens already present
    const int32_t n = hux::splitCommandLine(buffer.data(), tokens, withMarks ? &marks : nullptr);
    if (n != tokens.size()) __builtin_trap();
    if (withMarks && marks.size() != n) __builtin_trap();
    for (int32_t i = 1; i < n; ++i) {
        // Every token lies inside the buffer, is terminated there and never
        // holds a blank outside quotes (which the splitter drops) beyond the text.
        const char* t = tokens[i];
        if (t < buffer.data() || t > buffer.data() + textLength) __builtin_trap();
        if (t + std::strlen(t) > buffer.data() + textLength) __builtin_trap();
        if (withMarks && (marks[i] < -1 || marks[i] > 1)) __builtin_trap();
        if (withMarks && marks[i] == 0 && std::strpbrk(t, "*?")) __builtin_trap();
    }
    return 0;
}
