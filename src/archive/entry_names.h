// Name rules of the archive tree: the index order of entry names and the two
// normalisations that remove "." and ".." segments from requested names.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/byte_string.h"

namespace hux {

// Index order: shorter names first; names of equal length by the first byte
// that differs, bytes compared as signed 8-bit values; '/' and '\' count as
// equal everywhere. Case-sensitive. Returns <0, 0 or >0.
int compareEntryNames(std::string_view a, std::string_view b);
// Equal length and equal bytes, with '/' equal to '\'.
bool entryNamesEqual(std::string_view a, std::string_view b);

// Resource-name normalisation, applied by the class-loader and URL natives to
// names whose '/' have already been turned into '\':
//  1. each "\.\" becomes "\" (leftmost first);
//  2. each "\..\" is removed together with the segment before it, which starts
//     after the last '\', ':' or '!' before it (a "\..\" at the very start is
//     removed alone).
// 'a\b\..\d' -> 'a\d', 'x!y\..\z' -> 'x!z', 'a\.\b' -> 'a\b', '\..\x' -> 'x'.
void normalizeResourceName(ByteString& name);

// Entry-name normalisation, applied by the entry read to names without "!":
// each "..\" (leftmost first) is removed together with the segment before it,
// 'a\b\..\d' -> 'a\d', 'b\..\d' -> 'd', '..\x' -> 'x'.
void normalizeEntryName(ByteString& name);

}  // namespace hux
