#include "archive/zstd_entry.h"

#include <memory>
#include <new>

#ifdef HUX_HAVE_ZSTD
#define ZSTD_STATIC_LINKING_ONLY  // the frame header's fields
#include <zstd.h>
#endif

namespace hux {

bool zstdSupported() {
#ifdef HUX_HAVE_ZSTD
    return true;
#else
    return false;
#endif
}

bool readZstdEntry(ZipReader& reader, int32_t i, uint8_t* out, size_t size) {
#ifdef HUX_HAVE_ZSTD
    if (i < 0 || i >= reader.entryCount() || reader.entry(i).method != 0 || size > static_cast<size_t>(INT32_MAX))
        return false;
    // In place where the executable is mapped; read (and checked) otherwise.
    const uint8_t* frame = reader.storedData(i);
    std::unique_ptr<uint8_t[]> copy;
    if (!frame) {
        if (!reader.canRead(i)) return false;
        copy.reset(new (std::nothrow) uint8_t[static_cast<size_t>(reader.entry(i).size) + 1]);
        if (!copy || !reader.readEntry(i, copy.get())) return false;
        frame = copy.get();
    }
    // The frame carries a checksum of its contents, which decoding checks
    // (several times faster than a CRC-32 over the same bytes).
    const auto frameSize = static_cast<size_t>(reader.entry(i).size);
    ZSTD_frameHeader header;
    if (ZSTD_getFrameHeader(&header, frame, frameSize) != 0 || !header.checksumFlag ||
        header.frameContentSize != size || ZSTD_findFrameCompressedSize(frame, frameSize) != frameSize)
        return false;
    const size_t n = ZSTD_decompress(out, size, frame, frameSize);
    return !ZSTD_isError(n) && n == size;
#else
    (void)reader;
    (void)i;
    (void)out;
    (void)size;
    return false;
#endif
}

}  // namespace hux
