// Read-only zip reading over a random-access source: the end record, the
// central directory and one entry at a time (stored or raw deflate). Every
// offset and length taken from the archive is checked against the source, so
// damaged or hostile bytes make an operation fail, never read out of bounds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "common/zip_format.h"
#include "platform/files.h"

namespace hux {

// A read-only random-access byte source.
class ZipSource {
public:
    virtual ~ZipSource() = default;
    virtual int64_t size() const = 0;
    // Reads exactly `count` bytes at `offset`; false on error or when the range
    // leaves the source.
    virtual bool readAt(int64_t offset, void* buffer, size_t count) = 0;
    // The whole source as one contiguous block, or null when it is not in memory.
    virtual const uint8_t* bytes() const { return nullptr; }
    // As readAt, for a stream that passes over the bytes once: from the file
    // beneath where there is one, not through a mapping, so that the pages
    // read do not stay in the process's memory.
    virtual bool streamAt(int64_t offset, void* buffer, size_t count) { return readAt(offset, buffer, count); }
};

// Presents bytes held elsewhere as a source: no copy, no ownership. The bytes
// must outlive the source.
// When the bytes lie inside another source's mapping (`file`, from
// `fileOffset` on), streams read them from there.
class MemorySource final : public ZipSource {
public:
    MemorySource(const uint8_t* data, size_t size, ZipSource* file = nullptr, int64_t fileOffset = 0)
        : data_(data), size_(size), file_(file), fileOffset_(fileOffset) {}
    int64_t size() const override { return static_cast<int64_t>(size_); }
    bool readAt(int64_t offset, void* buffer, size_t count) override;
    const uint8_t* bytes() const override { return data_; }
    bool streamAt(int64_t offset, void* buffer, size_t count) override;

private:
    const uint8_t* data_;
    size_t size_;
    ZipSource* file_;
    int64_t fileOffset_;
};

// A file opened read-only through the platform layer. Data before the archive
// (an executable image, a configuration block) is normal.
// The file is also mapped when it can be, so that stored nested archives are
// read in place rather than copied.
class FileSource final : public ZipSource {
public:
    bool open(const char* path);
    int64_t size() const override { return size_; }
    bool readAt(int64_t offset, void* buffer, size_t count) override;
    const uint8_t* bytes() const override { return view_.data(); }
    bool streamAt(int64_t offset, void* buffer, size_t count) override;

private:
    platform::InputFile file_;
    platform::FileView view_;
    int64_t size_ = 0;
};

// One central-directory entry, as the shared zip format parses it.
using ZipEntry = zip::CentralHeader;

class ZipReader;

// Reads one entry in pieces: stored bytes straight from the source, deflated
// ones through an inflater of its own. It shares nothing with the reader's
// own reads or with other streams, so streams of one archive may be read on
// different threads (each stream by one thread at a time). The reader and
// its source must outlive the stream.
class EntryStream {
public:
    EntryStream() = default;
    EntryStream(const EntryStream&) = delete;
    EntryStream& operator=(const EntryStream&) = delete;
    ~EntryStream();

    // Positions the stream at the start of entry `i`; false when the entry
    // cannot be streamed (see ZipReader::canStream) or its local header is bad.
    // With `passOnce` the bytes come through ZipSource::streamAt (a stream
    // over a large entry then leaves no pages of the mapping behind); without
    // it, compressed bytes in memory are inflated where they lie.
    bool open(ZipReader& reader, int32_t i, bool passOnce = false);
    // Produces up to `count` bytes into `out`: the number produced (above 0
    // while bytes remain and `count` is), 0 at the end, -1 when the entry cannot be read to
    // its end (a damaged or cut-off stream, a stream longer than declared, a
    // CRC-32 mismatch, a read error). The read that would produce the last
    // bytes checks the CRC-32 and the stream's end first, so that complete
    // bytes are never handed over wrong; a damaged stream stays damaged.
    int64_t read(uint8_t* out, size_t count);
    uint64_t size() const { return size_; }
    uint64_t position() const { return produced_; }

private:
    bool fillInput();
    bool inflateInto(uint8_t* out, size_t count);
    // At the declared size: the stream must end there and the CRC-32 match.
    bool verifyEnd();

    ZipSource* source_ = nullptr;
    uint64_t size_ = 0;
    uint64_t produced_ = 0;
    uint32_t crc_ = 0;
    uint32_t expectedCrc_ = 0;
    int64_t inputPos_ = 0;    // next byte of entry data in the source
    uint64_t inputLeft_ = 0;  // entry data bytes not yet read from the source
    bool deflated_ = false;
    bool failed_ = false;
    bool verified_ = false;
    bool streamEnded_ = false;  // the inflater met the stream's end
    bool passOnce_ = false;
    void* zs_ = nullptr;                // z_stream, owned
    std::unique_ptr<uint8_t[]> input_;  // compressed bytes read from a file
};

class ZipReader {
public:
    // Largest number of bytes raw deflate can produce per input byte.
    static constexpr uint64_t kMaxDeflateRatio = 1032;

    ZipReader() = default;
    ZipReader(const ZipReader&) = delete;
    ZipReader& operator=(const ZipReader&) = delete;
    ~ZipReader();

    // Reads the end record and the central directory. On failure the reader
    // stays closed, with no entries.
    bool open(std::unique_ptr<ZipSource> source);
    void close();
    bool isOpen() const { return source_ != nullptr; }
    // Whether the whole source is in memory (a mapping or a buffer): entry
    // reads then share no state and may run at the same time.
    bool inMemory() const { return source_ && source_->bytes(); }

    int32_t entryCount() const { return count_; }
    const ZipEntry& entry(int32_t i) const { return entries_[i]; }
    // Where the archive's first byte sits in the source.
    int64_t archiveStart() const { return archiveStart_; }

    // Whether the entry's fields describe something this reader can produce:
    // not encrypted, stored or deflated, sizes consistent with the method and
    // with the source, size within a Java array's limit.
    bool canRead(int32_t i) const;
    // As canRead, of any size the format can hold: what an EntryStream reads
    // and what a stored nested archive may span.
    bool canStream(int32_t i) const;
    // Whether the entry's method and flags are ones this reader produces
    // (not encrypted, stored or deflated). An entry that is supported but
    // cannot be streamed, or whose stream fails, is damaged.
    bool supported(int32_t i) const;

    // Reads the whole entry `i` into `out`, which holds exactly the entry's
    // uncompressed size. True only when every byte was produced, the stream
    // produced no more than that and the CRC-32 matches; otherwise the contents
    // of `out` are unspecified. One entry at a time unless inMemory().
    // `damaged` (when given) says whether a failure was damage: a supported
    // entry whose fields or bytes do not hold together (sizes past the
    // source, a bad local header, a broken stream, a CRC-32 mismatch, a read
    // error), rather than one this reader cannot produce.
    bool readEntry(int32_t i, uint8_t* out, bool* damaged = nullptr);
    // Streams the whole entry `i` through its CRC-32 check without keeping
    // its bytes (`chunk` bytes at a time, read from the file beneath a
    // mapping); false when it cannot be read to its end. For checking only.
    bool verifyEntry(int32_t i, size_t chunk = 64 * 1024);

    // The bytes of a stored entry of any streamable size where the source
    // holds them in memory (a mapping or a buffer), so they can be used in
    // place; null otherwise. Their CRC-32 is not checked here.
    const uint8_t* storedData(int32_t i);
    // A source over those bytes (of `size` bytes) whose streams read them from
    // this reader's source; null when `data` is not inside it.
    std::unique_ptr<ZipSource> sourceInside(const uint8_t* data, int64_t size);
    // Where an entry's (stored or compressed) bytes begin in the source,
    // whether or not it is in memory; false when it cannot be streamed.
    bool dataOffset(int32_t i, int64_t& dataStart);
    // A source over `size` bytes of this reader's source from `offset`, read
    // through it (and in place where it is in memory); null when the range
    // leaves the source.
    std::unique_ptr<ZipSource> sourceAt(int64_t offset, int64_t size);
    // Whether the entry's local header carries the same name as its
    // directory record. The directory has no checksum of its own; for an
    // archive whose writer is known to repeat names (the packer's own
    // archive), a difference is a changed byte in one of the two.
    bool localNameMatches(int32_t i);
    // Whether the last open found an end record, whether or not the
    // directory it led to held together: bytes that end like an archive.
    bool lastOpenFoundEnd() const { return foundEnd_; }

private:
    friend class EntryStream;
    bool readDirectory(const uint8_t* dir, uint64_t dirSize, uint64_t count);
    bool dataRange(const ZipEntry& e, int64_t& dataStart);

    std::unique_ptr<ZipSource> source_;
    std::unique_ptr<uint8_t[]> dirCopy_;  // directory bytes when the source is a file
    std::unique_ptr<ZipEntry[]> entries_;
    int32_t count_ = 0;
    int64_t archiveStart_ = 0;
    bool foundEnd_ = false;
};

}  // namespace hux
