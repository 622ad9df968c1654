// The zip format as the launcher reads it and the packer writes it: record
// signatures and sizes, the search for the end record, the end record with
// its zip64 counterpart, where the central directory lies, central directory
// headers with their extra fields, local headers, and which entry names are
// archives. Every parser here takes the number of bytes it may look at and
// never reads past them.
#pragma once

#include <cstdint>
#include <string_view>

namespace hux::zip {

constexpr uint32_t kLocalSignature = 0x04034b50;
constexpr uint32_t kCentralSignature = 0x02014b50;
constexpr uint32_t kEndSignature = 0x06054b50;
constexpr uint32_t kZip64EndSignature = 0x06064b50;
constexpr uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr int kLocalHeaderSize = 30;
constexpr int kCentralHeaderSize = 46;
constexpr int kEndRecordSize = 22;
constexpr int kZip64EndSize = 56;
constexpr int kZip64LocatorSize = 20;
constexpr int kMaxCommentLength = 65535;
// How far from the end of an archive its end record can begin.
constexpr int kEndSearchSpan = kEndRecordSize + kMaxCommentLength;

// The offset within bytes[0, length) of the end record nearest the end: the
// last signature that leaves room for a whole record, searched no lower than
// `lowest`. -1 when there is none.
int64_t findEndRecord(const uint8_t* bytes, int64_t length, int64_t lowest = 0);

// The fields of an end record, widened so that zip64 values fit.
struct EndRecord {
    uint64_t entries = 0;
    uint64_t directorySize = 0;
    uint64_t directoryOffset = 0;
    uint16_t commentLength = 0;
};
EndRecord readEndRecord(const uint8_t* record);

// `before` holds the kZip64EndSize + kZip64LocatorSize bytes that precede an
// end record. When they are a zip64 end record followed by its locator, and
// each field of `end` either agrees with it or is the marker that defers to
// it, `end` takes the zip64 values and the result is true. The locator's own
// offset is not used: the packer writes it as a file position, executables
// packed earlier as one within the archive, so the zip64 record is taken as
// adjacent.
bool applyZip64End(const uint8_t* before, EndRecord& end);

// Where the central directory lies in a source whose directory ends at
// `directoryEnd` (the zip64 end record when there is one, else the end
// record): false when the fields cannot describe a directory there.
struct DirectoryPlace {
    int64_t archiveStart = 0;  // where the archive's first byte sits in the source
    int64_t start = 0;         // where the directory begins in the source
};
bool locateDirectory(const EndRecord& end, int64_t directoryEnd, DirectoryPlace& out);

// One central directory entry. Sizes and the offset come from the zip64
// extra field where the 32-bit fields say so; the time from the extended
// timestamp field when there is one. Plain data (arrays of it are not
// zeroed first): readCentralHeader sets every field.
struct CentralHeader {
    static constexpr int64_t kNoTime = INT64_MIN;
    const char* name;  // points into the directory bytes; not NUL-terminated
    int32_t nameLength;
    uint16_t flags;   // bit 0: encrypted
    uint16_t method;  // 0 stored, 8 deflate
    uint32_t crc;
    uint32_t dosTime;         // MS-DOS date (high 16 bits) and time (low 16 bits)
    int64_t modifiedSeconds;  // Unix time of the extended timestamp field
    uint64_t compressedSize;
    uint64_t size;               // uncompressed
    uint64_t localHeaderOffset;  // from the archive's first byte
};

// Reads the header at `header` with at most `available` bytes after it. The
// length of the whole header (name, extra field and comment included), or 0
// when the bytes are no header or it runs past `available`.
uint64_t readCentralHeader(const uint8_t* header, uint64_t available, CentralHeader& out);

// Reads `count` headers one after another from the `size` bytes at
// `directory` into `out`; false when any of them is no header or runs past
// the directory.
bool readCentralDirectory(const uint8_t* directory, uint64_t size, uint64_t count, CentralHeader* out);

// For a local header (kLocalHeaderSize bytes at `header`): how far after its
// first byte the entry's data begins, or -1 when the signature is wrong.
int64_t localDataOffset(const uint8_t* header);

// An archive inside an archive or on a class path: at least one character
// followed by ".jar" or ".zip", in any case.
bool isArchiveName(std::string_view name);

}  // namespace hux::zip
