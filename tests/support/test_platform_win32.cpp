// Test helpers that write the Windows registry (local machine root) and
// change who may write a file.
#include <windows.h>
// after windows.h
#include <aclapi.h>

#include <cstring>

#include "support/test_support.h"

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

const char* cacheBaseVariable() { return "LOCALAPPDATA"; }

bool letOthersWrite(const std::string& path) {
    PACL current = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &current,
                              nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    unsigned char everyone[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof everyone;
    PACL changed = nullptr;
    EXPLICIT_ACCESSA entry{};
    entry.grfAccessPermissions = FILE_GENERIC_WRITE;
    entry.grfAccessMode = GRANT_ACCESS;
    entry.grfInheritance = NO_INHERITANCE;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    entry.Trustee.ptstrName = reinterpret_cast<char*>(everyone);
    bool ok = CreateWellKnownSid(WinWorldSid, nullptr, everyone, &size) &&
              SetEntriesInAclA(1, &entry, current, &changed) == ERROR_SUCCESS &&
              SetNamedSecurityInfoA(const_cast<char*>(path.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                    nullptr, changed, nullptr) == ERROR_SUCCESS;
    LocalFree(changed);
    LocalFree(descriptor);
    return ok;
}

// Wine makes a Unix link that it does not report as a reparse point: that is
// no Windows link to test with.
bool makeLink(const std::string& target, const std::string& link, bool directory) {
    if (!CreateSymbolicLinkA(link.c_str(), target.c_str(), directory ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0)) return false;
    const DWORD attributes = GetFileAttributesA(link.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return true;
    if (directory)
        RemoveDirectoryA(link.c_str());
    else
        DeleteFileA(link.c_str());
    return false;
}

bool makeOlder(const std::string& path, std::chrono::hours age) {
    const HANDLE file =
        CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER t;
    t.LowPart = now.dwLowDateTime;
    t.HighPart = now.dwHighDateTime;
    t.QuadPart -= static_cast<ULONGLONG>(age.count()) * 3600ULL * 10000000ULL;  // 100 ns units
    FILETIME then;
    then.dwLowDateTime = t.LowPart;
    then.dwHighDateTime = t.HighPart;
    const bool ok = SetFileTime(file, nullptr, nullptr, &then) != 0;
    CloseHandle(file);
    return ok;
}

}  // namespace hux::test
