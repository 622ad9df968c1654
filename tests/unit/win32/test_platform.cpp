// Test helpers that write the Windows registry (local machine root).
#include <windows.h>

#include <cstring>

#include "test_support.h"

namespace hux::test {

bool registryAvailable() { return true; }

bool registrySetString(const char* keyPath, const char* valueName, const char* value) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    const LONG rc = RegSetValueExA(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                                   static_cast<DWORD>(std::strlen(value) + 1));
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

void registryDeleteTree(const char* keyPath) { RegDeleteTreeA(HKEY_LOCAL_MACHINE, keyPath); }

// The C runtime removes a variable given an empty value.
bool setEnvEmpty(const char*) { return false; }

bool commandsAreShellLines() { return false; }

}  // namespace hux::test
