#include "common/payload_end.h"

#include "common/utf.h"

namespace hux {

namespace {

constexpr int kSecurityDirectory = 4;

}  // namespace

int64_t payloadEnd(const uint8_t* file, int64_t size) {
    if (!file || size < 64 || file[0] != 'M' || file[1] != 'Z') return size;
    const int64_t pe = readLe32(file + 0x3C);
    const int64_t optional = pe + 24;
    if (optional + 2 > size || readLe32(file + pe) != 0x00004550) return size;
    // PE32+ and PE32 place the directory count and table differently.
    const uint16_t magic = readLe16(file + optional);
    int64_t countAt = 0;
    if (magic == 0x20B) {
        countAt = optional + 108;
    } else if (magic == 0x10B) {
        countAt = optional + 92;
    } else {
        return size;
    }
    const int64_t dirs = countAt + 4;
    if (dirs + 8 * (kSecurityDirectory + 1) > size || readLe32(file + countAt) <= kSecurityDirectory) return size;
    const int64_t tableOffset = readLe32(file + dirs + 8 * kSecurityDirectory);
    const int64_t tableSize = readLe32(file + dirs + 8 * kSecurityDirectory + 4);
    if (tableOffset == 0 || tableSize == 0 || tableOffset < dirs || tableOffset + tableSize != size) return size;
    return tableOffset;
}

}  // namespace hux
