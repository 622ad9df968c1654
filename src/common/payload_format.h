// Layout constants of the payload appended to a launcher executable, shared by
// the launcher (reader) and the packer (writer).
#pragma once

#include <cstdint>

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

// End-of-central-directory record of the zip format.
constexpr uint32_t kEndRecordSignature = 0x06054b50;
constexpr int kEndRecordSize = 22;

}  // namespace hux
