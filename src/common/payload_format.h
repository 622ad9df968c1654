// Layout constants of the payload appended to a launcher executable, shared by
// the launcher (reader) and the packer (writer).
#pragma once

#include <cstdint>

#include "common/zip_format.h"

namespace hux {

// The launcher carries the archive length A in a 20-byte record: this 16-byte
// magic followed by A as a little-endian 32-bit value. The packer finds the
// record (the magic must occur exactly once in a stub) and patches A.
constexpr unsigned char kArchiveLengthMagic[16] = {'h', 'u', 'x', '.', 'a', 'r', 'c', 'h',
                                                   'i', 'v', 'e', '.', 'l', 'e', 'n', 0xA7};
constexpr int kArchiveLengthRecordSize = 20;

// After the configuration block: its 4-byte length, then reserved bytes.
constexpr int kBlockLengthSize = 4;
constexpr int kReservedSize = 16;

// How many bytes may follow the end record of the payload's archive (its
// comment, signing padding, bytes appended later): as many as the longest
// archive comment, which is how far the runtime's zip reader and our own
// look back for the record.
constexpr int64_t kCommentSearchReach = zip::kMaxCommentLength;

// The length of the archive comment that ends a payload of `size` bytes, from
// the end record nearest the end within the reach; 0 when there is none.
// `tail` holds the file's last `tailLength` bytes.
int64_t measureArchiveCommentLength(const uint8_t* tail, int64_t tailLength, int64_t size);

// The packer seals the configuration block: after its text and that text's
// NUL come kBlockSealKey, the CRC-32 of every byte before the key (the mark,
// the text, its NUL) as 8 hex digits, and a final NUL. The text still ends at
// its first NUL, so a reader that knows no seal reads the same lines.
constexpr char kBlockSealKey[] = "hux-crc32=";
constexpr int kBlockSealSize = 1 + 10 + 8 + 1;  // NUL, key, digits, NUL

// What a block's last bytes say of it: Sealed (the CRC-32 matches), Unsealed
// (no seal: the packer of an older version wrote it) or Broken (a seal whose
// NUL before it is gone or whose CRC-32 differs: the text was changed).
enum class BlockSeal { Sealed, Unsealed, Broken };
BlockSeal blockSeal(const uint8_t* block, uint32_t length);

// The seal for a block whose `length` bytes (the mark, the text, its NUL)
// are at `block`: kBlockSealSize bytes, appended to them.
void writeBlockSeal(const uint8_t* block, uint32_t length, uint8_t seal[kBlockSealSize]);

// Whether the configuration block that ends at file offset `blockEnd` (just
// past its length field) has the packer's framing: a length that stays
// inside the file, the UTF-8 mark first and a NUL last, and no broken seal.
// A flipped bit in the length or the block would otherwise start the
// application with no configuration, or with a changed one.
bool configurationBlockFramed(const uint8_t* file, int64_t blockEnd);

// Whether the `size` bytes at `file` end with a whole archive of
// `archiveLength` bytes (an archive comment may follow): the end record
// nearest the end describes a central directory that lies inside those
// bytes, begins with a central header, and counts its offsets from the
// archive's first byte, which holds a local header; and the configuration
// block before it is framed (configurationBlockFramed). False for a
// truncated or altered file.
// `commentLength` is the archive comment's length when the caller has
// measured it already (measureArchiveCommentLength), else -1.
bool payloadArchiveIntact(const uint8_t* file, int64_t size, uint32_t archiveLength, int64_t commentLength = -1);

}  // namespace hux
