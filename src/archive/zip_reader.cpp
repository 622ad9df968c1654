#include "archive/zip_reader.h"

#include <zlib.h>

#include <cstring>
#include <new>

#include "common/payload_end.h"
#include "common/utf.h"

namespace hux {

namespace {

constexpr uint32_t kEndSignature = 0x06054b50;
constexpr uint32_t kCentralSignature = 0x02014b50;
constexpr uint32_t kLocalSignature = 0x04034b50;
constexpr uint32_t kZip64EndSignature = 0x06064b50;
constexpr uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr int64_t kZip64EndSize = 56;
constexpr int64_t kZip64LocatorSize = 20;
constexpr uint16_t kZip64ExtraId = 0x0001;
constexpr uint16_t kTimestampExtraId = 0x5455;
constexpr int64_t kEndRecordSize = 22;
constexpr int64_t kEndSearchSpan = kEndRecordSize + 65535;  // record plus the largest comment
constexpr uint32_t kCentralHeaderSize = 46;
constexpr int64_t kLocalHeaderSize = 30;
constexpr size_t kInputChunk = 64 * 1024;

// Slack above the ratio limit for the fixed cost of a short stream.
constexpr uint64_t kDeflateSlack = 512;

uint64_t readLe64(const uint8_t* p) { return readLe32(p) | static_cast<uint64_t>(readLe32(p + 4)) << 32; }

}  // namespace

// ---- sources ----

bool MemorySource::readAt(int64_t offset, void* buffer, size_t count) {
    if (offset < 0 || count > size_ || static_cast<uint64_t>(offset) > size_ - count) return false;
    if (count > 0) std::memcpy(buffer, data_ + offset, count);
    return true;
}

bool FileSource::open(const char* path) {
    if (!file_.open(path)) return false;
    size_ = file_.size();
    if (size_ < 0) {
        file_.close();
        size_ = 0;
        return false;
    }
    if (size_ > 0 && view_.map(file_) && view_.size() != size_) view_.unmap();
    // A signed executable's archive ends where its certificate table begins.
    if (view_.data()) size_ = payloadEnd(view_.data(), size_);
    return true;
}

bool FileSource::readAt(int64_t offset, void* buffer, size_t count) {
    if (offset < 0 || static_cast<uint64_t>(count) > static_cast<uint64_t>(size_) ||
        offset > size_ - static_cast<int64_t>(count))
        return false;
    if (view_.data()) {
        if (count > 0) std::memcpy(buffer, view_.data() + offset, count);
        return true;
    }
    return file_.readAt(offset, buffer, count);
}

// ---- reader ----

ZipReader::~ZipReader() { close(); }

void ZipReader::close() {
    source_.reset();
    dirCopy_.reset();
    entries_.reset();
    inputBuffer_.reset();
    count_ = 0;
    archiveStart_ = 0;
}

bool ZipReader::open(std::unique_ptr<ZipSource> source) {
    close();
    if (!source) return false;
    const int64_t size = source->size();
    if (size < kEndRecordSize) return false;

    // The end record: the signature nearest the end of the last 65557 bytes.
    const int64_t span = size < kEndSearchSpan ? size : kEndSearchSpan;
    const int64_t spanStart = size - span;
    std::unique_ptr<uint8_t[]> tailCopy;
    const uint8_t* tail = source->bytes() ? source->bytes() + spanStart : nullptr;
    if (!tail) {
        tailCopy.reset(new (std::nothrow) uint8_t[static_cast<size_t>(span)]);
        if (!tailCopy || !source->readAt(spanStart, tailCopy.get(), static_cast<size_t>(span))) return false;
        tail = tailCopy.get();
    }
    int64_t at = -1;
    for (int64_t i = span - kEndRecordSize; i >= 0; --i) {
        if (readLe32(tail + i) == kEndSignature) {
            at = i;
            break;
        }
    }
    if (at < 0) return false;
    const uint8_t* record = tail + at;
    int64_t recordPos = spanStart + at;
    uint64_t total = readLe16(record + 10);
    uint64_t dirSize = readLe32(record + 12);
    uint64_t dirOffset = readLe32(record + 16);
    // Zip64: the locator sits just before the end record and the zip64 end
    // record just before the locator (data before the archive makes the
    // locator's own offset unusable, so the position is taken as adjacent).
    if (recordPos >= kZip64LocatorSize + kZip64EndSize) {
        uint8_t locator[kZip64LocatorSize];
        uint8_t end64[kZip64EndSize];
        const int64_t end64Pos = recordPos - kZip64LocatorSize - kZip64EndSize;
        if (source->readAt(recordPos - kZip64LocatorSize, locator, sizeof locator) &&
            readLe32(locator) == kZip64LocatorSignature && source->readAt(end64Pos, end64, sizeof end64) &&
            readLe32(end64) == kZip64EndSignature) {
            const uint64_t total64 = readLe64(end64 + 32);
            const uint64_t size64 = readLe64(end64 + 40);
            const uint64_t offset64 = readLe64(end64 + 48);
            // Each 32-bit field either agrees or is the marker that defers to zip64.
            if ((total == total64 || total == 0xFFFF) && (dirSize == size64 || dirSize == 0xFFFFFFFF) &&
                (dirOffset == offset64 || dirOffset == 0xFFFFFFFF)) {
                total = total64;
                dirSize = size64;
                dirOffset = offset64;
                recordPos = end64Pos;
            }
        }
    }

    if (dirOffset > static_cast<uint64_t>(INT64_MAX / 2) || dirSize > static_cast<uint64_t>(INT64_MAX / 2) ||
        static_cast<uint64_t>(recordPos) < dirOffset + dirSize)
        return false;
    if (dirSize == 0 && total != 0) return false;
    if (total == 0 && dirSize != 0) return false;
    // Every central header takes at least 46 bytes.
    if (total > dirSize / kCentralHeaderSize || total > static_cast<uint64_t>(INT32_MAX)) return false;
    if (dirSize > SIZE_MAX) return false;
    archiveStart_ = recordPos - static_cast<int64_t>(dirOffset) - static_cast<int64_t>(dirSize);
    const int64_t dirStart = recordPos - static_cast<int64_t>(dirSize);

    const uint8_t* dir = nullptr;
    if (source->bytes()) {
        dir = source->bytes() + dirStart;
    } else if (dirSize > 0) {
        dirCopy_.reset(new (std::nothrow) uint8_t[static_cast<size_t>(dirSize)]);
        if (!dirCopy_ || !source->readAt(dirStart, dirCopy_.get(), static_cast<size_t>(dirSize))) {
            close();
            return false;
        }
        dir = dirCopy_.get();
    }
    if (!readDirectory(dir, dirSize, total)) {
        close();
        return false;
    }
    source_ = std::move(source);
    return true;
}

namespace {

// Reads the zip64 and extended-timestamp fields of an entry's extra data.
void readExtraFields(ZipEntry& e, const uint8_t* extra, uint32_t length, uint32_t size32, uint32_t compressed32,
                     uint32_t offset32) {
    uint32_t pos = 0;
    while (pos + 4 <= length) {
        const uint16_t id = readLe16(extra + pos);
        const uint32_t dataLength = readLe16(extra + pos + 2);
        const uint8_t* data = extra + pos + 4;
        if (pos + 4 + dataLength > length) break;
        if (id == kZip64ExtraId) {
            // Only the fields whose 32-bit value is the marker are present, in this order.
            uint32_t at = 0;
            if (size32 == 0xFFFFFFFF && at + 8 <= dataLength) e.size = readLe64(data + at), at += 8;
            if (compressed32 == 0xFFFFFFFF && at + 8 <= dataLength) e.compressedSize = readLe64(data + at), at += 8;
            if (offset32 == 0xFFFFFFFF && at + 8 <= dataLength) e.localHeaderOffset = readLe64(data + at), at += 8;
        } else if (id == kTimestampExtraId && dataLength >= 5 && (data[0] & 1)) {
            e.modifiedSeconds = static_cast<int32_t>(readLe32(data + 1));
        }
        pos += 4 + dataLength;
    }
}

}  // namespace

bool ZipReader::readDirectory(const uint8_t* dir, uint64_t dirSize, uint64_t count) {
    if (count == 0) return true;
    entries_.reset(new (std::nothrow) ZipEntry[static_cast<size_t>(count)]);
    if (!entries_) return false;
    uint64_t pos = 0;
    for (uint64_t i = 0; i < count; ++i) {
        if (pos + kCentralHeaderSize > dirSize) return false;
        const uint8_t* h = dir + pos;
        if (readLe32(h) != kCentralSignature) return false;
        const uint32_t nameLength = readLe16(h + 28);
        const uint64_t next = pos + kCentralHeaderSize + nameLength + readLe16(h + 30) + readLe16(h + 32);
        if (next > dirSize) return false;
        ZipEntry& e = entries_[i];
        e.name = reinterpret_cast<const char*>(h + kCentralHeaderSize);
        e.nameLength = static_cast<int32_t>(nameLength);
        e.flags = readLe16(h + 8);
        e.method = readLe16(h + 10);
        e.crc = readLe32(h + 16);
        e.dosTime = readLe32(h + 12);
        e.modifiedSeconds = ZipEntry::kNoTime;
        e.compressedSize = readLe32(h + 20);
        e.size = readLe32(h + 24);
        e.localHeaderOffset = readLe32(h + 42);
        readExtraFields(e, h + kCentralHeaderSize + nameLength, readLe16(h + 30), readLe32(h + 24), readLe32(h + 20),
                        readLe32(h + 42));
        pos = next;
    }
    count_ = static_cast<int32_t>(count);
    return true;
}

bool ZipReader::canRead(int32_t i) const {
    if (!source_ || i < 0 || i >= count_) return false;
    const ZipEntry& e = entries_[i];
    if (e.flags & 1) return false;  // encrypted: no password is ever supplied
    if (e.size > static_cast<uint64_t>(INT32_MAX)) return false;
    // No entry of a readable size takes more than 4 GiB compressed.
    if (e.compressedSize > UINT32_MAX || e.localHeaderOffset > static_cast<uint64_t>(INT64_MAX / 4)) return false;
    if (e.method == 0) {
        if (e.compressedSize != e.size) return false;
    } else if (e.method == 8) {
        if (e.size > e.compressedSize * kMaxDeflateRatio + kDeflateSlack) return false;
    } else {
        return false;
    }
    const int64_t end = archiveStart_ + static_cast<int64_t>(e.localHeaderOffset) + kLocalHeaderSize +
                        static_cast<int64_t>(e.compressedSize);
    return end <= source_->size();
}

bool ZipReader::dataRange(const ZipEntry& e, int64_t& dataStart) {
    const int64_t header = archiveStart_ + static_cast<int64_t>(e.localHeaderOffset);
    uint8_t local[kLocalHeaderSize];
    if (!source_->readAt(header, local, sizeof local)) return false;
    if (readLe32(local) != kLocalSignature) return false;
    dataStart = header + kLocalHeaderSize + readLe16(local + 26) + readLe16(local + 28);
    return dataStart + static_cast<int64_t>(e.compressedSize) <= source_->size();
}

bool ZipReader::readEntry(int32_t i, uint8_t* out) {
    if (!canRead(i)) return false;
    const ZipEntry& e = entries_[i];
    int64_t dataStart = 0;
    if (!dataRange(e, dataStart)) return false;
    if (e.method == 0) {
        if (!source_->readAt(dataStart, out, e.size)) return false;
    } else if (!inflateEntry(e, dataStart, out)) {
        return false;
    }
    return crc32(0L, out, static_cast<uInt>(e.size)) == e.crc;
}

const uint8_t* ZipReader::storedData(int32_t i) {
    if (!canRead(i) || entries_[i].method != 0 || !source_->bytes()) return nullptr;
    int64_t dataStart = 0;
    if (!dataRange(entries_[i], dataStart)) return nullptr;
    return source_->bytes() + dataStart;
}

bool ZipReader::inflateEntry(const ZipEntry& e, int64_t dataStart, uint8_t* out) {
    const uint8_t* memory = source_->bytes();
    if (!memory && !inputBuffer_) {
        inputBuffer_.reset(new (std::nothrow) uint8_t[kInputChunk]);
        if (!inputBuffer_) return false;
    }
    z_stream zs;
    std::memset(&zs, 0, sizeof zs);
    if (inflateInit2(&zs, -15) != Z_OK) return false;

    int64_t inputPos = dataStart;
    auto inputLeft = static_cast<uint32_t>(e.compressedSize);
    uint8_t spare = 0;
    bool full = false;  // every declared byte produced; output now goes to `spare`
    bool ok = false;
    zs.next_out = out;
    zs.avail_out = static_cast<uInt>(e.size);
    for (;;) {
        if (zs.avail_in == 0 && inputLeft > 0) {
            if (memory) {
                zs.next_in = const_cast<Bytef*>(memory + inputPos);
                zs.avail_in = inputLeft;
                inputLeft = 0;
            } else {
                const uint32_t chunk = inputLeft < kInputChunk ? inputLeft : static_cast<uint32_t>(kInputChunk);
                if (!source_->readAt(inputPos, inputBuffer_.get(), chunk)) break;
                inputPos += chunk;
                inputLeft -= chunk;
                zs.next_in = inputBuffer_.get();
                zs.avail_in = chunk;
            }
        }
        if (zs.avail_out == 0 && !full) {
            // A stream may still hold its end marker; anything it produces
            // beyond the declared size makes the entry unreadable.
            full = true;
            zs.next_out = &spare;
            zs.avail_out = 1;
        }
        const int ret = inflate(&zs, Z_SYNC_FLUSH);
        if (full && zs.avail_out == 0) break;  // longer than declared
        if (ret == Z_STREAM_END) {
            ok = full || zs.avail_out == 0;
            break;
        }
        if (ret == Z_OK) continue;
        if (ret == Z_BUF_ERROR && zs.avail_in == 0 && inputLeft > 0) continue;
        if (ret == Z_BUF_ERROR && zs.avail_out == 0 && !full) continue;
        break;  // damaged or cut-off stream
    }
    inflateEnd(&zs);
    return ok;
}

}  // namespace hux
