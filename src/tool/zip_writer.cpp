#include "tool/zip_writer.h"

#include <zlib.h>

#include <algorithm>

#include "common/utf.h"
#include "common/zip_format.h"

namespace hux::tool {

namespace {
constexpr uint16_t kPlainVersion = 20;
constexpr uint16_t kZip64Version = 45;

void put16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}
void put32(std::vector<uint8_t>& v, uint32_t x) {
    for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}
void put64(std::vector<uint8_t>& v, uint64_t x) {
    for (int i = 0; i < 8; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}

// The extended timestamp field with the modification time alone, as both
// the local header and the directory carry it.
constexpr uint16_t kUnixTimeFieldSize = 9;
void putUnixTime(std::vector<uint8_t>& v, int32_t seconds) {
    put16(v, 0x5455);
    put16(v, 5);
    v.push_back(0x01);  // modification time present
    put32(v, static_cast<uint32_t>(seconds));
}
}  // namespace

bool deflateRaw(const std::vector<uint8_t>& data, std::vector<uint8_t>& out) {
    z_stream zs{};
    if (deflateInit2(&zs, Z_BEST_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return false;
    // zlib counts in 32 bits: feed and drain at most 1 GiB at a time.
    constexpr size_t kStep = size_t{1} << 30;
    out.resize(std::min(data.size() + data.size() / 1000 + 64, kStep));
    size_t in = 0, produced = 0;
    int rc = Z_OK;
    while (rc == Z_OK) {
        const size_t chunk = std::min(data.size() - in, kStep);
        zs.next_in = const_cast<Bytef*>(data.data() + in);
        zs.avail_in = static_cast<uInt>(chunk);
        if (out.size() - produced < 64) out.resize(out.size() + std::min(out.size(), kStep));
        const size_t room = std::min(out.size() - produced, kStep);
        zs.next_out = out.data() + produced;
        zs.avail_out = static_cast<uInt>(room);
        rc = deflate(&zs, in + chunk == data.size() ? Z_FINISH : Z_NO_FLUSH);
        in += chunk - zs.avail_in;
        produced += room - zs.avail_out;
        if (rc == Z_BUF_ERROR) rc = Z_OK;  // no progress possible without more room
    }
    out.resize(produced);
    deflateEnd(&zs);
    return rc == Z_STREAM_END;
}

uint32_t crcOf(const std::vector<uint8_t>& data) {
    // crc32 takes at most 4 GiB - 1 bytes at a time.
    uLong crc = crc32(0L, Z_NULL, 0);
    for (size_t at = 0; at < data.size();) {
        const size_t n = std::min<size_t>(data.size() - at, 0x40000000);
        crc = crc32(crc, data.data() + at, static_cast<uInt>(n));
        at += n;
    }
    return static_cast<uint32_t>(crc);
}

bool ZipWriter::add(const std::string& name, const std::vector<uint8_t>& data, Method method, std::string& error,
                    uint32_t dosTime, int64_t unixTime) {
    if (name.empty() || name.size() > 0xFFFF) {
        error = "archive name '" + name + "' is empty or too long";
        return false;
    }
    std::vector<uint8_t> deflated;
    const std::vector<uint8_t>* payload = &data;
    if (method == Method::Deflated) {
        if (!deflateRaw(data, deflated)) {
            error = "cannot compress '" + name + "'";
            return false;
        }
        payload = &deflated;
    }
    const uint32_t crc = crcOf(data);
    const bool hasUnixTime = unixTime != kNoUnixTime && unixTime >= INT32_MIN && unixTime <= INT32_MAX;
    Entry e{name,
            crc,
            dosTime,
            payload->size(),
            data.size(),
            out_.size(),
            static_cast<uint16_t>(method),
            hasUnixTime,
            hasUnixTime ? static_cast<int32_t>(unixTime) : 0};
    // The local header carries both sizes in a zip64 field when either is too large.
    const bool large = e.size >= limits_.value32 || e.compressedSize >= limits_.value32;
    put32(out_, 0x04034b50);
    put16(out_, large ? kZip64Version : kPlainVersion);
    put16(out_, 0x0800);  // names are UTF-8
    put16(out_, e.method);
    put32(out_, e.dosTime);
    put32(out_, e.crc);
    put32(out_, large ? 0xFFFFFFFF : static_cast<uint32_t>(e.compressedSize));
    put32(out_, large ? 0xFFFFFFFF : static_cast<uint32_t>(e.size));
    put16(out_, static_cast<uint16_t>(name.size()));
    put16(out_, static_cast<uint16_t>((large ? 20 : 0) + (e.hasUnixTime ? kUnixTimeFieldSize : 0)));
    out_.insert(out_.end(), name.begin(), name.end());
    if (large) {
        put16(out_, 0x0001);
        put16(out_, 16);
        put64(out_, e.size);
        put64(out_, e.compressedSize);
    }
    if (e.hasUnixTime) putUnixTime(out_, e.unixTime);
    out_.insert(out_.end(), payload->begin(), payload->end());
    entries_.push_back(std::move(e));
    return true;
}

bool ZipWriter::finish(std::string& error, const std::string& comment) {
    if (comment.size() > 0xFFFF) {
        error = "the archive comment is longer than 65535 bytes";
        return false;
    }
    const uint64_t directoryOffset = out_.size();
    for (const Entry& e : entries_) {
        // Only the fields that overflow move to the zip64 field, in this order.
        std::vector<uint8_t> extra;
        const bool bigSize = e.size >= limits_.value32;
        const bool bigCompressed = e.compressedSize >= limits_.value32;
        const bool bigOffset = e.offset >= limits_.value32;
        if (bigSize) put64(extra, e.size);
        if (bigCompressed) put64(extra, e.compressedSize);
        if (bigOffset) put64(extra, e.offset);
        put32(out_, 0x02014b50);
        put16(out_, extra.empty() ? kPlainVersion : kZip64Version);
        put16(out_, extra.empty() ? kPlainVersion : kZip64Version);
        put16(out_, 0x0800);
        put16(out_, e.method);
        put32(out_, e.dosTime);
        put32(out_, e.crc);
        put32(out_, bigCompressed ? 0xFFFFFFFF : static_cast<uint32_t>(e.compressedSize));
        put32(out_, bigSize ? 0xFFFFFFFF : static_cast<uint32_t>(e.size));
        put16(out_, static_cast<uint16_t>(e.name.size()));
        put16(out_,
              static_cast<uint16_t>((extra.empty() ? 0 : extra.size() + 4) + (e.hasUnixTime ? kUnixTimeFieldSize : 0)));
        put16(out_, 0);
        put16(out_, 0);
        put16(out_, 0);
        put32(out_, 0);
        put32(out_, bigOffset ? 0xFFFFFFFF : static_cast<uint32_t>(e.offset));
        out_.insert(out_.end(), e.name.begin(), e.name.end());
        if (!extra.empty()) {
            put16(out_, 0x0001);
            put16(out_, static_cast<uint16_t>(extra.size()));
            out_.insert(out_.end(), extra.begin(), extra.end());
        }
        if (e.hasUnixTime) putUnixTime(out_, e.unixTime);
    }
    const uint64_t directorySize = out_.size() - directoryOffset;
    const uint64_t count = entries_.size();
    const bool bigCount = count >= limits_.entries;
    const bool bigDirSize = directorySize >= limits_.value32;
    const bool bigDirOffset = directoryOffset >= limits_.value32;
    if (bigCount || bigDirSize || bigDirOffset) {
        // Zip64 end record, then its locator, then the plain end record with
        // the overflowing fields saturated.
        const uint64_t recordOffset = out_.size();
        put32(out_, 0x06064b50);
        put64(out_, 44);
        put16(out_, kZip64Version);
        put16(out_, kZip64Version);
        put32(out_, 0);
        put32(out_, 0);
        put64(out_, count);
        put64(out_, count);
        put64(out_, directorySize);
        put64(out_, directoryOffset);
        put32(out_, 0x07064b50);
        put32(out_, 0);
        put64(out_, recordOffset);
        put32(out_, 1);
    }
    put32(out_, zip::kEndSignature);
    put16(out_, 0);
    put16(out_, 0);
    put16(out_, bigCount ? 0xFFFF : static_cast<uint16_t>(count));
    put16(out_, bigCount ? 0xFFFF : static_cast<uint16_t>(count));
    put32(out_, bigDirSize ? 0xFFFFFFFF : static_cast<uint32_t>(directorySize));
    put32(out_, bigDirOffset ? 0xFFFFFFFF : static_cast<uint32_t>(directoryOffset));
    put16(out_, static_cast<uint16_t>(comment.size()));
    lengthWithoutComment_ = out_.size();
    out_.insert(out_.end(), comment.begin(), comment.end());
    return true;
}

}  // namespace hux::tool
