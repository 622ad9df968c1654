// Writes a zip archive: stored or deflated entries, a central directory and
// the end record, into memory or straight into a file (an entry at a time, so
// that packing needs no more memory than the largest entry takes). Offsets
// count from the archive's first byte, except the zip64 locator's, which
// names the zip64 end record's place in the sink (the file, with the launcher
// image before the archive), where the JDK and unzip look for it. Zip64
// records are written exactly where a field would overflow: more than 65,534
// entries, or a size or offset of 4 GiB or more.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace hux::tool {

// Where an archive's bytes go.
class ByteSink {
public:
    virtual ~ByteSink() = default;
    virtual bool write(const uint8_t* data, size_t count) = 0;
    // Overwrites `count` bytes written earlier at `offset` (from the sink's
    // first byte). The bytes overwritten must be zeros (placeholders).
    virtual bool patch(uint64_t offset, const uint8_t* data, size_t count) = 0;
    virtual uint64_t size() const = 0;
};

class MemorySink final : public ByteSink {
public:
    bool write(const uint8_t* data, size_t count) override;
    bool patch(uint64_t offset, const uint8_t* data, size_t count) override;
    uint64_t size() const override { return bytes_.size(); }
    const std::vector<uint8_t>& bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
};

// A file written front to back through a buffer. It can keep the PE image
// checksum's running sum of everything written (16-bit little-endian words
// at even file offsets), so that a Windows executable needs no second pass.
class FileSink final : public ByteSink {
public:
    FileSink() = default;
    FileSink(const FileSink&) = delete;
    FileSink& operator=(const FileSink&) = delete;
    ~FileSink() override;
    bool open(const std::string& path);
    bool write(const uint8_t* data, size_t count) override;
    bool patch(uint64_t offset, const uint8_t* data, size_t count) override;
    uint64_t size() const override { return size_; }
    // Writes out the buffer and closes; false when any write failed.
    bool close();
    void keepChecksum() { checksum_ = true; }
    // The PE checksum of the file written, the 4 bytes at `fieldOffset` (the
    // checksum field itself) left out of the sum.
    uint32_t peChecksum(uint64_t fieldOffset, const uint8_t fieldBytes[4]) const;
    // Called after every write with the bytes written so far.
    std::function<void(uint64_t)> onWrite;

private:
    void addToSum(uint64_t offset, const uint8_t* data, size_t count);
    bool flush();
    std::FILE* file_ = nullptr;
    std::vector<uint8_t> buffer_;
    uint64_t size_ = 0;
    bool failed_ = false;
    bool checksum_ = false;
    uint64_t sum_ = 0;
};

class ZipWriter {
public:
    enum class Method { Stored = 0, Deflated = 8 };

    // The largest values the plain records hold; lowered only to test the
    // zip64 records without gigabytes of data.
    struct Limits {
        uint64_t entries = 0xFFFF;      // 0xFFFF itself marks a zip64 count
        uint64_t value32 = 0xFFFFFFFF;  // likewise for sizes and offsets
    };
    // In memory (bytes() gives the archive).
    ZipWriter() : sink_(&memory_) {}
    explicit ZipWriter(Limits limits) : limits_(limits), sink_(&memory_) {}
    // Into `sink`, from its current end (offsets count from there).
    explicit ZipWriter(ByteSink& sink) : sink_(&sink), start_(sink.size()) {}
    ZipWriter(ByteSink& sink, Limits limits) : limits_(limits), sink_(&sink), start_(sink.size()) {}

    // A fixed timestamp keeps packed files reproducible (1 Jan 2000, 00:00).
    static constexpr uint32_t kDefaultDosTime = ((20u << 9 | 1u << 5 | 1u) << 16);

    // No extended timestamp: the entry has its MS-DOS time alone.
    static constexpr int64_t kNoUnixTime = INT64_MIN;

    // Adds an entry; false (with `error` set) when a name is unusable or
    // deflating fails. `dosTime`: MS-DOS date (high 16 bits) and time.
    // `unixTime`: the modification time in Unix seconds for an extended
    // timestamp field ("UT"), which readers prefer to the MS-DOS time (exact
    // to the second, in UTC); left out when kNoUnixTime or beyond 32 bits.
    bool add(const std::string& name, const std::vector<uint8_t>& data, Method method, std::string& error,
             uint32_t dosTime = kDefaultDosTime, int64_t unixTime = kNoUnixTime);
    bool add(const std::string& name, const uint8_t* data, size_t size, Method method, std::string& error,
             uint32_t dosTime = kDefaultDosTime, int64_t unixTime = kNoUnixTime);
    // Adds the file at `path` as it is read, a piece at a time (the CRC-32
    // and, when deflated, the compressed size are filled in afterwards).
    // False with `error` when the file cannot be read or changes size.
    bool addFile(const std::string& name, const std::string& path, Method method, std::string& error,
                 uint32_t dosTime = kDefaultDosTime, int64_t unixTime = kNoUnixTime);
    // Adds an entry whose data is already compressed by `method` (copied
    // from another archive unchanged): `crc` and `size` describe the data
    // uncompressed.
    bool addRaw(const std::string& name, const uint8_t* compressed, uint64_t compressedSize, Method method,
                uint32_t crc, uint64_t size, std::string& error, uint32_t dosTime = kDefaultDosTime,
                int64_t unixTime = kNoUnixTime);
    // Appends the central directory and the end record (with `comment`).
    bool finish(std::string& error, const std::string& comment = {});
    // The archive, when written in memory.
    const std::vector<uint8_t>& bytes() const { return memory_.bytes(); }
    // Length of the archive through the fixed part of the end record.
    uint64_t lengthWithoutComment() const { return lengthWithoutComment_; }
    // The end record and the comment after it, once finished.
    const std::vector<uint8_t>& endRecord() const { return endRecord_; }
    size_t entryCount() const { return entries_.size(); }
    // Whether finish wrote the zip64 end record and locator.
    bool wroteZip64() const { return zip64_; }

private:
    struct Entry {
        std::string name;
        uint32_t crc;
        uint32_t dosTime;
        uint64_t compressedSize;
        uint64_t size;
        uint64_t offset;
        uint16_t method;
        bool hasUnixTime;
        int32_t unixTime;
    };
    // Writes the local header of `e`; `large` asks for the zip64 field.
    // `sizesAt` receives where the CRC-32 and the 32-bit sizes are in the sink.
    bool writeLocalHeader(const Entry& e, bool large, uint64_t& crcAt, uint64_t& zip64At);
    bool checkName(const std::string& name, std::string& error) const;
    Entry makeEntry(const std::string& name, uint32_t dosTime, int64_t unixTime, Method method) const;
    bool writeFailed(std::string& error);
    // Fills in the CRC-32 of `e` at `crcAt` in its local header and, when
    // `sizes`, its sizes (in the zip64 field at `zip64At` when `large`).
    bool patchLocalHeader(const Entry& e, bool sizes, bool large, uint64_t crcAt, uint64_t zip64At);
    // Appends the central directory record of `e`.
    void putDirectoryRecord(std::vector<uint8_t>& out, const Entry& e) const;
    // Appends the zip64 end record and its locator.
    void putZip64End(std::vector<uint8_t>& out, uint64_t count, uint64_t directorySize, uint64_t directoryOffset) const;

    Limits limits_;
    MemorySink memory_;
    ByteSink* sink_;
    uint64_t start_ = 0;
    std::vector<Entry> entries_;
    uint64_t lengthWithoutComment_ = 0;
    std::vector<uint8_t> endRecord_;
    bool zip64_ = false;
};

// Raw-deflates `data` (no zlib header), as zip entries hold it.
bool deflateRaw(const std::vector<uint8_t>& data, std::vector<uint8_t>& out);

// The CRC-32 of `data`, as a zip entry records it.
uint32_t crcOf(const std::vector<uint8_t>& data);
uint32_t crcOf(const uint8_t* data, size_t size, uint32_t crc = 0);

}  // namespace hux::tool
