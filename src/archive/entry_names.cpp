#include "archive/entry_names.h"

#include <cstring>

namespace hux {

namespace {

inline signed char orderByte(char c) { return static_cast<signed char>(c == '\\' ? '/' : c); }

// Removes name[from, to] (both inclusive).
void removeRange(ByteString& name, int32_t from, int32_t to) {
    const int32_t count = to - from + 1;
    std::memmove(name.data() + from, name.data() + to + 1, static_cast<size_t>(name.length() - to - 1));
    name.resize(name.length() - count);
}

int32_t find(const ByteString& name, std::string_view what) {
    const size_t at = name.view().find(what);
    return at == std::string_view::npos ? -1 : static_cast<int32_t>(at);
}

// Last position before `before` holding one of `set`, or -1.
int32_t lastBefore(const ByteString& name, int32_t before, std::string_view set) {
    for (int32_t i = before - 1; i >= 0; --i)
        if (set.find(name[i]) != std::string_view::npos) return i;
    return -1;
}

}  // namespace

int compareEntryNames(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    const size_t n = a.size();
    for (size_t i = 0; i < n; ++i) {
        if (a[i] == b[i]) continue;
        const signed char x = orderByte(a[i]);
        const signed char y = orderByte(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    return 0;
}

bool entryNamesEqual(std::string_view a, std::string_view b) { return compareEntryNames(a, b) == 0; }

void normalizeResourceName(ByteString& name) {
    for (int32_t d; (d = find(name, "\\.\\")) >= 0;) removeRange(name, d + 1, d + 2);
    for (int32_t d; (d = find(name, "\\..\\")) >= 0;) {
        const int32_t b = lastBefore(name, d, "\\:!");
        removeRange(name, b + 1, d + 3);
    }
}

void normalizeEntryName(ByteString& name) {
    for (int32_t d; (d = find(name, "..\\")) >= 0;) {
        const int32_t s = lastBefore(name, d, "\\");
        int32_t start = 0;
        if (s == 0) {
            start = 1;
        } else if (s > 0) {
            start = lastBefore(name, s, "\\") + 1;
        }
        removeRange(name, start, d + 2);
    }
}

}  // namespace hux
