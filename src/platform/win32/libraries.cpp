// Dynamic libraries on Windows: LoadLibraryW (a path of any length) and
// GetProcAddress.
#include "platform/libraries.h"

#include <string>

#include "platform/win32/windows_support.h"

namespace hux::platform {

namespace {
// The code of this thread's last failed load, kept for lastLoadErrorText.
thread_local DWORD lastLoadError = ERROR_SUCCESS;
}  // namespace

Status DynamicLibrary::load(const char* path, bool /*global*/) {
    handle_ = LoadLibraryW(win32::widePath(path).c_str());
    if (handle_) return {};
    lastLoadError = GetLastError();
    std::string why = systemErrorText(static_cast<int>(lastLoadError));
    // Some of the system's texts name the file as "%1".
    for (size_t at = why.find("%1"); at != std::string::npos; at = why.find("%1")) why.replace(at, 2, "the library");
    return Status::failure(describe("cannot load", path) + ": " + why, static_cast<int>(lastLoadError));
}

void* DynamicLibrary::symbol(const char* name) const {
    return handle_ ? reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name)) : nullptr;
}

void DynamicLibrary::unload() {
    if (handle_) FreeLibrary(static_cast<HMODULE>(handle_));
    handle_ = nullptr;
}

ByteString lastLoadErrorText() {
    char* text = nullptr;
    DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        lastLoadError, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text), 0, nullptr);
    ByteString out;
    if (n && text) {
        while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ')) --n;
        out.assign(text, static_cast<int32_t>(n));
    }
    if (text) LocalFree(text);
    return out;
}

}  // namespace hux::platform
