// Files, directories and path conventions on Windows. Paths are ANSI text of
// any length (UTF-8 in the hux tool, see usePathsInUtf8); every call takes
// them through the wide form, which with the "\\?\" prefix is not bound to
// MAX_PATH.
#include <io.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <cstring>

#include "platform/files.h"
#include "platform/text.h"
#include "platform/win32/windows_support.h"

namespace hux::platform {

namespace {

std::atomic<bool> pathsInUtf8{false};

UINT consoleCodePage = 0;
void restoreConsoleCodePage() { SetConsoleOutputCP(consoleCodePage); }

}  // namespace

void usePathsInUtf8() {
    pathsInUtf8.store(true, std::memory_order_relaxed);
    // The tool's messages name paths in UTF-8: a console shows them as such
    // while it runs, and gets its own code page back at exit.
    consoleCodePage = GetConsoleOutputCP();
    if (consoleCodePage != 0 && consoleCodePage != CP_UTF8 && SetConsoleOutputCP(CP_UTF8))
        std::atexit(restoreConsoleCodePage);
}

std::FILE* openStdioFile(const char* path, const char* mode) {
    const std::wstring wideMode(mode, mode + std::char_traits<char>::length(mode));
    return _wfopen(win32::widePath(path).c_str(), wideMode.c_str());
}

namespace win32 {

std::wstring toWide(const char* text) {
    const size_t length = std::char_traits<char>::length(text);
    if (pathsInUtf8.load(std::memory_order_relaxed)) {
        const int n = MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0);
        std::wstring wide(static_cast<size_t>(n), L'\0');
        if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(length), &wide[0], n);
        return wide;
    }
    const std::u16string units = ansiToUtf16(text, length);
    return std::wstring(units.begin(), units.end());
}

namespace {

// Below this length every call takes a path as it is (CreateDirectory's limit
// is MAX_PATH less room for an 8.3 name).
constexpr size_t kPlainPathLimit = MAX_PATH - 12;

bool hasPrefix(const std::wstring& s, const wchar_t* prefix) { return s.rfind(prefix, 0) == 0; }

// GetFullPathNameW at any length; empty on failure.
std::wstring fullWidePath(const std::wstring& wide) {
    std::wstring full(wide.size() + MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
        if (n == 0) return {};
        if (n < full.size()) {
            full.resize(n);
            return full;
        }
        full.resize(n + 1);
    }
}

}  // namespace

std::wstring widePath(const char* path) { return longForm(toWide(path ? path : "")); }

std::wstring longForm(const std::wstring& wide) {
    if (wide.size() < kPlainPathLimit || hasPrefix(wide, L"\\\\?\\") || hasPrefix(wide, L"\\\\.\\")) return wide;
    // The prefixed form is taken literally: it must be absolute, with
    // backslashes and without "." or ".." segments.
    const std::wstring full = fullWidePath(wide);
    if (full.empty()) return wide;
    if (hasPrefix(full, L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

bool narrowExactly(const std::wstring& wide, ByteString& out) {
    if (pathsInUtf8.load(std::memory_order_relaxed)) {
        // Only an unpaired surrogate has no UTF-8 form.
        const int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), static_cast<int>(wide.size()),
                                          nullptr, 0, nullptr, nullptr);
        if (n <= 0 && !wide.empty()) return false;
        std::string bytes(static_cast<size_t>(n), '\0');
        if (n > 0)
            WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &bytes[0], n, nullptr, nullptr);
        out.assign(bytes.data(), static_cast<int32_t>(bytes.size()));
        return true;
    }
    const std::u16string units(wide.begin(), wide.end());
    out = utf16ToAnsi(units.data(), units.size());
    return ansiToUtf16(out.c_str(), static_cast<size_t>(out.length())) == units;
}

std::wstring moduleFileNameWide(HMODULE module) {
    // The name is cut to the buffer without a word (error 122 at most), so the
    // buffer grows until the name fits with room to spare.
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        const DWORD n = GetModuleFileNameW(module, &buffer[0], static_cast<DWORD>(buffer.size()));
        if (n == 0) return {};
        if (n < buffer.size() - 1 && GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            buffer.resize(n);
            return buffer;
        }
        if (buffer.size() >= 65536) return {};
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace win32

using win32::asHandle;
using win32::handleValue;
using win32::widePath;

bool isReadable(const char* path) {
    if (!path || !path[0]) return false;
    return _waccess(widePath(path).c_str(), 4) == 0;  // read permission; directories pass too
}

bool pathExists(const char* path) {
    return path && path[0] && GetFileAttributesW(widePath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool isDirectory(const char* path) {
    if (!path || !path[0]) return false;
    DWORD a = GetFileAttributesW(widePath(path).c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

namespace {

// "cannot read N bytes at O: why", with the system's text when `why` is null.
Status readFailure(int64_t offset, size_t count, const char* why, DWORD code) {
    std::string what = "cannot read " + std::to_string(count) + " bytes at " + std::to_string(offset);
    if (!why) return errorStatus(what, static_cast<int>(code));
    return Status::failure(what + ": " + why, static_cast<int>(code));
}

}  // namespace

InputFile::~InputFile() { close(); }

Status InputFile::open(const char* path) {
    close();
    HANDLE h = CreateFileW(widePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return lastErrorStatus(describe("cannot open", path ? path : ""));
    handle_ = handleValue(h);
    return {};
}

void InputFile::close() {
    if (handle_ != -1) CloseHandle(asHandle(handle_));
    handle_ = -1;
}

int64_t InputFile::size() const {
    LARGE_INTEGER s;
    if (handle_ == -1 || !GetFileSizeEx(asHandle(handle_), &s)) return -1;
    return s.QuadPart;
}

Status InputFile::readAt(int64_t offset, void* buffer, size_t count) const {
    if (handle_ == -1 || offset < 0)
        return readFailure(offset, count, "no file open or a negative offset", ERROR_INVALID_HANDLE);
    auto* p = static_cast<char*>(buffer);
    const int64_t start = offset;
    const size_t wanted = count;
    while (count > 0) {
        OVERLAPPED ov{};
        ov.Offset = static_cast<DWORD>(offset);
        ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD chunk = count > 0x40000000 ? 0x40000000 : static_cast<DWORD>(count);
        DWORD got = 0;
        if (!ReadFile(asHandle(handle_), p, chunk, &got, &ov)) {
            const DWORD code = GetLastError();
            if (code != ERROR_HANDLE_EOF) return readFailure(start, wanted, nullptr, code);
            got = 0;
        }
        if (got == 0) return readFailure(start, wanted, "the file ends first", 0);
        p += got;
        offset += got;
        count -= got;
    }
    return {};
}

FileView::~FileView() { unmap(); }

Status FileView::map(const InputFile& file) {
    unmap();
    int64_t size = file.size();
    if (size <= 0) return Status::failure("cannot map the file: it is empty or unreadable");
    win32::ScopedHandle mapping(
        CreateFileMappingA(asHandle(file.nativeHandle()), nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (!mapping) return lastErrorStatus("cannot map the file");
    void* p = MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0);
    if (!p) return lastErrorStatus("cannot map the file");
    mapping_ = handleValue(mapping.release());
    data_ = static_cast<const uint8_t*>(p);
    size_ = size;
    return {};
}

void FileView::unmap() {
    if (data_) UnmapViewOfFile(data_);
    if (mapping_) CloseHandle(asHandle(mapping_));
    data_ = nullptr;
    size_ = 0;
    mapping_ = 0;
}

Result<ByteString> currentDirectory() {
    char buffer[kPathMax];
    DWORD n = GetCurrentDirectoryA(kPathMax, buffer);
    if (n == 0) return lastErrorStatus("cannot read the current directory");
    if (n >= static_cast<DWORD>(kPathMax))
        return errorStatus("cannot read the current directory", ERROR_FILENAME_EXCED_RANGE);
    return ByteString(buffer, static_cast<int32_t>(n));
}

Status setCurrentDirectory(const char* path) {
    if (!path || !path[0]) return errorStatus("cannot change to ''", ERROR_PATH_NOT_FOUND);
    if (!SetCurrentDirectoryA(path)) return lastErrorStatus(describe("cannot change to", path));
    return {};
}

int32_t fullPathName(const char* path, char* buffer, int32_t size) {
    // The wide call takes paths of any length; the result is handed back in
    // ANSI with the contract of GetFullPathNameA.
    const std::wstring full = win32::fullWidePath(win32::toWide(path ? path : ""));
    if (full.empty()) return 0;
    ByteString ansi;
    if (!win32::narrowExactly(full, ansi)) return 0;
    const int32_t n = ansi.length();
    if (n >= size) return n + 1;
    std::memcpy(buffer, ansi.c_str(), static_cast<size_t>(n) + 1);
    return n;
}

// Options are ANSI text, which the virtual machine reads as it was written.
ByteString descriptorPath(const char*, bool) { return {}; }

bool usesDrivePaths() { return true; }

char pathListSeparator() { return ';'; }

// ---- directory listing ----

namespace {
struct FindState {
    win32::ScopedFindHandle search;
    WIN32_FIND_DATAW data{};
    bool pending = false;
};
}  // namespace

DirLister::~DirLister() { close(); }

Status DirLister::open(const char* pattern) {
    close();
    auto* st = new FindState;
    st->search.reset(FindFirstFileW(widePath(pattern).c_str(), &st->data));
    if (!st->search) {
        Status failed = lastErrorStatus(describe("cannot list", pattern ? pattern : ""));
        delete st;
        return failed;
    }
    st->pending = true;
    state_ = st;
    return {};
}

bool DirLister::next(DirEntry& entry) {
    auto* st = static_cast<FindState*>(state_);
    if (!st) return false;
    if (!st->pending && !FindNextFileW(st->search.get(), &st->data)) return false;
    st->pending = false;
    const std::wstring name(st->data.cFileName);
    const std::u16string units(name.begin(), name.end());
    entry.name = utf16ToAnsi(units.data(), units.size());
    entry.isDirectory = (st->data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return true;
}

void DirLister::close() {
    delete static_cast<FindState*>(state_);
    state_ = nullptr;
}

}  // namespace hux::platform
