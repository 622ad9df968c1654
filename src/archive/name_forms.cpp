#include "archive/name_forms.h"

#include "common/hex_digit.h"
#include "common/utf.h"

namespace hux {

NameForms makeNameForms(const char16_t* units, size_t count) {
    NameForms f;
    f.hasLatin1 = true;
    for (size_t i = 0; i < count; ++i) {
        const char16_t u = units[i];
        if (u >= 0x80) f.differ = true;
        if (u >= 0x100) f.hasLatin1 = false;
    }
    if (f.hasLatin1) {
        f.latin1.resize(static_cast<int32_t>(count));
        for (size_t i = 0; i < count; ++i) f.latin1[static_cast<int32_t>(i)] = static_cast<char>(units[i]);
    }
    // Archive entry names are standard UTF-8: a character beyond the Basic
    // Multilingual Plane is one four-byte sequence there, not two surrogates.
    appendUtf8Standard(f.utf8, std::u16string_view(units, count), false);
    return f;
}

void replaceByte(ByteString& s, char from, char to) {
    for (int32_t i = 0; i < s.length(); ++i)
        if (s[i] == from) s[i] = to;
}

namespace {

bool needsEncoding(char16_t u) {
    if (u < 0x20 || u == 0x7F || (u >= 0x80 && u <= 0xA0)) return true;
    if (u < 0x80) {
        static constexpr std::string_view kSpecial = " \"#%<>?[\\]^`{|}+";
        return kSpecial.find(static_cast<char>(u)) != std::string_view::npos;
    }
    // Space separators, which a URI does not take either.
    return u == 0x1680 || (u >= 0x2000 && u <= 0x200A) || u == 0x2028 || u == 0x2029 || u == 0x202F || u == 0x205F ||
           u == 0x3000;
}

}  // namespace

void appendUrlUnit(std::u16string& out, char16_t unit) {
    if (!needsEncoding(unit)) {
        out.push_back(unit);
        return;
    }
    ByteString bytes;
    appendUtf8FromUtf16(bytes, &unit, 1, false);
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (char c : bytes.view()) {
        const auto b = static_cast<unsigned char>(c);
        out.push_back(u'%');
        out.push_back(static_cast<char16_t>(kHex[b >> 4]));
        out.push_back(static_cast<char16_t>(kHex[b & 15]));
    }
}

ByteString percentDecode(std::string_view text) {
    ByteString out;
    size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '+') {
            out.push(' ');
            ++i;
        } else if (c == '%' && i + 1 < text.size() && text[i + 1] == '%') {
            out.push('%');
            i += 2;
        } else if (c == '%' && i + 1 < text.size() && hexDigitValue(text[i + 1]) >= 0) {
            int value = hexDigitValue(text[i + 1]);
            i += 2;
            if (i < text.size() && hexDigitValue(text[i]) >= 0) {
                value = value * 16 + hexDigitValue(text[i]);
                ++i;
            }
            out.push(static_cast<char>(value));
        } else {
            out.push(c);
            ++i;
        }
    }
    return out;
}

}  // namespace hux
