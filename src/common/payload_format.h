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

// Whether the configuration block that ends at file offset `blockEnd` (just
// past its length field) has the packer's framing: a length that stays
// inside the file, the UTF-8 mark first and a NUL last. A flipped bit in the
// length or the block would otherwise start the application with no
// configuration.
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
