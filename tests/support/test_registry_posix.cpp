#include "support/test_registry.h"

namespace hux::test {

bool userRegistryAvailable() { return false; }
bool setRegistryValue(const char*, const char*, uint32_t, const void*, uint32_t) { return false; }
void deleteRegistryTree(const char*) {}

}  // namespace hux::test
