#include "common/payload_format.h"

#include "common/zip_format.h"

namespace hux {

int64_t measureArchiveCommentLength(const uint8_t* tail, int64_t tailLength, int64_t size) {
    const int64_t tailStart = size - tailLength;
    const int64_t lowest = size - kCommentSearchReach - zip::kEndRecordSize - tailStart;
    const int64_t at = zip::findEndRecord(tail, tailLength, lowest);
    return at < 0 ? 0 : tailLength - at - zip::kEndRecordSize;
}

bool configurationBlockFramed(const uint8_t* file, int64_t blockEnd) {
    if (blockEnd < kBlockLengthSize) return false;
    const uint8_t* field = file + blockEnd - kBlockLengthSize;
    const uint32_t length = static_cast<uint32_t>(field[0]) | static_cast<uint32_t>(field[1]) << 8 |
                            static_cast<uint32_t>(field[2]) << 16 | static_cast<uint32_t>(field[3]) << 24;
    const int64_t start = blockEnd - kBlockLengthSize - static_cast<int64_t>(length);
    if (length < 4 || start < 0) return false;
    const uint8_t* block = file + start;
    return block[0] == 0xEF && block[1] == 0xBB && block[2] == 0xBF && block[length - 1] == 0;
}

bool payloadArchiveIntact(const uint8_t* file, int64_t size, uint32_t archiveLength, int64_t commentLength) {
    if (archiveLength < static_cast<uint32_t>(zip::kEndRecordSize) || size < zip::kEndRecordSize) return false;
    auto signatureAt = [&](int64_t at) {
        return static_cast<uint32_t>(file[at]) | static_cast<uint32_t>(file[at + 1]) << 8 |
               static_cast<uint32_t>(file[at + 2]) << 16 | static_cast<uint32_t>(file[at + 3]) << 24;
    };
    // The end record the configuration block is found from (a comment
    // length of 0 also stands for "none found").
    if (commentLength < 0) {
        int64_t tailLength = kCommentSearchReach + zip::kEndRecordSize + 4;
        if (tailLength > size) tailLength = size;
        commentLength = measureArchiveCommentLength(file + (size - tailLength), tailLength, size);
    }
    const int64_t endAt = size - commentLength - zip::kEndRecordSize;
    if (endAt < 0 || signatureAt(endAt) != zip::kEndSignature) return false;
    const int64_t archiveStart = endAt + zip::kEndRecordSize - static_cast<int64_t>(archiveLength);
    if (archiveStart < 0) return false;
    zip::EndRecord end = zip::readEndRecord(file + endAt);
    int64_t directoryEnd = endAt;
    constexpr int64_t kZip64Tail = zip::kZip64EndSize + zip::kZip64LocatorSize;
    if (endAt - archiveStart >= kZip64Tail && zip::applyZip64End(file + endAt - kZip64Tail, end))
        directoryEnd = endAt - kZip64Tail;
    zip::DirectoryPlace place;
    if (!zip::locateDirectory(end, directoryEnd, place) || place.archiveStart != archiveStart) return false;
    if (!configurationBlockFramed(file, archiveStart - kReservedSize)) return false;
    if (end.entries == 0) return true;
    return place.start + 4 <= directoryEnd && signatureAt(place.start) == zip::kCentralSignature &&
           signatureAt(archiveStart) == zip::kLocalSignature;
}

}  // namespace hux
