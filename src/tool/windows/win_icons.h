// Windows icons: .ico files read (or a .png wrapped as one), and the
// RT_GROUP_ICON directory written and read back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace hux::tool {

struct IconImage {
    uint16_t width = 0;  // 1..256
    uint16_t height = 0;
    uint16_t planes = 0;
    uint16_t bitCount = 0;
    uint8_t colorCount = 0;
    std::vector<uint8_t> data;  // a BMP DIB or a PNG stream, as an RT_ICON holds it
};

// Parses an .ico file, or wraps a .png image (at most 256 x 256) as a
// one-image icon; false with one line in `error` for anything else.
bool parseIconFile(const std::vector<uint8_t>& bytes, std::vector<IconImage>& images, std::string& error);

// The RT_GROUP_ICON directory for `images` whose RT_ICON ids start at `firstId`.
std::vector<uint8_t> iconGroup(const std::vector<IconImage>& images, uint16_t firstId);

struct IconGroupEntry {
    uint16_t width = 0, height = 0, bitCount = 0, iconId = 0;
    uint32_t bytes = 0;
};
// Decodes an RT_GROUP_ICON directory; false when damaged.
bool parseIconGroup(const std::vector<uint8_t>& bytes, std::vector<IconGroupEntry>& entries);

}  // namespace hux::tool
