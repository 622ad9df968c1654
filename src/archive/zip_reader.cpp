#include "archive/zip_reader.h"

#include <zlib.h>

#include <cstring>
#include <new>

#include "common/payload_end.h"
#include "common/utf.h"
#include "common/zip_format.h"

namespace hux {

namespace {

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
    if (size < zip::kEndRecordSize) return false;

    // The end record: the signature nearest the end of the last 65557 bytes.
    const int64_t span = size < zip::kEndSearchSpan ? size : zip::kEndSearchSpan;
    const int64_t spanStart = size - span;
    std::unique_ptr<uint8_t[]> tailCopy;
    const uint8_t* tail = source->bytes() ? source->bytes() + spanStart : nullptr;
    if (!tail) {
        tailCopy.reset(new (std::nothrow) uint8_t[static_cast<size_t>(span)]);
        if (!tailCopy || !source->readAt(spanStart, tailCopy.get(), static_cast<size_t>(span))) return false;
        tail = tailCopy.get();
    }
    const int64_t at = zip::findEndRecord(tail, span);
    if (at < 0) return false;
    zip::EndRecord end = zip::readEndRecord(tail + at);
    int64_t directoryEnd = spanStart + at;
    constexpr int64_t kZip64Before = zip::kZip64EndSize + zip::kZip64LocatorSize;
    if (directoryEnd >= kZip64Before) {
        uint8_t before[kZip64Before];
        if (source->readAt(directoryEnd - kZip64Before, before, sizeof before) && zip::applyZip64End(before, end))
            directoryEnd -= kZip64Before;
    }
    zip::DirectoryPlace place;
    if (!zip::locateDirectory(end, directoryEnd, place) || end.directorySize > SIZE_MAX) return false;
    archiveStart_ = place.archiveStart;

    const uint8_t* dir = nullptr;
    if (source->bytes()) {
        dir = source->bytes() + place.start;
    } else if (end.directorySize > 0) {
        dirCopy_.reset(new (std::nothrow) uint8_t[static_cast<size_t>(end.directorySize)]);
        if (!dirCopy_ || !source->readAt(place.start, dirCopy_.get(), static_cast<size_t>(end.directorySize))) {
            close();
            return false;
        }
        dir = dirCopy_.get();
    }
    if (!readDirectory(dir, end.directorySize, end.entries)) {
        close();
        return false;
    }
    source_ = std::move(source);
    return true;
}

bool ZipReader::readDirectory(const uint8_t* dir, uint64_t dirSize, uint64_t count) {
    if (count == 0) return true;
    entries_.reset(new (std::nothrow) ZipEntry[static_cast<size_t>(count)]);
    if (!entries_) return false;
    if (!zip::readCentralDirectory(dir, dirSize, count, entries_.get())) return false;
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
    const int64_t end = archiveStart_ + static_cast<int64_t>(e.localHeaderOffset) + zip::kLocalHeaderSize +
                        static_cast<int64_t>(e.compressedSize);
    return end <= source_->size();
}

bool ZipReader::dataRange(const ZipEntry& e, int64_t& dataStart) {
    const int64_t header = archiveStart_ + static_cast<int64_t>(e.localHeaderOffset);
    uint8_t local[zip::kLocalHeaderSize];
    if (!source_->readAt(header, local, sizeof local)) return false;
    const int64_t dataOffset = zip::localDataOffset(local);
    if (dataOffset < 0) return false;
    dataStart = header + dataOffset;
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
