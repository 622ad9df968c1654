// Writes a zip archive into memory: stored or deflated entries, a central
// directory and the end record. Offsets count from the archive's first byte.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace hux::tool {

class ZipWriter {
public:
    enum class Method { Stored = 0, Deflated = 8 };

    // Adds an entry; false (with `error` set) when the archive would leave the
    // plain zip format's limits (4 GiB, 65535 entries) or deflating fails.
    bool add(const std::string& name, const std::vector<uint8_t>& data, Method method, std::string& error);
    // Appends the central directory and the end record (with `comment`).
    bool finish(std::string& error, const std::string& comment = {});
    const std::vector<uint8_t>& bytes() const { return out_; }
    // Length of the archive through the fixed part of the end record.
    uint64_t lengthWithoutComment() const { return lengthWithoutComment_; }

private:
    struct Entry {
        std::string name;
        uint32_t crc;
        uint32_t compressedSize;
        uint32_t size;
        uint32_t offset;
        uint16_t method;
    };
    std::vector<uint8_t> out_;
    std::vector<Entry> entries_;
    uint64_t lengthWithoutComment_ = 0;
};

// Raw-deflates `data` (no zlib header), as zip entries hold it.
bool deflateRaw(const std::vector<uint8_t>& data, std::vector<uint8_t>& out);

}  // namespace hux::tool
