#include "platform/console.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/utf.h"
#include "platform/text.h"
#include "platform/win32/runtime_streams.h"
#include "platform/win32/windows_support.h"

namespace hux::platform {

namespace {

bool usable(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }

// Points the C runtime's `stream` and descriptor `fd`, and then the standard
// handle `id`, at the console: a descriptor on a copy of the console handle
// becomes `fd`. (Reopening the stream on "CONOUT$" by name fails under some
// runtimes.) The runtime re-points the standard handle to its own copy, so
// the handle is set last.
void pointAtConsole(HANDLE console, DWORD id, FILE* stream, int fd) {
    win32::ScopedHandle copy(win32::duplicateHandle(console));
    if (copy) {
        const int opened = _open_osfhandle(win32::handleValue(copy.get()), _O_TEXT);
        if (opened >= 0) {
            copy.release();  // the runtime's descriptor owns it now
            if (opened != fd) {
                _dup2(opened, fd);
                _close(opened);
            }
            win32::bindStreamToDescriptor(stream, fd);
            std::setvbuf(stream, nullptr, fd == 2 ? _IONBF : _IOLBF, fd == 2 ? 0 : 4096);
        }
    }
    SetStdHandle(id, console);
}

// The text up to its first zero; invalid bytes become U+FFFD.
std::wstring widen(const ByteString& text) {
    const std::u16string units = decodeUtf8Replacing(std::string_view(text.c_str()), false);
    return std::wstring(units.begin(), units.end());
}

}  // namespace

bool guiSubsystem() {
    // The packer writes the subsystem into the stub's header, so only the
    // loaded image knows it.
    const auto* base = reinterpret_cast<const unsigned char*>(GetModuleHandleW(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    return nt->OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_GUI;
}

void attachParentConsole() {
    const bool needOut = !usable(GetStdHandle(STD_OUTPUT_HANDLE));
    const bool needErr = !usable(GetStdHandle(STD_ERROR_HANDLE));
    if (!needOut && !needErr) return;
    // Some systems hand a GUI child its parent's console already; the
    // console's screen opens either way when there is one. A console
    // program started with empty handles has its console already, or none
    // at all (a detached job), and then the screen does not open.
    if (guiSubsystem()) AttachConsole(ATTACH_PARENT_PROCESS);
    const HANDLE console = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, OPEN_EXISTING, 0, nullptr);
    if (!usable(console)) return;
    if (needOut) pointAtConsole(console, STD_OUTPUT_HANDLE, stdout, 1);
    if (needErr) pointAtConsole(console, STD_ERROR_HANDLE, stderr, 2);
}

bool standardErrorAvailable() { return usable(GetStdHandle(STD_ERROR_HANDLE)); }

bool standardErrorIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

void writeErrorLine(const ByteString& text) {
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (usable(err) && GetConsoleMode(err, &mode)) {
        // A console shows bytes in its own code page, not the process's
        // ANSI one: the text goes as characters. What the C runtime still
        // holds goes first, to keep the order.
        std::fflush(stderr);
        std::u16string units = ansiToUtf16(text.c_str(), static_cast<size_t>(text.length()));
        units.push_back(u'\n');
        const auto* p = reinterpret_cast<const wchar_t*>(units.data());
        DWORD left = static_cast<DWORD>(units.size());
        while (left > 0) {
            DWORD written = 0;
            if (!WriteConsoleW(err, p, left, &written, nullptr) || written == 0) break;
            p += written;
            left -= written;
        }
        return;
    }
    std::fwrite(text.c_str(), 1, static_cast<size_t>(text.length()), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

void showErrorBox(const ByteString& title, const ByteString& text) {
    MessageBoxW(nullptr, widen(text).c_str(), widen(title).c_str(), MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
}

bool interactiveDesktop() {
    HWINSTA station = GetProcessWindowStation();
    USEROBJECTFLAGS flags{};
    DWORD needed = 0;
    if (!station || !GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, &needed)) return false;
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}

ByteString ownProductName() {
    const std::wstring module = win32::moduleFileNameWide(nullptr);
    if (module.empty()) return ByteString();
    // The version functions take the prefixed form of a long path.
    const std::wstring path = win32::longForm(module);
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) return ByteString();
    std::vector<unsigned char> data(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, data.data())) return ByteString();
    struct Translation {
        WORD language;
        WORD codePage;
    };
    Translation* translations = nullptr;
    UINT bytes = 0;
    if (!VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translations), &bytes) ||
        bytes < sizeof(Translation))
        return ByteString();
    wchar_t key[64];
    swprintf(key, 64, L"\\StringFileInfo\\%04x%04x\\ProductName", translations[0].language, translations[0].codePage);
    wchar_t* value = nullptr;
    UINT units = 0;
    if (!VerQueryValueW(data.data(), key, reinterpret_cast<void**>(&value), &units) || !value || units == 0)
        return ByteString();
    // Up to the first zero unit; a lone surrogate becomes U+FFFD.
    return utf16ToUtf8Standard(std::u16string_view(reinterpret_cast<const char16_t*>(value)), U'\uFFFD');
}

}  // namespace hux::platform
