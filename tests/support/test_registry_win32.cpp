#include <windows.h>

#include "support/test_registry.h"

namespace hux::test {

bool userRegistryAvailable() { return true; }

bool setRegistryValue(const char* keyPath, const char* valueName, uint32_t type, const void* data, uint32_t size) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, keyPath, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    const LONG rc = RegSetValueExA(key, valueName, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

void deleteRegistryTree(const char* keyPath) { RegDeleteTreeA(HKEY_CURRENT_USER, keyPath); }

}  // namespace hux::test
