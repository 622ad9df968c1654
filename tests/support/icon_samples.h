// Icon files for tests: .ico files of 32-bit bitmap images and PNG images,
// each pixel a colour derived from its size so that images can be told apart.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

namespace hux::test {

inline void le16(std::string& s, uint32_t v) {
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>((v >> 8) & 0xFF);
}
inline void le32(std::string& s, uint32_t v) {
    le16(s, v & 0xFFFF);
    le16(s, v >> 16);
}
inline void be32(std::string& s, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) s += static_cast<char>((v >> shift) & 0xFF);
}

// A 32-bit bitmap icon image (header, colour rows, mask rows) of size x size.
inline std::string bitmapImage(uint32_t size) {
    std::string dib;
    le32(dib, 40);
    le32(dib, size);
    le32(dib, size * 2);  // colour and mask
    le16(dib, 1);
    le16(dib, 32);
    for (int i = 0; i < 6; ++i) le32(dib, 0);
    for (uint32_t i = 0; i < size * size; ++i) le32(dib, 0xFF000000u | size * 0x010203u);
    dib.append(static_cast<size_t>((size + 31) / 32 * 4 * size), '\0');
    return dib;
}

// A PNG image of width x height, RGBA.
inline std::string pngImage(uint32_t width, uint32_t height) {
    auto chunk = [](std::string& out, const char* type, const std::string& data) {
        be32(out, static_cast<uint32_t>(data.size()));
        const std::string body = std::string(type, 4) + data;
        out += body;
        be32(out, static_cast<uint32_t>(
                      crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()))));
    };
    std::string png = "\x89PNG\r\n\x1A\n";
    std::string header;
    be32(header, width);
    be32(header, height);
    header += std::string("\x08\x06\x00\x00\x00", 5);  // 8 bits, RGBA
    chunk(png, "IHDR", header);
    std::string raw;
    for (uint32_t y = 0; y < height; ++y) {
        raw += '\0';  // no filter
        for (uint32_t x = 0; x < width; ++x) raw += std::string("\x20\x80\xC0\xFF", 4);
    }
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    std::string packed(size, '\0');
    compress(reinterpret_cast<Bytef*>(&packed[0]), &size, reinterpret_cast<const Bytef*>(raw.data()),
             static_cast<uLong>(raw.size()));
    packed.resize(size);
    chunk(png, "IDAT", packed);
    chunk(png, "IEND", "");
    return png;
}

// An .ico file holding `images` (bitmap or PNG data) of the given sizes.
inline std::string icoFile(const std::vector<std::pair<uint32_t, std::string>>& images) {
    std::string ico;
    le16(ico, 0);
    le16(ico, 1);
    le16(ico, static_cast<uint32_t>(images.size()));
    uint32_t offset = 6 + 16 * static_cast<uint32_t>(images.size());
    for (const auto& [size, data] : images) {
        ico += static_cast<char>(size >= 256 ? 0 : size);
        ico += static_cast<char>(size >= 256 ? 0 : size);
        ico += '\0';
        ico += '\0';
        le16(ico, 1);
        le16(ico, 32);
        le32(ico, static_cast<uint32_t>(data.size()));
        le32(ico, offset);
        offset += static_cast<uint32_t>(data.size());
    }
    for (const auto& image : images) ico += image.second;
    return ico;
}

}  // namespace hux::test
