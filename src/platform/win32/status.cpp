// The system's text for GetLastError codes.
#include <string>

#include "platform/status.h"
#include "platform/win32/windows_support.h"

namespace hux::platform {

std::string systemErrorText(int code) {
    wchar_t buffer[512] = {};
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer,
                             static_cast<DWORD>(sizeof buffer / sizeof buffer[0]), nullptr);
    while (n > 0 &&
           (buffer[n - 1] == L'\r' || buffer[n - 1] == L'\n' || buffer[n - 1] == L' ' || buffer[n - 1] == L'.'))
        --n;
    ByteString text;
    // A character the ANSI code page lacks comes out replaced: the text stays readable.
    if (n == 0 || (!win32::narrowExactly(std::wstring(buffer, n), text) && text.empty()))
        return "error " + std::to_string(code);
    return std::string(text.view());
}

Status lastErrorStatus(std::string_view what) {
    const DWORD code = GetLastError();
    return errorStatus(what, static_cast<int>(code));
}

}  // namespace hux::platform
