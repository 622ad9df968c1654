#include "tool/windows/win_icons.h"

#include <cstring>

#include "common/utf.h"
#include "tool/payload/little_endian.h"

namespace hux::tool {

namespace {

constexpr uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

uint32_t readBe32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

}  // namespace

bool parseIconFile(const std::vector<uint8_t>& bytes, std::vector<IconImage>& images, std::string& error) {
    images.clear();
    if (bytes.size() >= 24 && std::memcmp(bytes.data(), kPngSignature, 8) == 0) {
        if (readBe32(bytes.data() + 8) != 13 || std::memcmp(bytes.data() + 12, "IHDR", 4) != 0) {
            error = "the PNG image has no header chunk";
            return false;
        }
        const uint32_t w = readBe32(bytes.data() + 16);
        const uint32_t h = bytes.size() >= 24 ? readBe32(bytes.data() + 20) : 0;
        if (w == 0 || h == 0 || w > 256 || h > 256) {
            error = "an icon image is at most 256 x 256 pixels (the PNG image is " + std::to_string(w) + " x " +
                    std::to_string(h) + ")";
            return false;
        }
        IconImage image;
        image.width = static_cast<uint16_t>(w);
        image.height = static_cast<uint16_t>(h);
        image.planes = 1;
        image.bitCount = 32;
        image.data = bytes;
        images.push_back(std::move(image));
        return true;
    }
    if (bytes.size() < 6 || readLe16(bytes.data()) != 0 || readLe16(bytes.data() + 2) != 1) {
        error = "not an icon file (.ico) or a PNG image";
        return false;
    }
    const uint16_t count = readLe16(bytes.data() + 4);
    if (count == 0 || bytes.size() < 6 + 16u * count) {
        error = "the icon file's directory is empty or cut off";
        return false;
    }
    for (uint16_t i = 0; i < count; ++i) {
        const uint8_t* e = bytes.data() + 6 + 16 * i;
        const uint32_t size = readLe32(e + 8);
        const uint32_t offset = readLe32(e + 12);
        if (size < 40 || offset > bytes.size() || bytes.size() - offset < size) {
            error = "icon image " + std::to_string(i + 1) + " lies outside the file";
            return false;
        }
        IconImage image;
        image.width = e[0] == 0 ? 256 : e[0];
        image.height = e[1] == 0 ? 256 : e[1];
        image.colorCount = e[2];
        image.planes = readLe16(e + 4);
        image.bitCount = readLe16(e + 6);
        image.data.assign(bytes.begin() + offset, bytes.begin() + offset + size);
        const bool png = std::memcmp(image.data.data(), kPngSignature, 8) == 0;
        if (!png && readLe32(image.data.data()) != 40) {
            error = "icon image " + std::to_string(i + 1) + " is neither a bitmap nor a PNG image";
            return false;
        }
        // Some writers leave planes and depth 0 in the directory; the bitmap
        // header knows them.
        if (!png && image.bitCount == 0) image.bitCount = readLe16(image.data.data() + 14);
        if (!png && image.planes == 0) image.planes = readLe16(image.data.data() + 12);
        if (png && image.bitCount == 0) image.bitCount = 32;
        if (image.planes == 0) image.planes = 1;
        images.push_back(std::move(image));
    }
    return true;
}

std::vector<uint8_t> iconGroup(const std::vector<IconImage>& images, uint16_t firstId) {
    std::vector<uint8_t> out;
    put16(out, 0);
    put16(out, 1);
    put16(out, static_cast<uint16_t>(images.size()));
    uint16_t id = firstId;
    for (const IconImage& image : images) {
        out.push_back(static_cast<uint8_t>(image.width >= 256 ? 0 : image.width));
        out.push_back(static_cast<uint8_t>(image.height >= 256 ? 0 : image.height));
        out.push_back(image.colorCount);
        out.push_back(0);
        put16(out, image.planes);
        put16(out, image.bitCount);
        put32(out, static_cast<uint32_t>(image.data.size()));
        put16(out, id++);
    }
    return out;
}

bool parseIconGroup(const std::vector<uint8_t>& bytes, std::vector<IconGroupEntry>& entries) {
    entries.clear();
    if (bytes.size() < 6 || readLe16(bytes.data()) != 0 || readLe16(bytes.data() + 2) != 1) return false;
    const uint16_t count = readLe16(bytes.data() + 4);
    if (bytes.size() < 6 + 14u * count) return false;
    for (uint16_t i = 0; i < count; ++i) {
        const uint8_t* e = bytes.data() + 6 + 14 * i;
        IconGroupEntry entry;
        entry.width = e[0] == 0 ? 256 : e[0];
        entry.height = e[1] == 0 ? 256 : e[1];
        entry.bitCount = readLe16(e + 6);
        entry.bytes = readLe32(e + 8);
        entry.iconId = readLe16(e + 12);
        entries.push_back(entry);
    }
    return true;
}

}  // namespace hux::tool
