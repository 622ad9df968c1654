// The launcher's own UTF-16 <-> UTF-8 codecs and ASCII helpers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/byte_string.h"

namespace hux {

// Encodes UTF-16 code units one by one: 1 byte below 0x80, 2 below 0x800,
// 3 otherwise. Surrogates are not combined; each becomes three bytes. Stops at
// the first zero unit when `stopAtZero` is set.
void appendUtf8FromUtf16(ByteString& out, const char16_t* units, size_t count, bool stopAtZero = true);
ByteString utf16ToUtf8(std::u16string_view units);

// The UTF-8 decoders are named by what they do with ill-formed input:
// decodeUtf8WithQuestionMarks writes '?' (and stops at a cut-off end),
// decodeUtf8Replacing and readUtf8OrReplacement give U+FFFD, and
// decodeUtf8OrReject refuses the text.

// Decodes one-, two- and three-byte sequences to one code unit each. A byte that
// is neither ASCII nor a two- or three-byte lead gives '?'; a missing
// continuation byte gives '?' and that byte is read again as a new sequence; a
// sequence cut off by the end of the text ends decoding; a zero unit ends it too.
std::u16string decodeUtf8WithQuestionMarks(std::string_view bytes);

// One step of the decoder below: the character at `i` and the bytes it
// takes, or (not valid) U+FFFD and the length of the maximal ill-formed
// subsequence starting there. `i` must lie inside `bytes`.
struct Utf8Step {
    char32_t codePoint;
    size_t length;
    bool valid;
};
Utf8Step readUtf8OrReplacement(std::string_view bytes, size_t i, bool acceptEncodedSurrogates);

// Decodes UTF-8 the way the Java runtime's decoder does: every well-formed
// sequence of one to four bytes gives its character (two units beyond the
// Basic Multilingual Plane), and every maximal ill-formed subsequence (a
// stray byte, or the start of a sequence that breaks off) gives one U+FFFD.
// Nothing is cut or dropped; a zero byte is a character like any other.
// With `acceptEncodedSurrogates`, a three-byte form of a surrogate (as the
// per-unit encoder above writes it) gives that unit instead of U+FFFD, so
// text written by that encoder reads back unchanged.
std::u16string decodeUtf8Replacing(std::string_view bytes, bool acceptEncodedSurrogates);

// Decodes well-formed UTF-8 only: exactly the text decodeUtf8Replacing reads without
// a single U+FFFD of its own (no stray or missing continuation byte, no
// overlong form, no surrogate, nothing past U+10FFFF, no sequence cut off by
// the end). True with the whole text in `out`; false at the first ill-formed
// byte, with `out` holding what came before it. A zero byte is a character.
bool decodeUtf8OrReject(std::string_view bytes, std::u16string& out);

// Encodes UTF-16 as standard UTF-8: a surrogate pair becomes one four-byte
// sequence and a lone surrogate becomes `loneSurrogate` ('?', as the Java
// runtime's encoder writes it, unless a caller asks for U+FFFD). Stops at the
// first zero unit when `stopAtZero` is set.
void appendUtf8Standard(ByteString& out, std::u16string_view units, bool stopAtZero = true,
                        char32_t loneSurrogate = U'?');
ByteString utf16ToUtf8Standard(std::u16string_view units, char32_t loneSurrogate);

// Rewrites UTF-8 text (well-formed or not, with four-byte sequences or with
// surrogates written one by one) into the per-unit form of
// appendUtf8FromUtf16: the same characters always give the same bytes.
// Ill-formed subsequences become U+FFFD.
ByteString utf8ToPerUnitForm(std::string_view bytes);

// Rewrites every pair of surrogates spelled one three-byte sequence per unit
// (the per-unit form) as the one four-byte sequence of its character, and
// leaves every other byte as it is: the per-unit form shown as standard
// UTF-8. Decoding the result gives the same units as decoding `text`.
ByteString joinSurrogatePairs(std::string_view text);

// Simple case folding of one code point (the one-to-one mappings of the
// Unicode case-folding table): Latin-1, Latin Extended-A and -B, Greek and
// Coptic, Cyrillic and its supplement, Armenian, Georgian, Latin Extended
// Additional, Greek Extended and the fullwidth Latin letters. Other code
// points are returned unchanged.
char32_t foldCase(char32_t c);

// Reads one code point from UTF-16 at `i` (a pair counts as one; a lone
// surrogate stands for itself) and advances `i`.
char32_t nextCodePoint(std::u16string_view units, size_t& i);

inline bool hasHighByte(std::string_view s) {
    for (unsigned char c : s)
        if (c >= 0x80) return true;
    return false;
}

inline char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
inline char asciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }
bool equalsIgnoreCase(std::string_view a, std::string_view b);
bool startsWithIgnoreCase(std::string_view s, std::string_view prefix);
inline bool startsWith(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && s.substr(0, prefix.size()) == prefix;
}
inline bool endsWith(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}
inline bool isSeparator(char c) { return c == '/' || c == '\\'; }

// Little-endian field access for file formats.
inline uint16_t readLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t readLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
inline void writeLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void writeLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace hux
