// Multibyte text on POSIX systems: the launcher's multibyte text is UTF-8
// whatever the locale says, converted by the launcher's own code.
#include <langinfo.h>

#include <cstring>

#include "common/utf.h"
#include "platform/shared/text_bounds.h"
#include "platform/text.h"

namespace hux::platform {

// A locale that is not installed, or "C", must not cost the user any
// character.
std::u16string ansiToUtf16(const char* text, size_t length) {
    return decodeUtf8Replacing(textBeforeNul(text, length), false);
}

ByteString utf16ToAnsi(const char16_t* units, size_t count) {
    ByteString out;
    appendUtf8Standard(out, unitsBeforeNul(units, count));
    return out;
}

std::u16string utf8TextToUtf16(std::string_view text) { return decodeUtf8Replacing(text, true); }

bool localeDecodes(std::string_view text) {
    if (!hasHighByte(text)) return true;
    const char* codeset = nl_langinfo(CODESET);
    if (!codeset || (std::strcmp(codeset, "UTF-8") != 0 && std::strcmp(codeset, "utf8") != 0)) return false;
    // Well-formed exactly when it survives a round trip.
    ByteString again;
    appendUtf8Standard(again, decodeUtf8Replacing(text, false));
    return again.view() == text;
}

bool classPathOpensByName(std::string_view path) {
    for (const char c : path)
        if (static_cast<unsigned char>(c) >= 0xF0) return false;
    return localeDecodes(path);
}

}  // namespace hux::platform
