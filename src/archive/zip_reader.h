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
};

// Presents bytes held elsewhere as a source: no copy, no ownership. The bytes
// must outlive the source.
class MemorySource final : public ZipSource {
public:
    MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    int64_t size() const override { return static_cast<int64_t>(size_); }
    bool readAt(int64_t offset, void* buffer, size_t count) override;
    const uint8_t* bytes() const override { return data_; }

private:
    const uint8_t* data_;
    size_t size_;
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

private:
    platform::InputFile file_;
    platform::FileView view_;
    int64_t size_ = 0;
};

// One central-directory entry, as the shared zip format parses it.
using ZipEntry = zip::CentralHeader;

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

    // Reads the whole entry `i` into `out`, which holds exactly the entry's
    // uncompressed size. True only when every byte was produced, the stream
    // produced no more than that and the CRC-32 matches; otherwise the contents
    // of `out` are unspecified. One entry at a time unless inMemory().
    bool readEntry(int32_t i, uint8_t* out);

    // The bytes of a readable stored entry where the source holds them in
    // memory (a mapping or a buffer), so they can be used in place; null
    // otherwise. Their CRC-32 is not checked here.
    const uint8_t* storedData(int32_t i);

private:
    bool readDirectory(const uint8_t* dir, uint64_t dirSize, uint64_t count);
    bool dataRange(const ZipEntry& e, int64_t& dataStart);
    bool inflateEntry(const ZipEntry& e, int64_t dataStart, uint8_t* out);

    std::unique_ptr<ZipSource> source_;
    std::unique_ptr<uint8_t[]> dirCopy_;  // directory bytes when the source is a file
    std::unique_ptr<ZipEntry[]> entries_;
    int32_t count_ = 0;
    int64_t archiveStart_ = 0;
    std::unique_ptr<uint8_t[]> inputBuffer_;  // compressed bytes read from a file
};

}  // namespace hux
