#include "common/payload_marker.h"

#include "common/payload_format.h"

namespace hux {

// Kept as one initialised, volatile record so that the compiler neither folds
// the value nor splits the magic from it; the packer rewrites bytes 16..19.
extern "C" {
__attribute__((used)) volatile const unsigned char huxArchiveLengthRecord[kArchiveLengthRecordSize] = {
    kArchiveLengthMagic[0],
    kArchiveLengthMagic[1],
    kArchiveLengthMagic[2],
    kArchiveLengthMagic[3],
    kArchiveLengthMagic[4],
    kArchiveLengthMagic[5],
    kArchiveLengthMagic[6],
    kArchiveLengthMagic[7],
    kArchiveLengthMagic[8],
    kArchiveLengthMagic[9],
    kArchiveLengthMagic[10],
    kArchiveLengthMagic[11],
    kArchiveLengthMagic[12],
    kArchiveLengthMagic[13],
    kArchiveLengthMagic[14],
    kArchiveLengthMagic[15],
    0,
    0,
    0,
    0};
}

uint32_t embeddedArchiveLength() {
    uint32_t a = 0;
    for (int i = 3; i >= 0; --i) a = (a << 8) | huxArchiveLengthRecord[16 + i];
    return a;
}

}  // namespace hux
