// The user's locale and the conversions between its multibyte text and
// UTF-16.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "common/byte_string.h"

namespace hux::platform {

// Sets every locale category from the user's environment.
void setLocaleFromEnvironment();

// Multibyte (the user's ANSI code page / locale charset) <-> UTF-16, through the
// standard conversions under the current locale. Both convert as far as the
// conversion gets and stop at the first character they cannot convert.
std::u16string ansiToUtf16(const char* text, size_t length);
ByteString utf16ToAnsi(const char16_t* units, size_t count);

// Decodes the launcher's own UTF-8 text (configuration values) for Java and
// for utf16ToAnsi; archive entry names use decodeUtf8Replacing on every
// target. Where the ANSI text is UTF-8 (Linux) every character comes through,
// also beyond the Basic Multilingual Plane in either of its two UTF-8
// spellings, and ill-formed bytes become U+FFFD; elsewhere the launcher's own
// one- to three-byte decoder (decodeUtf8WithQuestionMarks) is used.
std::u16string utf8TextToUtf16(std::string_view text);

// Whether the virtual machine, decoding with the current locale's character
// set, reads `text` (a path handed over in an option) as the launcher means
// it. Always true where options are ANSI text anyway (Windows).
bool localeDecodes(std::string_view text);

// Whether the virtual machine opens `path` by that name as a class path
// element: the locale must decode it, and on Linux its class path reader
// cannot take a character beyond the Basic Multilingual Plane in any locale
// (its file URLs encode each surrogate on its own and then fail to decode
// them; `java -cp` fails there too). Always true on Windows.
bool classPathOpensByName(std::string_view path);

}  // namespace hux::platform
