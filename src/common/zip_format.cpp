#include "common/zip_format.h"

#include "common/utf.h"

namespace hux::zip {

namespace {

constexpr uint16_t kZip64ExtraId = 0x0001;
constexpr uint16_t kTimestampExtraId = 0x5455;
constexpr uint32_t kDefers32 = 0xFFFFFFFF;
constexpr uint16_t kDefers16 = 0xFFFF;

uint64_t readLe64(const uint8_t* p) { return readLe32(p) | static_cast<uint64_t>(readLe32(p + 4)) << 32; }

// Reads the zip64 and extended-timestamp fields of an entry's extra data.
void readExtraFields(CentralHeader& e, const uint8_t* extra, uint32_t length, uint32_t size32, uint32_t compressed32,
                     uint32_t offset32) {
    uint32_t pos = 0;
    while (pos + 4 <= length) {
        const uint16_t id = readLe16(extra + pos);
        const uint32_t dataLength = readLe16(extra + pos + 2);
        const uint8_t* data = extra + pos + 4;
        if (pos + 4 + dataLength > length) break;
        if (id == kZip64ExtraId) {
            // Only the fields whose 32-bit value is the marker are present, in this order.
            uint32_t at = 0;
            if (size32 == kDefers32 && at + 8 <= dataLength) e.size = readLe64(data + at), at += 8;
            if (compressed32 == kDefers32 && at + 8 <= dataLength) e.compressedSize = readLe64(data + at), at += 8;
            if (offset32 == kDefers32 && at + 8 <= dataLength) e.localHeaderOffset = readLe64(data + at), at += 8;
        } else if (id == kTimestampExtraId && dataLength >= 5 && (data[0] & 1)) {
            e.modifiedSeconds = static_cast<int32_t>(readLe32(data + 1));
        }
        pos += 4 + dataLength;
    }
}

// Kept in this file so that the directory loop inlines it.
inline uint64_t parseCentralHeader(const uint8_t* h, uint64_t available, CentralHeader& out) {
    if (available < static_cast<uint64_t>(kCentralHeaderSize) || readLe32(h) != kCentralSignature) return 0;
    const uint16_t nameLength = readLe16(h + 28);
    const uint16_t extraLength = readLe16(h + 30);
    const uint64_t total = static_cast<uint64_t>(kCentralHeaderSize) + nameLength + extraLength + readLe16(h + 32);
    if (total > available) return 0;
    out.name = reinterpret_cast<const char*>(h + kCentralHeaderSize);
    out.nameLength = nameLength;
    out.flags = readLe16(h + 8);
    out.method = readLe16(h + 10);
    out.dosTime = readLe32(h + 12);
    out.crc = readLe32(h + 16);
    const uint32_t compressed32 = readLe32(h + 20);
    const uint32_t size32 = readLe32(h + 24);
    const uint32_t offset32 = readLe32(h + 42);
    out.compressedSize = compressed32;
    out.size = size32;
    out.localHeaderOffset = offset32;
    out.modifiedSeconds = CentralHeader::kNoTime;
    readExtraFields(out, h + kCentralHeaderSize + nameLength, extraLength, size32, compressed32, offset32);
    return total;
}

}  // namespace

int64_t findEndRecord(const uint8_t* bytes, int64_t length, int64_t lowest) {
    if (lowest < 0) lowest = 0;
    for (int64_t at = length - kEndRecordSize; at >= lowest; --at)
        if (readLe32(bytes + at) == kEndSignature) return at;
    return -1;
}

EndRecord readEndRecord(const uint8_t* record) {
    EndRecord r;
    r.entries = readLe16(record + 10);
    r.directorySize = readLe32(record + 12);
    r.directoryOffset = readLe32(record + 16);
    r.commentLength = readLe16(record + 20);
    return r;
}

bool applyZip64End(const uint8_t* before, EndRecord& end) {
    const uint8_t* locator = before + kZip64EndSize;
    if (readLe32(locator) != kZip64LocatorSignature || readLe32(before) != kZip64EndSignature) return false;
    const uint64_t entries = readLe64(before + 32);
    const uint64_t size = readLe64(before + 40);
    const uint64_t offset = readLe64(before + 48);
    if ((end.entries != entries && end.entries != kDefers16) ||
        (end.directorySize != size && end.directorySize != kDefers32) ||
        (end.directoryOffset != offset && end.directoryOffset != kDefers32))
        return false;
    end.entries = entries;
    end.directorySize = size;
    end.directoryOffset = offset;
    return true;
}

bool locateDirectory(const EndRecord& end, int64_t directoryEnd, DirectoryPlace& out) {
    constexpr auto kHalf = static_cast<uint64_t>(INT64_MAX / 2);
    if (directoryEnd < 0 || end.directoryOffset > kHalf || end.directorySize > kHalf ||
        static_cast<uint64_t>(directoryEnd) < end.directoryOffset + end.directorySize)
        return false;
    if ((end.directorySize == 0) != (end.entries == 0)) return false;
    // Every central header takes at least kCentralHeaderSize bytes.
    if (end.entries > end.directorySize / kCentralHeaderSize || end.entries > static_cast<uint64_t>(INT32_MAX))
        return false;
    out.start = directoryEnd - static_cast<int64_t>(end.directorySize);
    out.archiveStart = out.start - static_cast<int64_t>(end.directoryOffset);
    return true;
}

uint64_t readCentralHeader(const uint8_t* h, uint64_t available, CentralHeader& out) {
    return parseCentralHeader(h, available, out);
}

bool readCentralDirectory(const uint8_t* directory, uint64_t size, uint64_t count, CentralHeader* out) {
    uint64_t pos = 0;
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t length = parseCentralHeader(directory + pos, size - pos, out[i]);
        if (length == 0) return false;
        pos += length;
    }
    return true;
}

int64_t localDataOffset(const uint8_t* header) {
    if (readLe32(header) != kLocalSignature) return -1;
    return kLocalHeaderSize + readLe16(header + 26) + readLe16(header + 28);
}

bool isArchiveName(std::string_view name) {
    if (name.size() < 5) return false;
    const std::string_view tail = name.substr(name.size() - 4);
    return equalsIgnoreCase(tail, ".jar") || equalsIgnoreCase(tail, ".zip");
}

}  // namespace hux::zip
