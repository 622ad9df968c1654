#include "common/utf.h"

namespace hux {

void appendUtf8FromUtf16(ByteString& out, const char16_t* units, size_t count, bool stopAtZero) {
    // Reserve three bytes per unit up front, then trim to what was written.
    const int32_t start = out.length();
    if (count > static_cast<size_t>((INT32_MAX - 1 - start) / 3)) fatalOutOfMemory();
    out.resize(start + static_cast<int32_t>(count * 3));
    auto* p = reinterpret_cast<unsigned char*>(out.data()) + start;
    unsigned char* const begin = p;
    for (size_t i = 0; i < count; ++i) {
        const char16_t u = units[i];
        if (u == 0 && stopAtZero) break;
        if (u < 0x80) {
            *p++ = static_cast<unsigned char>(u);
        } else if (u < 0x800) {
            *p++ = static_cast<unsigned char>(0xC0 | (u >> 6));
            *p++ = static_cast<unsigned char>(0x80 | (u & 0x3F));
        } else {
            *p++ = static_cast<unsigned char>(0xE0 | (u >> 12));
            *p++ = static_cast<unsigned char>(0x80 | ((u >> 6) & 0x3F));
            *p++ = static_cast<unsigned char>(0x80 | (u & 0x3F));
        }
    }
    out.resize(start + static_cast<int32_t>(p - begin));
}

ByteString utf16ToUtf8(std::u16string_view units) {
    ByteString out;
    appendUtf8FromUtf16(out, units.data(), units.size());
    return out;
}

std::u16string utf8ToUtf16(std::string_view bytes) {
    std::u16string out;
    out.reserve(bytes.size());
    size_t i = 0;
    const size_t n = bytes.size();
    while (i < n) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        char16_t unit;
        if (c < 0x80) {
            unit = c;
            ++i;
        } else if ((c & 0xE0) == 0xC0 || (c & 0xF0) == 0xE0) {
            const size_t need = (c & 0xE0) == 0xC0 ? 2 : 3;
            if (n - i < need) break;  // cut off by the end of the text
            unit = static_cast<char16_t>(need == 2 ? (c & 0x1F) : (c & 0x0F));
            size_t j = 1;
            for (; j < need; ++j) {
                const auto d = static_cast<unsigned char>(bytes[i + j]);
                if ((d & 0xC0) != 0x80) break;
                unit = static_cast<char16_t>((unit << 6) | (d & 0x3F));
            }
            if (j < need) {
                unit = u'?';
                i += j;  // the offending byte is read again
            } else {
                i += need;
            }
        } else {
            unit = u'?';
            ++i;
        }
        if (unit == 0) break;
        out.push_back(unit);
    }
    return out;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (asciiLower(a[i]) != asciiLower(b[i])) return false;
    return true;
}

bool startsWithIgnoreCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && equalsIgnoreCase(s.substr(0, prefix.size()), prefix);
}

}  // namespace hux
