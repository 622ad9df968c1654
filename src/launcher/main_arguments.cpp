#include "launcher/main_arguments.h"

#include "platform/text.h"
#include "services/wildcard.h"

namespace hux {

std::vector<ByteString> mainArgumentTexts(const StringList& argvValues, int32_t argc, char* const* argv) {
    // Each `argv` value is split like a command line; the pieces come first.
    GrowArray<char*> tokens;
    std::vector<ByteString> buffers(static_cast<size_t>(argvValues.count()));
    for (int32_t i = 0; i < argvValues.count(); ++i) {
        buffers[static_cast<size_t>(i)] = ByteString(argvValues.view(i));
        splitCommandLine(buffers[static_cast<size_t>(i)].data(), tokens, nullptr);
    }
    std::vector<ByteString> out;
    auto put = [&](const char* text) { out.emplace_back(text ? std::string_view(text) : std::string_view()); };
    for (char* t : tokens) put(t);
    for (int32_t i = 0; i < argc; ++i) put(argv ? argv[i] : nullptr);
    return out;
}

std::vector<std::u16string> mainArguments(const StringList& argvValues, int32_t argc, char* const* argv) {
    std::vector<std::u16string> out;
    for (const ByteString& text : mainArgumentTexts(argvValues, argc, argv))
        out.push_back(platform::ansiToUtf16(text.c_str(), static_cast<size_t>(text.length())));
    return out;
}

}  // namespace hux
