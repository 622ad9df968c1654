// Test-only access to writable registry values (under HKEY_CURRENT_USER).
// Where there is no registry every call fails.
#pragma once

#include <cstdint>

namespace hux::test {

bool userRegistryAvailable();
// Creates `keyPath` under HKEY_CURRENT_USER when needed and sets one value of
// raw type `type` (an empty `valueName` sets the key's default value).
bool setRegistryValue(const char* keyPath, const char* valueName, uint32_t type, const void* data, uint32_t size);
// Removes `keyPath` under HKEY_CURRENT_USER with everything below it.
void deleteRegistryTree(const char* keyPath);

}  // namespace hux::test
