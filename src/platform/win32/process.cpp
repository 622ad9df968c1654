// The running process on Windows: its module file name, its id, its command
// line, its token's elevation and the common controls.
#include <cstring>

#include "platform/files.h"
#include "platform/process.h"
#include "platform/win32/windows_support.h"
// After windows.h, which it needs.
#include <shellapi.h>

namespace hux::platform {

Result<ByteString> moduleFileName() {
    // Whole or not at all: a cut name would make an ancestor folder the
    // application's home, its files the configuration and its libraries the
    // runtime. A name the ANSI code page cannot spell is refused as well.
    const std::wstring wide = win32::moduleFileNameWide(nullptr);
    if (wide.empty()) return lastErrorStatus("cannot read the executable's path");
    ByteString path;
    if (!win32::narrowExactly(wide, path))
        return Status::failure("cannot read the executable's path: the ANSI code page cannot spell it");
    return path;
}

uint32_t currentProcessId() { return GetCurrentProcessId(); }

Status lowerOwnPriority() {
    if (!SetPriorityClass(GetCurrentProcess(), IDLE_PRIORITY_CLASS))
        return lastErrorStatus("cannot lower the priority");
    return {};
}

void waitForParentEnd(uint32_t parent, int limitMs) {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, parent);
    if (!process) return;  // gone already (or never ours to wait for)
    WaitForSingleObject(process, static_cast<DWORD>(limitMs));
    CloseHandle(process);
}

bool rawCommandLine(ByteString& out) {
    const char* line = GetCommandLineA();
    if (!line) return false;
    out.assign(line, static_cast<int32_t>(std::strlen(line)));
    return true;
}

bool utf8Arguments(std::vector<std::string>& out) {
    int count = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!argv) return false;
    out.clear();
    for (int i = 1; i < count; ++i) {
        const int length = static_cast<int>(wcslen(argv[i]));
        const int n = WideCharToMultiByte(CP_UTF8, 0, argv[i], length, nullptr, 0, nullptr, nullptr);
        std::string arg(static_cast<size_t>(n > 0 ? n : 0), '\0');
        if (n > 0) WideCharToMultiByte(CP_UTF8, 0, argv[i], length, &arg[0], n, nullptr, nullptr);
        out.push_back(arg);
    }
    LocalFree(argv);
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
    win32::ScopedHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.receive())) return false;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    const BOOL ok = GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size);
    return ok && elevation.TokenIsElevated != 0;
}

void initCommonControls() {
    // InitCommonControlsEx with a size-8 structure and no classes; the result is
    // not needed, and the library may be missing.
    HMODULE comctl = LoadLibraryA("comctl32.dll");
    if (!comctl) return;
    struct {
        DWORD size;
        DWORD classes;
    } init = {8, 0};
    using InitFn = BOOL(WINAPI*)(void*);
    auto fn = reinterpret_cast<InitFn>(reinterpret_cast<void*>(GetProcAddress(comctl, "InitCommonControlsEx")));
    if (fn) fn(&init);
}

}  // namespace hux::platform
