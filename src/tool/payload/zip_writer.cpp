#include "tool/payload/zip_writer.h"

#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <memory>

#include "common/utf.h"
#include "common/zip_format.h"
#include "platform/files.h"
#include "tool/payload/file_names.h"
#include "tool/payload/little_endian.h"

namespace hux::tool {

namespace {
constexpr uint16_t kPlainVersion = 20;
constexpr uint16_t kZip64Version = 45;
constexpr size_t kChunk = size_t{1} << 20;  // file pieces read and written at a time

void le32(uint8_t* p, uint32_t x) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(x >> (8 * i));
}
void le64(uint8_t* p, uint64_t x) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(x >> (8 * i));
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

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
}  // namespace

bool MemorySink::write(const uint8_t* data, size_t count) {
    bytes_.insert(bytes_.end(), data, data + count);
    return true;
}

bool MemorySink::patch(uint64_t offset, const uint8_t* data, size_t count) {
    if (offset + count > bytes_.size()) return false;
    std::copy(data, data + count, bytes_.begin() + static_cast<std::ptrdiff_t>(offset));
    return true;
}

FileSink::~FileSink() {
    if (file_) std::fclose(file_);
}

bool FileSink::open(const std::string& path) {
    file_ = platform::openStdioFile(path.c_str(), "wb");
    buffer_.reserve(kChunk);
    return file_ != nullptr;
}

bool FileSink::flush() {
    if (!buffer_.empty() && !failed_ && std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size())
        failed_ = true;
    buffer_.clear();
    return !failed_;
}

void FileSink::addToSum(uint64_t offset, const uint8_t* data, size_t count) {
    size_t i = 0;
    if (offset % 2 == 1 && count > 0) sum_ += static_cast<uint64_t>(data[i++]) << 8;
    for (; i + 1 < count; i += 2) sum_ += data[i] | (static_cast<uint32_t>(data[i + 1]) << 8);
    if (i < count) sum_ += data[i];
}

bool FileSink::write(const uint8_t* data, size_t count) {
    if (!file_ || failed_) return false;
    if (checksum_) addToSum(size_, data, count);
    size_ += count;
    if (buffer_.size() + count > kChunk && !flush()) return false;
    if (count >= kChunk) {
        if (std::fwrite(data, 1, count, file_) != count) failed_ = true;
    } else {
        buffer_.insert(buffer_.end(), data, data + count);
    }
    if (onWrite) onWrite(size_);
    return !failed_;
}

bool FileSink::patch(uint64_t offset, const uint8_t* data, size_t count) {
    if (!file_ || failed_ || offset + count > size_) return false;
    if (checksum_) addToSum(offset, data, count);  // over zeros: adding is enough
    const uint64_t buffered = size_ - buffer_.size();
    if (offset >= buffered) {
        std::copy(data, data + count, buffer_.begin() + static_cast<std::ptrdiff_t>(offset - buffered));
        return true;
    }
    if (!flush()) return false;
    if (std::fseek(file_, static_cast<long>(offset), SEEK_SET) != 0 || std::fwrite(data, 1, count, file_) != count ||
        std::fseek(file_, 0, SEEK_END) != 0)
        failed_ = true;
    return !failed_;
}

bool FileSink::close() {
    if (!file_) return false;
    flush();
    if (std::fclose(file_) != 0) failed_ = true;
    file_ = nullptr;
    return !failed_;
}

uint32_t FileSink::peChecksum(uint64_t fieldOffset, const uint8_t fieldBytes[4]) const {
    // The field sits at an even offset: its two words come out of the sum.
    uint64_t sum = sum_ - (fieldBytes[0] | (static_cast<uint32_t>(fieldBytes[1]) << 8)) -
                   (fieldBytes[2] | (static_cast<uint32_t>(fieldBytes[3]) << 8));
    (void)fieldOffset;
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>(sum + size_);
}

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

uint32_t crcOf(const uint8_t* data, size_t size, uint32_t start) {
    // crc32 takes at most 4 GiB - 1 bytes at a time.
    uLong crc = start;
    for (size_t at = 0; at < size;) {
        const size_t n = std::min<size_t>(size - at, 0x40000000);
        crc = crc32(crc, data + at, static_cast<uInt>(n));
        at += n;
    }
    return static_cast<uint32_t>(crc);
}

uint32_t crcOf(const std::vector<uint8_t>& data) { return crcOf(data.data(), data.size()); }

bool ZipWriter::checkName(const std::string& name, std::string& error) const {
    if (name.empty() || name.size() > 0xFFFF) {
        error = "archive name '" + name + "' is empty or too long";
        return false;
    }
    return true;
}

ZipWriter::Entry ZipWriter::makeEntry(const std::string& name, uint32_t dosTime, int64_t unixTime,
                                      Method method) const {
    const bool hasUnixTime = unixTime != kNoUnixTime && unixTime >= INT32_MIN && unixTime <= INT32_MAX;
    return Entry{name,
                 0,
                 dosTime,
                 0,
                 0,
                 sink_->size() - start_,
                 static_cast<uint16_t>(method),
                 hasUnixTime,
                 hasUnixTime ? static_cast<int32_t>(unixTime) : 0};
}

bool ZipWriter::writeFailed(std::string& error) {
    error = "cannot write the archive (disk full?)";
    return false;
}

bool ZipWriter::writeLocalHeader(const Entry& e, bool large, uint64_t& crcAt, uint64_t& zip64At) {
    std::vector<uint8_t> h;
    h.reserve(64 + e.name.size());
    put32(h, 0x04034b50);
    put16(h, large ? kZip64Version : kPlainVersion);
    put16(h, 0x0800);  // names are UTF-8
    put16(h, e.method);
    put32(h, e.dosTime);
    put32(h, e.crc);
    put32(h, large ? 0xFFFFFFFF : static_cast<uint32_t>(e.compressedSize));
    put32(h, large ? 0xFFFFFFFF : static_cast<uint32_t>(e.size));
    put16(h, static_cast<uint16_t>(e.name.size()));
    put16(h, static_cast<uint16_t>((large ? 20 : 0) + (e.hasUnixTime ? kUnixTimeFieldSize : 0)));
    h.insert(h.end(), e.name.begin(), e.name.end());
    crcAt = sink_->size() + 14;
    zip64At = sink_->size() + h.size() + 4;
    if (large) {
        put16(h, 0x0001);
        put16(h, 16);
        put64(h, e.size);
        put64(h, e.compressedSize);
    }
    if (e.hasUnixTime) putUnixTime(h, e.unixTime);
    return sink_->write(h.data(), h.size());
}

bool ZipWriter::add(const std::string& name, const std::vector<uint8_t>& data, Method method, std::string& error,
                    uint32_t dosTime, int64_t unixTime) {
    return add(name, data.data(), data.size(), method, error, dosTime, unixTime);
}

bool ZipWriter::add(const std::string& name, const uint8_t* data, size_t size, Method method, std::string& error,
                    uint32_t dosTime, int64_t unixTime) {
    if (!checkName(name, error)) return false;
    std::vector<uint8_t> deflated;
    const uint8_t* payload = data;
    size_t payloadSize = size;
    if (method == Method::Deflated) {
        if (!deflateRaw(std::vector<uint8_t>(data, data + size), deflated)) {
            error = "cannot compress '" + name + "'";
            return false;
        }
        payload = deflated.data();
        payloadSize = deflated.size();
    }
    return addRaw(name, payload, payloadSize, method, crcOf(data, size), size, error, dosTime, unixTime);
}

bool ZipWriter::addRaw(const std::string& name, const uint8_t* compressed, uint64_t compressedSize, Method method,
                       uint32_t crc, uint64_t size, std::string& error, uint32_t dosTime, int64_t unixTime) {
    if (!checkName(name, error)) return false;
    Entry e = makeEntry(name, dosTime, unixTime, method);
    e.crc = crc;
    e.size = size;
    e.compressedSize = compressedSize;
    // The local header carries both sizes in a zip64 field when either is too large.
    const bool large = e.size >= limits_.value32 || e.compressedSize >= limits_.value32;
    uint64_t crcAt = 0, zip64At = 0;
    if (!writeLocalHeader(e, large, crcAt, zip64At) || !sink_->write(compressed, compressedSize))
        return writeFailed(error);
    entries_.push_back(std::move(e));
    return true;
}

bool ZipWriter::patchLocalHeader(const Entry& e, bool sizes, bool large, uint64_t crcAt, uint64_t zip64At) {
    uint8_t fields[16];
    le32(fields, e.crc);
    if (!sink_->patch(crcAt, fields, 4)) return false;
    if (!sizes) return true;
    if (large) {
        le64(fields, e.size);
        le64(fields + 8, e.compressedSize);
        return sink_->patch(zip64At, fields, 16);
    }
    le32(fields, static_cast<uint32_t>(e.compressedSize));
    le32(fields + 4, static_cast<uint32_t>(e.size));
    return sink_->patch(crcAt + 4, fields, 8);
}

bool ZipWriter::addFile(const std::string& name, const std::string& path, Method method, std::string& error,
                        uint32_t dosTime, int64_t unixTime) {
    if (!checkName(name, error)) return false;
    std::error_code ec;
    const uint64_t size = std::filesystem::file_size(pathOf(path), ec);
    std::unique_ptr<std::FILE, FileCloser> in(ec ? nullptr : platform::openStdioFile(path.c_str(), "rb"));
    if (!in) {
        error = "cannot read '" + path + "'";
        return false;
    }
    Entry e = makeEntry(name, dosTime, unixTime, method);
    e.size = size;
    const bool deflating = method == Method::Deflated;
    e.compressedSize = deflating ? 0 : size;
    // Deflate can grow incompressible data by a little: room for that.
    const bool large = size + (deflating ? size / 1000 + 64 : 0) >= limits_.value32;
    uint64_t crcAt = 0, zip64At = 0;
    // What is filled in afterwards is written as zeros first (the sink's
    // running checksum counts a patch over zeros only).
    Entry placeholder = e;
    if (deflating) placeholder.size = 0;
    if (!writeLocalHeader(placeholder, large, crcAt, zip64At)) return writeFailed(error);
    z_stream zs{};
    if (deflating && deflateInit2(&zs, Z_BEST_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        error = "cannot compress '" + name + "'";
        return false;
    }
    std::vector<uint8_t> chunk(kChunk), out(deflating ? kChunk : 0);
    uint32_t crc = 0;
    uint64_t read = 0;
    bool ok = true, readFault = false;
    while (ok) {
        const size_t n = std::fread(chunk.data(), 1, chunk.size(), in.get());
        if (n == 0 && std::ferror(in.get())) readFault = true;
        read += n;
        if (read > size) readFault = true;
        if (readFault) break;
        crc = crcOf(chunk.data(), n, crc);
        const bool last = n == 0;
        if (!deflating) {
            ok = n == 0 || sink_->write(chunk.data(), n);
        } else {
            zs.next_in = chunk.data();
            zs.avail_in = static_cast<uInt>(n);
            int rc;
            do {
                zs.next_out = out.data();
                zs.avail_out = static_cast<uInt>(out.size());
                rc = deflate(&zs, last ? Z_FINISH : Z_NO_FLUSH);
                const size_t produced = out.size() - zs.avail_out;
                e.compressedSize += produced;
                ok = ok && (produced == 0 || sink_->write(out.data(), produced));
            } while (ok && (zs.avail_out == 0 || (last && rc == Z_OK)));
            if (rc == Z_STREAM_ERROR) ok = false;
        }
        if (last) break;
    }
    if (deflating) deflateEnd(&zs);
    if (readFault || read != size) {
        error = "cannot read '" + path + "' (it changed while being packed?)";
        return false;
    }
    if (!ok) return writeFailed(error);
    e.crc = crc;
    if (!patchLocalHeader(e, deflating, large, crcAt, zip64At)) return writeFailed(error);
    entries_.push_back(std::move(e));
    return true;
}

void ZipWriter::putDirectoryRecord(std::vector<uint8_t>& out, const Entry& e) const {
    // Only the fields that overflow move to the zip64 field, in this order.
    std::vector<uint8_t> extra;
    const bool bigSize = e.size >= limits_.value32;
    const bool bigCompressed = e.compressedSize >= limits_.value32;
    const bool bigOffset = e.offset >= limits_.value32;
    if (bigSize) put64(extra, e.size);
    if (bigCompressed) put64(extra, e.compressedSize);
    if (bigOffset) put64(extra, e.offset);
    put32(out, 0x02014b50);
    put16(out, extra.empty() ? kPlainVersion : kZip64Version);
    put16(out, extra.empty() ? kPlainVersion : kZip64Version);
    put16(out, 0x0800);
    put16(out, e.method);
    put32(out, e.dosTime);
    put32(out, e.crc);
    put32(out, bigCompressed ? 0xFFFFFFFF : static_cast<uint32_t>(e.compressedSize));
    put32(out, bigSize ? 0xFFFFFFFF : static_cast<uint32_t>(e.size));
    put16(out, static_cast<uint16_t>(e.name.size()));
    put16(out,
          static_cast<uint16_t>((extra.empty() ? 0 : extra.size() + 4) + (e.hasUnixTime ? kUnixTimeFieldSize : 0)));
    put16(out, 0);
    put16(out, 0);
    put16(out, 0);
    put32(out, 0);
    put32(out, bigOffset ? 0xFFFFFFFF : static_cast<uint32_t>(e.offset));
    out.insert(out.end(), e.name.begin(), e.name.end());
    if (!extra.empty()) {
        put16(out, 0x0001);
        put16(out, static_cast<uint16_t>(extra.size()));
        out.insert(out.end(), extra.begin(), extra.end());
    }
    if (e.hasUnixTime) putUnixTime(out, e.unixTime);
}

void ZipWriter::putZip64End(std::vector<uint8_t>& out, uint64_t count, uint64_t directorySize,
                            uint64_t directoryOffset) const {
    const uint64_t recordOffset = directoryOffset + directorySize;
    const uint64_t recordPosition = start_ + recordOffset;
    put32(out, 0x06064b50);
    put64(out, 44);
    put16(out, kZip64Version);
    put16(out, kZip64Version);
    put32(out, 0);
    put32(out, 0);
    put64(out, count);
    put64(out, count);
    put64(out, directorySize);
    put64(out, directoryOffset);
    put32(out, 0x07064b50);
    put32(out, 0);
    put64(out, recordPosition);
    put32(out, 1);
}

bool ZipWriter::finish(std::string& error, const std::string& comment) {
    if (comment.size() > 0xFFFF) {
        error = "the archive comment is longer than 65535 bytes";
        return false;
    }
    const uint64_t directoryOffset = sink_->size() - start_;
    std::vector<uint8_t> out;
    uint64_t directorySize = 0;
    for (const Entry& e : entries_) {
        putDirectoryRecord(out, e);
        if (out.size() >= kChunk) {
            directorySize += out.size();
            if (!sink_->write(out.data(), out.size())) return writeFailed(error);
            out.clear();
        }
    }
    directorySize += out.size();
    const uint64_t count = entries_.size();
    const bool bigCount = count >= limits_.entries;
    const bool bigDirSize = directorySize >= limits_.value32;
    const bool bigDirOffset = directoryOffset >= limits_.value32;
    if (bigCount || bigDirSize || bigDirOffset) {
        // Zip64 end record, then its locator, then the plain end record with
        // the overflowing fields saturated. The locator names the record's
        // place in the file, not in the archive: the JDK's zip reader and
        // unzip seek there directly, and miss the record behind a launcher
        // image otherwise (the JDK then reads the plain end record, whose
        // directory starts 76 bytes early, and refuses the whole file). The
        // record's own offsets count from the archive's first byte, as the
        // plain record's do; readers take the image's length from their
        // difference to where the directory really is.
        putZip64End(out, count, directorySize, directoryOffset);
        zip64_ = true;
    }
    endRecord_.clear();
    put32(endRecord_, zip::kEndSignature);
    put16(endRecord_, 0);
    put16(endRecord_, 0);
    put16(endRecord_, bigCount ? 0xFFFF : static_cast<uint16_t>(count));
    put16(endRecord_, bigCount ? 0xFFFF : static_cast<uint16_t>(count));
    put32(endRecord_, bigDirSize ? 0xFFFFFFFF : static_cast<uint32_t>(directorySize));
    put32(endRecord_, bigDirOffset ? 0xFFFFFFFF : static_cast<uint32_t>(directoryOffset));
    put16(endRecord_, static_cast<uint16_t>(comment.size()));
    endRecord_.insert(endRecord_.end(), comment.begin(), comment.end());
    if (!sink_->write(out.data(), out.size()) || !sink_->write(endRecord_.data(), endRecord_.size()))
        return writeFailed(error);
    lengthWithoutComment_ = sink_->size() - start_ - comment.size();
    return true;
}

}  // namespace hux::tool
