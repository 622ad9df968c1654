// Writes a zip archive into memory: stored or deflated entries, a central
// directory and the end record. Offsets count from the archive's first byte.
// Zip64 records are written exactly where a field would overflow: more than
// 65,534 entries, or a size or offset of 4 GiB or more.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace hux::tool {

class ZipWriter {
public:
    enum class Method { Stored = 0, Deflated = 8 };

    // The largest values the plain records hold; lowered only to test the
    // zip64 records without gigabytes of data.
    struct Limits {
        uint64_t entries = 0xFFFF;      // 0xFFFF itself marks a zip64 count
        uint64_t value32 = 0xFFFFFFFF;  // likewise for sizes and offsets
    };
    ZipWriter() = default;
    explicit ZipWriter(Limits limits) : limits_(limits) {}

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
    // Appends the central directory and the end record (with `comment`).
    bool finish(std::string& error, const std::string& comment = {});
    const std::vector<uint8_t>& bytes() const { return out_; }
    // Length of the archive through the fixed part of the end record.
    uint64_t lengthWithoutComment() const { return lengthWithoutComment_; }
    size_t entryCount() const { return entries_.size(); }

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
    Limits limits_;
    std::vector<uint8_t> out_;
    std::vector<Entry> entries_;
    uint64_t lengthWithoutComment_ = 0;
};

// Raw-deflates `data` (no zlib header), as zip entries hold it.
bool deflateRaw(const std::vector<uint8_t>& data, std::vector<uint8_t>& out);

// The CRC-32 of `data`, as a zip entry records it.
uint32_t crcOf(const std::vector<uint8_t>& data);

}  // namespace hux::tool
