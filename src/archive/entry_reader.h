// The native side of a hux: URL's input stream: one entry read in pieces into
// Java byte arrays, behind a handle the Java stream keeps in its field `h`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "archive/zip_reader.h"
#include "common/byte_string.h"

namespace hux {

class EntryReader {
public:
    // Bytes produced per step between copies into the Java array.
    static constexpr size_t kChunk = 64 * 1024;

    // `name` is the entry's full tree name, for the damage report.
    EntryReader(std::unique_ptr<EntryStream> stream, const ByteString& name)
        : stream_(std::move(stream)), name_(name) {}

    // Fills `length` bytes through `deliver(bytes, count, at)` (`at` counts
    // from the first byte of this call), a chunk at a time, until `length`
    // bytes are delivered or the entry ends: the number delivered, -1 at the
    // end (nothing delivered), -2 when the entry cannot be read to its end,
    // -3 when a delivery failed (returned false).
    template <class Deliver>
    int64_t fill(int64_t length, const Deliver& deliver);

    uint64_t size() const { return stream_->size(); }
    uint64_t position() const { return stream_->position(); }
    const ByteString& name() const { return name_; }

private:
    std::unique_ptr<EntryStream> stream_;
    ByteString name_;
    std::unique_ptr<uint8_t[]> chunk_;
};

template <class Deliver>
int64_t EntryReader::fill(int64_t length, const Deliver& deliver) {
    if (length <= 0) return 0;
    if (!chunk_) chunk_.reset(new uint8_t[kChunk]);
    int64_t done = 0;
    while (done < length) {
        const uint64_t want = static_cast<uint64_t>(length - done);
        const int64_t n = stream_->read(chunk_.get(), want < kChunk ? static_cast<size_t>(want) : kChunk);
        if (n < 0) return -2;  // what this call delivered is no good either
        if (n == 0) break;
        if (!deliver(chunk_.get(), static_cast<size_t>(n), done)) return -3;
        done += n;
    }
    return done > 0 ? done : -1;
}

}  // namespace hux
