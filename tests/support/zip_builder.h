// A small zip writer for tests: stored or deflated entries, with fields that
// can be falsified to build damaged archives.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

namespace hux::test {

struct ZipItem {
    std::string name;
    std::string data;
    uint16_t method = 8;  // 0 stored, 8 deflate, anything else written as given (stored bytes)
    uint16_t flags = 0;
    uint32_t crcXor = 0;           // falsifies the directory's CRC-32
    int64_t declaredSize = -1;     // overrides the directory's uncompressed size
    int64_t localOffsetDelta = 0;  // moves the directory's local-header offset
};

inline std::string rawDeflate(const std::string& data) {
    z_stream zs{};
    deflateInit2(&zs, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&zs, static_cast<uLong>(data.size())) + 16, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    zs.avail_in = static_cast<uInt>(data.size());
    zs.next_out = reinterpret_cast<Bytef*>(&out[0]);
    zs.avail_out = static_cast<uInt>(out.size());
    deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

inline void put16(std::string& s, uint32_t v) {
    s.push_back(static_cast<char>(v & 0xff));
    s.push_back(static_cast<char>((v >> 8) & 0xff));
}
inline void put32(std::string& s, uint32_t v) {
    put16(s, v & 0xffff);
    put16(s, v >> 16);
}

// The archive's bytes; offsets count from its first byte.
inline std::string buildZip(const std::vector<ZipItem>& items, const std::string& comment = {}) {
    std::string out, dir;
    for (const ZipItem& item : items) {
        const std::string body = item.method == 8 ? rawDeflate(item.data) : item.data;
        const uint32_t crc = static_cast<uint32_t>(
            crc32(0L, reinterpret_cast<const Bytef*>(item.data.data()), static_cast<uInt>(item.data.size())));
        const uint32_t size =
            item.declaredSize >= 0 ? static_cast<uint32_t>(item.declaredSize) : static_cast<uint32_t>(item.data.size());
        const uint32_t offset = static_cast<uint32_t>(out.size());
        put32(out, 0x04034b50);
        put16(out, 20);
        put16(out, item.flags);
        put16(out, item.method);
        put32(out, 0);
        put32(out, crc);
        put32(out, static_cast<uint32_t>(body.size()));
        put32(out, size);
        put16(out, static_cast<uint32_t>(item.name.size()));
        put16(out, 0);
        out += item.name;
        out += body;

        put32(dir, 0x02014b50);
        put16(dir, 20);
        put16(dir, 20);
        put16(dir, item.flags);
        put16(dir, item.method);
        put32(dir, 0);
        put32(dir, crc ^ item.crcXor);
        put32(dir, static_cast<uint32_t>(body.size()));
        put32(dir, size);
        put16(dir, static_cast<uint32_t>(item.name.size()));
        put16(dir, 0);
        put16(dir, 0);
        put16(dir, 0);
        put16(dir, 0);
        put32(dir, 0);
        put32(dir, static_cast<uint32_t>(offset + item.localOffsetDelta));
        dir += item.name;
    }
    const uint32_t dirOffset = static_cast<uint32_t>(out.size());
    out += dir;
    put32(out, 0x06054b50);
    put16(out, 0);
    put16(out, 0);
    put16(out, static_cast<uint32_t>(items.size()));
    put16(out, static_cast<uint32_t>(items.size()));
    put32(out, static_cast<uint32_t>(dir.size()));
    put32(out, dirOffset);
    put16(out, static_cast<uint32_t>(comment.size()));
    out += comment;
    return out;
}

// Field offsets inside the end record, counted from its signature.
constexpr size_t kEndTotalEntries = 10;
constexpr size_t kEndDirSize = 12;
constexpr size_t kEndDirOffset = 16;

}  // namespace hux::test
