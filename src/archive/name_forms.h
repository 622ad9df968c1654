// The two byte forms in which names from Java are looked up in the archive,
// and the URL text helpers of the "hux:" scheme.
#pragma once

#include <string>
#include <string_view>

#include "common/byte_string.h"

namespace hux {

struct NameForms {
    bool hasLatin1 = false;  // false when a unit is 256 or above
    ByteString latin1;       // each unit below 256 as the byte of that value
    ByteString utf8;         // standard UTF-8 (a surrogate pair as four bytes)
    // The forms differ exactly when a unit is 0x80 or above.
    bool differ = false;
};
NameForms makeNameForms(const char16_t* units, size_t count);

void replaceByte(ByteString& s, char from, char to);

// Appends `unit` to URL text, percent-encoded (as UTF-8 bytes) where a URI
// may not hold it as it is: controls, spaces, and the ASCII characters that
// are not legal or have a meaning of their own ('%', '#', '?', '+', ...).
void appendUrlUnit(std::u16string& out, char16_t unit);

// Percent-decoding of URL text: '+' is a space, "%%" one '%', '%' with one or
// two hexadecimal digits the byte they give; anything else is copied.
ByteString percentDecode(std::string_view text);

}  // namespace hux
