// Where the payload of an executable file ends. Signing a Windows executable
// appends a certificate table after the payload and records it in the
// security directory; the payload then ends where that table begins.
#pragma once

#include <cstdint>

namespace hux {

// For the `size` bytes of a whole file at `file`: the offset of the
// certificate table when the file is a PE image whose security directory
// names a table that ends exactly at the end of the file, else `size`.
int64_t payloadEnd(const uint8_t* file, int64_t size);

}  // namespace hux
