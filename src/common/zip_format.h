// The zip format as the launcher reads it and the packer writes it: record
// signatures and sizes, the search for the end record, the fields of the end
// record and of central directory headers, and which entry names are archives.
#pragma once

#include <cstdint>
#include <string_view>

namespace hux::zip {

constexpr uint32_t kLocalSignature = 0x04034b50;
constexpr uint32_t kCentralSignature = 0x02014b50;
constexpr uint32_t kEndSignature = 0x06054b50;
constexpr int kLocalHeaderSize = 30;
constexpr int kCentralHeaderSize = 46;
constexpr int kEndRecordSize = 22;
constexpr int kMaxCommentLength = 65535;

// The offset within bytes[0, length) of the end record nearest the end: the
// last signature that leaves room for a whole record, searched no lower than
// `lowest`. -1 when there is none.
int64_t findEndRecord(const uint8_t* bytes, int64_t length, int64_t lowest = 0);

// The fields of an end record (kEndRecordSize bytes at `record`).
struct EndRecord {
    uint16_t entries = 0;
    uint32_t directorySize = 0;
    uint32_t directoryOffset = 0;
    uint16_t commentLength = 0;
};
EndRecord readEndRecord(const uint8_t* record);

// The fields of a central directory header.
struct CentralHeader {
    uint16_t flags = 0;
    uint16_t method = 0;
    uint32_t crc = 0;
    uint32_t compressedSize = 0;
    uint32_t size = 0;
    uint16_t nameLength = 0;
    uint16_t extraLength = 0;
    uint16_t commentLength = 0;
    uint32_t localHeaderOffset = 0;
    // The whole header with its name, extra field and comment.
    uint64_t totalLength() const {
        return static_cast<uint64_t>(kCentralHeaderSize) + nameLength + extraLength + commentLength;
    }
};
// False when fewer than kCentralHeaderSize bytes are available, the signature
// is wrong or the variable part runs past `available`.
bool readCentralHeader(const uint8_t* header, uint64_t available, CentralHeader& out);

// An archive inside an archive or on a class path: at least one character
// followed by ".jar" or ".zip", in any case.
bool isArchiveName(std::string_view name);

}  // namespace hux::zip
