// Java runtime location, command line and privileges on Windows.
#include <windows.h>

#include <cstring>

#include "platform/platform.h"

namespace hux::platform {

const char* runtimeLibraryName() { return "jvm.dll"; }

const char* const* runtimeProbePrefixes() {
    static const char* const prefixes[] = {"", "bin\\", "jre\\bin\\", "..\\jre\\bin\\", nullptr};
    return prefixes;
}

char classPathSeparator() { return ';'; }

void systemRuntimeHomes(StringList& /*out*/) {}

bool readRegistryString(int root, const char* keyPath, const char* valueName, ByteString& out) {
    HKEY base = nullptr;
    switch (root) {
        case kRegistryLocalMachine: base = HKEY_LOCAL_MACHINE; break;
        default: return false;
    }
    HKEY key = nullptr;
    if (RegOpenKeyExA(base, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    char buffer[kPathMax];
    DWORD size = sizeof buffer;
    DWORD type = 0;
    const LONG rc = RegQueryValueExA(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return false;
    // The stored data need not end in a NUL; the text ends at the first one.
    const void* nul = std::memchr(buffer, 0, size);
    const DWORD length = nul ? static_cast<DWORD>(static_cast<const char*>(nul) - buffer) : size;
    if (length >= static_cast<DWORD>(kPathMax)) return false;
    out.assign(buffer, static_cast<int32_t>(length));
    return true;
}

bool hasRegistry() { return true; }

bool rawCommandLine(ByteString& out) {
    const char* line = GetCommandLineA();
    if (!line) return false;
    out.assign(line, static_cast<int32_t>(std::strlen(line)));
    return true;
}

bool isProcessElevated() {
    // Systems before user account control count as elevated.
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    const BOOL known = GetVersionExA(&version);
#pragma GCC diagnostic pop
    if (!known || version.dwPlatformId != VER_PLATFORM_WIN32_NT || version.dwMajorVersion <= 5) return true;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    const BOOL ok = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
    CloseHandle(token);
    return ok && elevation.TokenIsElevated != 0;
}

}  // namespace hux::platform
