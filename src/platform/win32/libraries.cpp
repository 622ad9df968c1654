// Dynamic libraries on Windows: LoadLibraryW (a path of any length) and
// GetProcAddress.
#include "platform/libraries.h"
#include "platform/win32/windows_support.h"

namespace hux::platform {

bool DynamicLibrary::load(const char* path, bool /*global*/) {
    handle_ = LoadLibraryW(win32::widePath(path).c_str());
    return handle_ != nullptr;
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
        GetLastError(), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text), 0, nullptr);
    ByteString out;
    if (n && text) {
        while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ')) --n;
        out.assign(text, static_cast<int32_t>(n));
    }
    if (text) LocalFree(text);
    return out;
}

}  // namespace hux::platform
