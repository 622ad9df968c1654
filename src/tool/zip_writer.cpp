#include "tool/zip_writer.h"

#include <zlib.h>

#include "common/utf.h"
#include "common/zip_format.h"

namespace hux::tool {

namespace {
constexpr uint64_t kZipLimit = 0xFFFFFFFFull;

void put16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}
void put32(std::vector<uint8_t>& v, uint32_t x) {
    for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}
// A fixed timestamp keeps packed files reproducible (1 Jan 2000, 00:00).
constexpr uint16_t kDosTime = 0;
constexpr uint16_t kDosDate = (20 << 9) | (1 << 5) | 1;
}  // namespace

bool deflateRaw(const std::vector<uint8_t>& data, std::vector<uint8_t>& out) {
    z_stream zs{};
    if (deflateInit2(&zs, Z_BEST_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return false;
    out.resize(deflateBound(&zs, static_cast<uLong>(data.size())) + 16);
    zs.next_in = const_cast<Bytef*>(data.data());
    zs.avail_in = static_cast<uInt>(data.size());
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return rc == Z_STREAM_END;
}

bool ZipWriter::add(const std::string& name, const std::vector<uint8_t>& data, Method method, std::string& error) {
    if (name.empty() || name.size() > 0xFFFF) {
        error = "archive name '" + name + "' is empty or too long";
        return false;
    }
    if (entries_.size() >= 0xFFFF) {
        error = "too many archive entries (the limit is 65535)";
        return false;
    }
    if (data.size() > kZipLimit) {
        error = "'" + name + "' is larger than 4 GiB";
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
    const uint64_t offset = out_.size();
    if (offset + 30 + name.size() + payload->size() > kZipLimit) {
        error = "the archive would be larger than 4 GiB";
        return false;
    }
    Entry e{name,
            static_cast<uint32_t>(crc32(0L, data.data(), static_cast<uInt>(data.size()))),
            static_cast<uint32_t>(payload->size()),
            static_cast<uint32_t>(data.size()),
            static_cast<uint32_t>(offset),
            static_cast<uint16_t>(method)};
    put32(out_, 0x04034b50);
    put16(out_, 20);
    put16(out_, 0x0800);  // names are UTF-8
    put16(out_, e.method);
    put16(out_, kDosTime);
    put16(out_, kDosDate);
    put32(out_, e.crc);
    put32(out_, e.compressedSize);
    put32(out_, e.size);
    put16(out_, static_cast<uint16_t>(name.size()));
    put16(out_, 0);
    out_.insert(out_.end(), name.begin(), name.end());
    out_.insert(out_.end(), payload->begin(), payload->end());
    entries_.push_back(std::move(e));
    return true;
}

bool ZipWriter::finish(std::string& error, const std::string& comment) {
    const uint64_t directoryOffset = out_.size();
    for (const Entry& e : entries_) {
        put32(out_, zip::kCentralSignature);
        put16(out_, 20);
        put16(out_, 20);
        put16(out_, 0x0800);
        put16(out_, e.method);
        put16(out_, kDosTime);
        put16(out_, kDosDate);
        put32(out_, e.crc);
        put32(out_, e.compressedSize);
        put32(out_, e.size);
        put16(out_, static_cast<uint16_t>(e.name.size()));
        put16(out_, 0);
        put16(out_, 0);
        put16(out_, 0);
        put16(out_, 0);
        put32(out_, 0);
        put32(out_, e.offset);
        out_.insert(out_.end(), e.name.begin(), e.name.end());
    }
    const uint64_t directorySize = out_.size() - directoryOffset;
    if (out_.size() + zip::kEndRecordSize > kZipLimit || comment.size() > 0xFFFF) {
        error = "the archive would be larger than 4 GiB";
        return false;
    }
    put32(out_, zip::kEndSignature);
    put16(out_, 0);
    put16(out_, 0);
    put16(out_, static_cast<uint16_t>(entries_.size()));
    put16(out_, static_cast<uint16_t>(entries_.size()));
    put32(out_, static_cast<uint32_t>(directorySize));
    put32(out_, static_cast<uint32_t>(directoryOffset));
    put16(out_, static_cast<uint16_t>(comment.size()));
    lengthWithoutComment_ = out_.size();
    out_.insert(out_.end(), comment.begin(), comment.end());
    return true;
}

}  // namespace hux::tool
