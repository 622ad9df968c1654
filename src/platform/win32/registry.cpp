// The registry on Windows, read in the process's own view. Text values are
// read through this one reader too (registry_strings.cpp).
#include "platform/registry.h"
#include "platform/win32/windows_support.h"

namespace hux::platform {

bool hasRegistry() { return true; }

bool readRegistryValue(RegistryRoot root, const char* keyPath, const char* valueName, uint32_t& type,
                       ByteBuffer& data) {
    HKEY rootKey = HKEY_CURRENT_USER;
    switch (root) {
        case RegistryRoot::ClassesRoot: rootKey = HKEY_CLASSES_ROOT; break;
        case RegistryRoot::CurrentUser: rootKey = HKEY_CURRENT_USER; break;
        case RegistryRoot::LocalMachine: rootKey = HKEY_LOCAL_MACHINE; break;
        case RegistryRoot::Users: rootKey = HKEY_USERS; break;
        case RegistryRoot::CurrentConfig: rootKey = HKEY_CURRENT_CONFIG; break;
    }
    win32::ScopedRegistryKey key;
    if (RegOpenKeyExA(rootKey, keyPath, 0, KEY_READ, key.receive()) != ERROR_SUCCESS) return false;
    DWORD kind = 0;
    DWORD size = 0;
    bool ok =
        RegQueryValueExA(key.get(), valueName, nullptr, &kind, nullptr, &size) == ERROR_SUCCESS && size <= 0x7FFFFFF0;
    if (ok) {
        // One spare byte so a string without its terminator still ends.
        data.resize(static_cast<int32_t>(size) + 1);
        DWORD got = size;
        ok = RegQueryValueExA(key.get(), valueName, nullptr, &kind, data.data(), &got) == ERROR_SUCCESS && got <= size;
        if (ok) data.resize(static_cast<int32_t>(got));
    }
    if (!ok) return false;
    type = kind;
    return true;
}

}  // namespace hux::platform
