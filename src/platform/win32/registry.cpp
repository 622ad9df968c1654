// The registry on Windows, read in the process's own view. Text values are
// read through this one reader too (registry_strings.cpp).
#include "platform/registry.h"
#include "platform/win32/windows_support.h"

namespace hux::platform {

bool hasRegistry() { return true; }

namespace {

HKEY rootKeyOf(RegistryRoot root) {
    switch (root) {
        case RegistryRoot::ClassesRoot: return HKEY_CLASSES_ROOT;
        case RegistryRoot::CurrentUser: return HKEY_CURRENT_USER;
        case RegistryRoot::LocalMachine: return HKEY_LOCAL_MACHINE;
        case RegistryRoot::Users: return HKEY_USERS;
        case RegistryRoot::CurrentConfig: return HKEY_CURRENT_CONFIG;
    }
    return HKEY_CURRENT_USER;
}

}  // namespace

bool readRegistryValue(RegistryRoot root, const char* keyPath, const char* valueName, uint32_t& type,
                       ByteBuffer& data) {
    const HKEY rootKey = rootKeyOf(root);
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

bool listRegistrySubkeys(RegistryRoot root, const char* keyPath, StringList& out) {
    win32::ScopedRegistryKey key;
    if (RegOpenKeyExA(rootKeyOf(root), keyPath, 0, KEY_READ, key.receive()) != ERROR_SUCCESS) return false;
    // Key names are at most 255 characters.
    char name[256];
    for (DWORD index = 0;; ++index) {
        DWORD length = sizeof name;
        const LONG rc = RegEnumKeyExA(key.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS) continue;
        out.append(std::string_view(name, length));
    }
    return true;
}

}  // namespace hux::platform
