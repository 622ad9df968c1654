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

bool MemorySource::streamAt(int64_t offset, void* buffer, size_t count) {
    if (!file_) return readAt(offset, buffer, count);
    if (offset < 0 || count > size_ || static_cast<uint64_t>(offset) > size_ - count) return false;
    return file_->streamAt(fileOffset_ + offset, buffer, count);
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
    return file_.readAt(offset, buffer, count).ok();
}

bool FileSource::streamAt(int64_t offset, void* buffer, size_t count) {
    if (offset < 0 || static_cast<uint64_t>(count) > static_cast<uint64_t>(size_) ||
        offset > size_ - static_cast<int64_t>(count))
        return false;
    return file_.readAt(offset, buffer, count).ok();
}

// ---- reader ----

ZipReader::~ZipReader() { close(); }

void ZipReader::close() {
    source_.reset();
    dirCopy_.reset();
    entries_.reset();
    count_ = 0;
    archiveStart_ = 0;
}

bool ZipReader::open(std::unique_ptr<ZipSource> source) {
    close();
    foundEnd_ = false;
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
    foundEnd_ = true;
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

bool ZipReader::canStream(int32_t i) const {
    if (!source_ || i < 0 || i >= count_) return false;
    const ZipEntry& e = entries_[i];
    if (e.flags & 1) return false;  // encrypted: no password is ever supplied
    // No source is that large; this keeps the sums below in range.
    const int64_t sourceSize = source_->size();
    if (sourceSize > INT64_MAX / 4) return false;
    // Nothing an archive holds lies past the end of its source.
    if (e.compressedSize > static_cast<uint64_t>(sourceSize) || e.localHeaderOffset > static_cast<uint64_t>(sourceSize))
        return false;
    if (e.method == 0) {
        if (e.compressedSize != e.size) return false;
    } else if (e.method == 8) {
        if (e.size > e.compressedSize * kMaxDeflateRatio + kDeflateSlack) return false;
    } else {
        return false;
    }
    const int64_t end = archiveStart_ + static_cast<int64_t>(e.localHeaderOffset) + zip::kLocalHeaderSize +
                        static_cast<int64_t>(e.compressedSize);
    return end <= sourceSize;
}

bool ZipReader::supported(int32_t i) const {
    if (!source_ || i < 0 || i >= count_) return false;
    const ZipEntry& e = entries_[i];
    return (e.flags & 1) == 0 && (e.method == 0 || e.method == 8);
}

bool ZipReader::canRead(int32_t i) const {
    if (!canStream(i)) return false;
    const ZipEntry& e = entries_[i];
    // A Java array's limit; no entry of such a size takes 4 GiB compressed.
    return e.size <= static_cast<uint64_t>(INT32_MAX) && e.compressedSize <= UINT32_MAX;
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

bool ZipReader::readEntry(int32_t i, uint8_t* out, bool* damaged) {
    if (damaged) *damaged = false;
    if (!canRead(i)) {
        // Too large for one array is no damage; sizes that cannot hold are.
        if (damaged) *damaged = supported(i) && !canStream(i);
        return false;
    }
    EntryStream stream;
    bool ok = stream.open(*this, i);
    uint64_t done = 0;
    while (ok && done < stream.size()) {
        const int64_t n = stream.read(out + done, static_cast<size_t>(stream.size() - done));
        ok = n > 0;
        if (ok) done += static_cast<uint64_t>(n);
    }
    // Also checks an empty entry's stream and CRC-32.
    ok = ok && stream.read(out, 0) == 0;
    if (damaged) *damaged = !ok;
    return ok;
}

bool ZipReader::verifyEntry(int32_t i, size_t chunk) {
    if (!canStream(i) || chunk == 0) return false;
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[chunk]);
    EntryStream stream;
    if (!buffer || !stream.open(*this, i, true)) return false;
    for (;;) {
        const int64_t n = stream.read(buffer.get(), chunk);
        if (n < 0) return false;
        if (n == 0) return true;
    }
}

const uint8_t* ZipReader::storedData(int32_t i) {
    if (!canStream(i) || entries_[i].method != 0 || !source_->bytes()) return nullptr;
    int64_t dataStart = 0;
    if (!dataRange(entries_[i], dataStart)) return nullptr;
    return source_->bytes() + dataStart;
}

std::unique_ptr<ZipSource> ZipReader::sourceInside(const uint8_t* data, int64_t size) {
    const uint8_t* base = source_ ? source_->bytes() : nullptr;
    if (!base || data < base || size < 0 || data - base > source_->size() - size) return nullptr;
    return std::make_unique<MemorySource>(data, static_cast<size_t>(size), source_.get(), data - base);
}

namespace {

// A range of another source, read through it.
class SliceSource final : public ZipSource {
public:
    SliceSource(ZipSource& base, int64_t offset, int64_t size) : base_(base), offset_(offset), size_(size) {}
    int64_t size() const override { return size_; }
    bool readAt(int64_t offset, void* buffer, size_t count) override {
        return inside(offset, count) && base_.readAt(offset_ + offset, buffer, count);
    }
    const uint8_t* bytes() const override { return base_.bytes() ? base_.bytes() + offset_ : nullptr; }
    bool streamAt(int64_t offset, void* buffer, size_t count) override {
        return inside(offset, count) && base_.streamAt(offset_ + offset, buffer, count);
    }

private:
    bool inside(int64_t offset, size_t count) const {
        return offset >= 0 && static_cast<uint64_t>(count) <= static_cast<uint64_t>(size_) &&
               offset <= size_ - static_cast<int64_t>(count);
    }
    ZipSource& base_;
    int64_t offset_;
    int64_t size_;
};

}  // namespace

bool ZipReader::dataOffset(int32_t i, int64_t& dataStart) { return canStream(i) && dataRange(entries_[i], dataStart); }

bool ZipReader::localNameMatches(int32_t i) {
    if (!source_ || i < 0 || i >= count_) return false;
    const ZipEntry& e = entries_[i];
    const int64_t header = archiveStart_ + static_cast<int64_t>(e.localHeaderOffset);
    uint8_t local[zip::kLocalHeaderSize];
    if (e.nameLength < 0 || !source_->readAt(header, local, sizeof local) || readLe32(local) != zip::kLocalSignature ||
        readLe16(local + 26) != static_cast<uint32_t>(e.nameLength))
        return false;
    std::unique_ptr<char[]> name(new (std::nothrow) char[static_cast<size_t>(e.nameLength) + 1]);
    return name && source_->readAt(header + zip::kLocalHeaderSize, name.get(), static_cast<size_t>(e.nameLength)) &&
           std::memcmp(name.get(), e.name, static_cast<size_t>(e.nameLength)) == 0;
}

std::unique_ptr<ZipSource> ZipReader::sourceAt(int64_t offset, int64_t size) {
    if (!source_ || offset < 0 || size < 0 || offset > source_->size() - size) return nullptr;
    return std::make_unique<SliceSource>(*source_, offset, size);
}

// ---- entry streams ----

namespace {

// What one inflate call or one CRC-32 update takes at most (their lengths are
// 32-bit).
constexpr uint64_t kMaxStep = 1u << 30;

z_stream& inflater(void* zs) { return *static_cast<z_stream*>(zs); }

uint32_t updateCrc(uint32_t crc, const uint8_t* bytes, size_t count) {
    while (count > 0) {
        const auto step = static_cast<uInt>(count < kMaxStep ? count : kMaxStep);
        crc = static_cast<uint32_t>(crc32(crc, bytes, step));
        bytes += step;
        count -= step;
    }
    return crc;
}

}  // namespace

EntryStream::~EntryStream() {
    if (zs_) {
        inflateEnd(&inflater(zs_));
        delete static_cast<z_stream*>(zs_);
    }
}

bool EntryStream::open(ZipReader& reader, int32_t i, bool passOnce) {
    if (source_ || !reader.canStream(i)) return false;
    const ZipEntry& e = reader.entries_[i];
    int64_t dataStart = 0;
    if (!reader.dataRange(e, dataStart)) return false;
    if (e.method == 8) {
        auto* zs = new (std::nothrow) z_stream;
        if (!zs) return false;
        std::memset(zs, 0, sizeof *zs);
        if (inflateInit2(zs, -15) != Z_OK) {
            delete zs;
            return false;
        }
        zs_ = zs;
        deflated_ = true;
    }
    source_ = reader.source_.get();
    passOnce_ = passOnce;
    size_ = e.size;
    expectedCrc_ = e.crc;
    inputPos_ = dataStart;
    inputLeft_ = e.compressedSize;
    return true;
}

int64_t EntryStream::read(uint8_t* out, size_t count) {
    if (failed_ || !source_) return -1;
    if (produced_ == size_) {
        if (!verified_ && !verifyEnd()) {
            failed_ = true;
            return -1;
        }
        return 0;
    }
    const uint64_t left = size_ - produced_;
    const size_t n = count < left ? count : static_cast<size_t>(left);
    if (n == 0) return 0;
    bool ok;
    if (deflated_) {
        ok = inflateInto(out, n);
    } else {
        ok = passOnce_ ? source_->streamAt(inputPos_, out, n) : source_->readAt(inputPos_, out, n);
        inputPos_ += static_cast<int64_t>(n);
        inputLeft_ -= n;
    }
    if (ok) crc_ = updateCrc(crc_, out, n);
    if (ok && produced_ + n == size_) ok = verifyEnd();
    if (!ok) {
        failed_ = true;
        return -1;
    }
    produced_ += n;
    return static_cast<int64_t>(n);
}

bool EntryStream::fillInput() {
    z_stream& zs = inflater(zs_);
    const uint8_t* memory = passOnce_ ? nullptr : source_->bytes();
    size_t chunk;
    if (memory) {
        chunk = static_cast<size_t>(inputLeft_ < kMaxStep ? inputLeft_ : kMaxStep);
        zs.next_in = const_cast<Bytef*>(memory + inputPos_);
    } else {
        if (!input_) {
            input_.reset(new (std::nothrow) uint8_t[kInputChunk]);
            if (!input_) return false;
        }
        chunk = static_cast<size_t>(inputLeft_ < kInputChunk ? inputLeft_ : kInputChunk);
        if (!source_->streamAt(inputPos_, input_.get(), chunk)) return false;
        zs.next_in = input_.get();
    }
    zs.avail_in = static_cast<uInt>(chunk);
    inputPos_ += static_cast<int64_t>(chunk);
    inputLeft_ -= chunk;
    return true;
}

bool EntryStream::inflateInto(uint8_t* out, size_t count) {
    z_stream& zs = inflater(zs_);
    while (count > 0) {
        // The stream ended before its declared size.
        if (streamEnded_) return false;
        if (zs.avail_in == 0 && inputLeft_ > 0 && !fillInput()) return false;
        const auto step = static_cast<uInt>(count < kMaxStep ? count : kMaxStep);
        zs.next_out = out;
        zs.avail_out = step;
        const int ret = inflate(&zs, Z_SYNC_FLUSH);
        const size_t got = step - zs.avail_out;
        out += got;
        count -= got;
        if (ret == Z_STREAM_END) {
            streamEnded_ = true;
            continue;
        }
        if (ret == Z_OK) continue;
        if (ret == Z_BUF_ERROR && zs.avail_in == 0 && inputLeft_ > 0) continue;
        return false;  // damaged or cut off
    }
    return true;
}

bool EntryStream::verifyEnd() {
    verified_ = true;
    if (deflated_ && !streamEnded_) {
        // The stream may still hold its end marker; a byte beyond the
        // declared size makes the entry unreadable.
        z_stream& zs = inflater(zs_);
        uint8_t spare = 0;
        for (;;) {
            if (zs.avail_in == 0 && inputLeft_ > 0 && !fillInput()) return false;
            zs.next_out = &spare;
            zs.avail_out = 1;
            const int ret = inflate(&zs, Z_SYNC_FLUSH);
            if (zs.avail_out == 0) return false;
            if (ret == Z_STREAM_END) break;
            if (ret == Z_OK) continue;
            if (ret == Z_BUF_ERROR && zs.avail_in == 0 && inputLeft_ > 0) continue;
            return false;
        }
        streamEnded_ = true;
    }
    return crc_ == expectedCrc_;
}

}  // namespace hux
