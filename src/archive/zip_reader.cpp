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
constexpr int64_t kEndRecordSize = 22;
constexpr int64_t kEndSearchSpan = kEndRecordSize + 65535;  // record plus the largest comment
constexpr uint32_t kCentralHeaderSize = 46;
constexpr int64_t kLocalHeaderSize = 30;
constexpr size_t kInputChunk = 64 * 1024;

// Slack above the ratio limit for the fixed cost of a short stream.
constexpr uint64_t kDeflateSlack = 512;

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
    const int64_t recordPos = spanStart + at;
    const uint32_t total = readLe16(record + 10);
    const uint32_t dirSize = readLe32(record + 12);
    const uint32_t dirOffset = readLe32(record + 16);

    if (recordPos < static_cast<int64_t>(dirOffset) + static_cast<int64_t>(dirSize)) return false;
    if (dirSize == 0 && total != 0) return false;
    if (total == 0 && dirSize != 0) return false;
    archiveStart_ = recordPos - dirOffset - dirSize;
    const int64_t dirStart = recordPos - dirSize;

    const uint8_t* dir = nullptr;
    if (source->bytes()) {
        dir = source->bytes() + dirStart;
    } else if (dirSize > 0) {
        dirCopy_.reset(new (std::nothrow) uint8_t[dirSize]);
        if (!dirCopy_ || !source->readAt(dirStart, dirCopy_.get(), dirSize)) {
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

bool ZipReader::readDirectory(const uint8_t* dir, uint32_t dirSize, uint32_t count) {
    if (count == 0) return true;
    entries_.reset(new (std::nothrow) ZipEntry[count]);
    if (!entries_) return false;
    uint64_t pos = 0;
    for (uint32_t i = 0; i < count; ++i) {
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
        e.compressedSize = readLe32(h + 20);
        e.size = readLe32(h + 24);
        e.localHeaderOffset = readLe32(h + 42);
        pos = next;
    }
    count_ = static_cast<int32_t>(count);
    return true;
}

bool ZipReader::canRead(int32_t i) const {
    if (!source_ || i < 0 || i >= count_) return false;
    const ZipEntry& e = entries_[i];
    if (e.flags & 1) return false;  // encrypted: no password is ever supplied
    if (e.size > static_cast<uint32_t>(INT32_MAX)) return false;
    if (e.method == 0) {
        if (e.compressedSize != e.size) return false;
    } else if (e.method == 8) {
        if (e.size > static_cast<uint64_t>(e.compressedSize) * kMaxDeflateRatio + kDeflateSlack) return false;
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
    uint32_t inputLeft = e.compressedSize;
    uint8_t spare = 0;
    bool full = false;  // every declared byte produced; output now goes to `spare`
    bool ok = false;
    zs.next_out = out;
    zs.avail_out = e.size;
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
