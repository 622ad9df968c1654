// Files the packer compresses with Zstandard: a runtime image carried for
// Linux, whose larger files inflate several times faster that way than
// deflated, and take less room. Each is one frame in a stored entry, so the
// executable stays an archive the JDK's own zip reader opens (it refuses
// every method but stored and deflated); the runtime's index says which
// entries these are and records the CRC-32 of the file itself, with which a
// launch after a failed start checks the unpacked copy.
#pragma once

#include <cstddef>
#include <cstdint>

#include "archive/zip_reader.h"

namespace hux {

// Whether this build reads such entries (the Linux launcher does).
bool zstdSupported();

// Decodes the stored entry `i`, one Zstandard frame, into `out`. True only
// when the frame declares exactly `size` bytes (at most a Java array's
// limit), carries a checksum of them and decodes to bytes that match it.
bool readZstdEntry(ZipReader& reader, int32_t i, uint8_t* out, size_t size);

}  // namespace hux
