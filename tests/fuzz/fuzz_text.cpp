// libFuzzer target: the UTF-8 decoder that reads arguments, configuration
// files and file names, and the character matcher of directory listings.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/utf.h"
#include "platform/files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::u16string strict = hux::decodeUtf8Replacing(bytes, false);
    const std::u16string lenient = hux::decodeUtf8Replacing(bytes, true);
    // Never more units than bytes: each byte yields at most one unit, and four
    // bytes yield two.
    if (strict.size() > size || lenient.size() > size) __builtin_trap();
    // What the strict decoder gives is well-formed: encoding it and decoding
    // again changes nothing.
    hux::ByteString again;
    hux::appendUtf8Standard(again, strict, false);
    if (hux::decodeUtf8Replacing(again.view(), false) != strict) __builtin_trap();
    // The refusing decoder takes every well-formed text and reads it as the
    // replacing one does; when it refuses, what it kept is read the same way.
    std::u16string refusing;
    if (!hux::decodeUtf8OrReject(again.view(), refusing) || refusing != strict) __builtin_trap();
    if (hux::decodeUtf8OrReject(bytes, refusing) ? refusing != strict
                                                 : strict.compare(0, refusing.size(), refusing) != 0)
        __builtin_trap();
    // The per-unit form is a fixed point and reads back as the same units.
    const hux::ByteString perUnit = hux::utf8ToPerUnitForm(bytes);
    if (hux::utf8ToPerUnitForm(perUnit.view()) != perUnit) __builtin_trap();
    if (hux::decodeUtf8Replacing(perUnit.view(), true) != lenient) __builtin_trap();
    // Joining surrogate pairs never changes what the text reads as, and
    // leaves nothing to join.
    const hux::ByteString joined = hux::joinSurrogatePairs(bytes);
    if (hux::decodeUtf8Replacing(joined.view(), true) != lenient) __builtin_trap();
    if (hux::joinSurrogatePairs(joined.view()) != joined) __builtin_trap();
    // Split the input into a pattern and a name for the matcher; a text
    // without wildcards always matches itself.
    const size_t cut = size / 2;
    const std::string_view pattern = bytes.substr(0, cut);
    (void)hux::platform::wildcardMatches(pattern, bytes.substr(cut));
    if (pattern.find_first_of("*?") == std::string_view::npos && !hux::platform::wildcardMatches(pattern, pattern))
        __builtin_trap();
    return 0;
}
