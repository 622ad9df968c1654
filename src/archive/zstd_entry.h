// Files the packer compresses with Zstandard: a runtime image carried for
// Linux, whose larger files inflate several times faster that way than
// deflated, and take less room. Each is a run of frames in a stored entry, so
// the executable stays an archive the JDK's own zip reader opens (it refuses
// every method but stored and deflated); the runtime's index says which
// entries these are and records the CRC-32 of the file itself, with which a
// launch after a failed start checks the unpacked copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "archive/zip_reader.h"

namespace hux {

// Whether this build reads such entries (the Linux launcher does).
bool zstdSupported();

// Decodes the stored entry `i` into `out`. True only when its frames declare
// exactly `size` bytes in all (at most a Java array's limit), each carries a
// checksum of its bytes, and they decode to bytes that match.
bool readZstdEntry(ZipReader& reader, int32_t i, uint8_t* out, size_t size);

// Decodes such entries a piece at a time into a buffer of its own, reused
// from entry to entry, so that a large file never passes through memory as
// a whole (a third less time than decoding it at once, most of it the
// system's page faults on a new buffer).
class ZstdDecoder {
public:
    using Sink = std::function<bool(const uint8_t* bytes, size_t count)>;
    ZstdDecoder();
    ZstdDecoder(const ZstdDecoder&) = delete;
    ZstdDecoder& operator=(const ZstdDecoder&) = delete;
    ~ZstdDecoder();
    // Hands the decoded bytes of entry `i` to `sink` in order. True under
    // readZstdEntry's conditions when `sink` took every piece; a failure
    // may come after some pieces were handed on.
    bool decode(ZipReader& reader, int32_t i, size_t size, const Sink& sink);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace hux
