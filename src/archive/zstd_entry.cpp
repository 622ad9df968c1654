#include "archive/zstd_entry.h"

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

namespace {

#ifdef HUX_HAVE_ZSTD
constexpr size_t kPieceBytes = 1 << 20;

// The entry's bytes: in place where the executable is mapped, read (and
// checked) into `copy` otherwise. Null when they cannot be had.
const uint8_t* entryBytes(ZipReader& reader, int32_t i, std::unique_ptr<uint8_t[]>& copy) {
    if (i < 0 || i >= reader.entryCount() || reader.entry(i).method != 0) return nullptr;
    if (const uint8_t* frame = reader.storedData(i)) return frame;
    if (!reader.canRead(i)) return nullptr;
    copy.reset(new (std::nothrow) uint8_t[static_cast<size_t>(reader.entry(i).size) + 1]);
    if (!copy || !reader.readEntry(i, copy.get())) return nullptr;
    return copy.get();
}

// Whether `bytes` are whole frames, each with its content size and a checksum
// of its contents (which decoding checks, several times faster than a CRC-32
// over the same bytes), declaring `size` bytes in all.
bool framesDeclare(const uint8_t* bytes, size_t count, size_t size) {
    if (size > static_cast<size_t>(INT32_MAX)) return false;
    size_t declared = 0;
    do {
        ZSTD_frameHeader header;
        if (ZSTD_getFrameHeader(&header, bytes, count) != 0 || header.frameType != ZSTD_frame || !header.checksumFlag ||
            header.frameContentSize > size - declared)
            return false;
        const size_t frame = ZSTD_findFrameCompressedSize(bytes, count);
        if (ZSTD_isError(frame) || frame > count) return false;
        declared += static_cast<size_t>(header.frameContentSize);
        bytes += frame;
        count -= frame;
    } while (count > 0);
    return declared == size;
}
#endif

}  // namespace

bool readZstdEntry(ZipReader& reader, int32_t i, uint8_t* out, size_t size) {
#ifdef HUX_HAVE_ZSTD
    std::unique_ptr<uint8_t[]> copy;
    const uint8_t* frames = entryBytes(reader, i, copy);
    if (!frames) return false;
    const auto count = static_cast<size_t>(reader.entry(i).size);
    if (!framesDeclare(frames, count, size)) return false;
    const size_t n = ZSTD_decompress(out, size, frames, count);
    return !ZSTD_isError(n) && n == size;
#else
    (void)reader;
    (void)i;
    (void)out;
    (void)size;
    return false;
#endif
}

struct ZstdDecoder::State {
#ifdef HUX_HAVE_ZSTD
    ~State() { ZSTD_freeDStream(stream); }
    ZSTD_DStream* stream = nullptr;
#endif
    std::unique_ptr<uint8_t[]> piece;
};

ZstdDecoder::ZstdDecoder() : state_(new (std::nothrow) State) {}

ZstdDecoder::~ZstdDecoder() = default;

bool ZstdDecoder::decode(ZipReader& reader, int32_t i, size_t size, const Sink& sink) {
#ifdef HUX_HAVE_ZSTD
    if (!state_) return false;
    std::unique_ptr<uint8_t[]> copy;
    const uint8_t* frames = entryBytes(reader, i, copy);
    if (!frames) return false;
    const auto count = static_cast<size_t>(reader.entry(i).size);
    if (!framesDeclare(frames, count, size)) return false;
    if (!state_->stream && !(state_->stream = ZSTD_createDStream())) return false;
    if (!state_->piece) state_->piece.reset(new (std::nothrow) uint8_t[kPieceBytes]);
    if (!state_->piece) return false;
    if (ZSTD_isError(ZSTD_DCtx_reset(state_->stream, ZSTD_reset_session_only))) return false;
    ZSTD_inBuffer in{frames, count, 0};
    size_t produced = 0;
    size_t left = 1;  // what the last call says is still to come; 0 at a frame's end
    while (in.pos < in.size || left != 0) {
        ZSTD_outBuffer out{state_->piece.get(), kPieceBytes, 0};
        left = ZSTD_decompressStream(state_->stream, &out, &in);
        if (ZSTD_isError(left) || out.pos > size - produced) return false;
        if (out.pos == 0 && left != 0 && in.pos == in.size) return false;  // cut short
        produced += out.pos;
        if (out.pos > 0 && !sink(state_->piece.get(), out.pos)) return false;
    }
    return produced == size;
#else
    (void)reader;
    (void)i;
    (void)size;
    (void)sink;
    return false;
#endif
}

}  // namespace hux
