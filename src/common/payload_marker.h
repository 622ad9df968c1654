// The archive length record that the packer patches into the stub.
#pragma once

#include <cstdint>

namespace hux {

// The archive length A that the packer patched into this executable; 0 for a
// stub that was never packed.
uint32_t embeddedArchiveLength();

}  // namespace hux
