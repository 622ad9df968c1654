// There is no registry: every read fails, so a configured reference falls back
// to its '|' default and no runtime registration is ever found.
#include "platform/registry.h"

namespace hux::platform {

bool hasRegistry() { return false; }

bool readRegistryValue(RegistryRoot, const char*, const char*, uint32_t&, ByteBuffer&) { return false; }

bool listRegistrySubkeys(RegistryRoot, const char*, StringList&) { return false; }

}  // namespace hux::platform
