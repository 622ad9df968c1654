// Where a multibyte or UTF-16 text handed over with a length really ends: at
// its first NUL, when one comes before the length runs out.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

namespace hux::platform {

inline std::string_view textBeforeNul(const char* text, size_t length) {
    if (!text) return {};
    const void* nul = std::memchr(text, 0, length);
    return std::string_view(text, nul ? static_cast<size_t>(static_cast<const char*>(nul) - text) : length);
}

inline std::u16string_view unitsBeforeNul(const char16_t* units, size_t count) {
    if (!units) return {};
    size_t length = 0;
    while (length < count && units[length] != 0) ++length;
    return std::u16string_view(units, length);
}

}  // namespace hux::platform
