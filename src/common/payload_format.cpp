#include "common/payload_format.h"

#include <zlib.h>

#include <cstdio>
#include <cstring>

#include "common/hex_digit.h"
#include "common/zip_format.h"

namespace hux {

int64_t measureArchiveCommentLength(const uint8_t* tail, int64_t tailLength, int64_t size) {
    const int64_t tailStart = size - tailLength;
    const int64_t lowest = size - kCommentSearchReach - zip::kEndRecordSize - tailStart;
    const int64_t at = zip::findEndRecord(tail, tailLength, lowest);
    return at < 0 ? 0 : tailLength - at - zip::kEndRecordSize;
}

namespace {

uint32_t blockCrc(const uint8_t* block, uint32_t length) {
    return static_cast<uint32_t>(crc32(crc32(0, nullptr, 0), block, static_cast<uInt>(length)));
}

}  // namespace

BlockSeal blockSeal(const uint8_t* block, uint32_t length) {
    constexpr uint32_t kKeyLength = sizeof(kBlockSealKey) - 1;
    if (length < kBlockSealSize + 4) return BlockSeal::Unsealed;
    const uint8_t* seal = block + length - kBlockSealSize;
    if (std::memcmp(seal + 1, kBlockSealKey, kKeyLength) != 0) return BlockSeal::Unsealed;
    // The key stands where the packer puts it: a changed byte anywhere
    // else, the NUL before it included, breaks the seal.
    uint32_t stored = 0;
    for (uint32_t i = 0; i < 8; ++i) {
        const int digit = hexDigitValue(static_cast<char>(seal[1 + kKeyLength + i]));
        if (digit < 0) return BlockSeal::Broken;
        stored = stored << 4 | static_cast<uint32_t>(digit);
    }
    const uint32_t sealed = length - kBlockSealSize;
    if (seal[0] != 0 || blockCrc(block, sealed) != stored) return BlockSeal::Broken;
    return BlockSeal::Sealed;
}

void writeBlockSeal(const uint8_t* block, uint32_t length, uint8_t seal[kBlockSealSize]) {
    // NUL, key, digits; snprintf's own NUL is the final one.
    seal[0] = 0;
    std::snprintf(reinterpret_cast<char*>(seal + 1), kBlockSealSize - 1, "%s%08lx", kBlockSealKey,
                  static_cast<unsigned long>(blockCrc(block, length)));
}

bool configurationBlockFramed(const uint8_t* file, int64_t blockEnd) {
    if (blockEnd < kBlockLengthSize) return false;
    const uint8_t* field = file + blockEnd - kBlockLengthSize;
    const uint32_t length = static_cast<uint32_t>(field[0]) | static_cast<uint32_t>(field[1]) << 8 |
                            static_cast<uint32_t>(field[2]) << 16 | static_cast<uint32_t>(field[3]) << 24;
    const int64_t start = blockEnd - kBlockLengthSize - static_cast<int64_t>(length);
    if (length < 4 || start < 0) return false;
    const uint8_t* block = file + start;
    return block[0] == 0xEF && block[1] == 0xBB && block[2] == 0xBF && block[length - 1] == 0 &&
           blockSeal(block, length) != BlockSeal::Broken;
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
