#include "common/zip_format.h"

#include "common/utf.h"

namespace hux::zip {

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

bool readCentralHeader(const uint8_t* h, uint64_t available, CentralHeader& out) {
    if (available < static_cast<uint64_t>(kCentralHeaderSize) || readLe32(h) != kCentralSignature) return false;
    out.flags = readLe16(h + 8);
    out.method = readLe16(h + 10);
    out.crc = readLe32(h + 16);
    out.compressedSize = readLe32(h + 20);
    out.size = readLe32(h + 24);
    out.nameLength = readLe16(h + 28);
    out.extraLength = readLe16(h + 30);
    out.commentLength = readLe16(h + 32);
    out.localHeaderOffset = readLe32(h + 42);
    return out.totalLength() <= available;
}

bool isArchiveName(std::string_view name) {
    if (name.size() < 5) return false;
    const std::string_view tail = name.substr(name.size() - 4);
    return equalsIgnoreCase(tail, ".jar") || equalsIgnoreCase(tail, ".zip");
}

}  // namespace hux::zip
