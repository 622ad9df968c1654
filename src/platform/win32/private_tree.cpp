#include "platform/private_tree.h"

#include <string>

#include "platform/user_cache.h"
#include "platform/win32/windows_support.h"

namespace hux::platform {

namespace {

std::wstring wide(const char* path) {
    const int n = MultiByteToWideChar(CP_ACP, 0, path, -1, nullptr, 0);
    if (n <= 0) return {};
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, path, -1, out.data(), n);
    out.resize(static_cast<size_t>(n - 1));
    return out;
}

void removeWideTree(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    if (attributes & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesW(path.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        DeleteFileW(path.c_str());
        return;
    }
    // A junction or directory link goes by itself; what it points to stays.
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        WIN32_FIND_DATAW found;
        HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &found);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = found.cFileName;
                if (name != L"." && name != L"..") removeWideTree(path + L"\\" + name);
            } while (FindNextFileW(find, &found));
            FindClose(find);
        }
    }
    RemoveDirectoryW(path.c_str());
}

}  // namespace

bool makePrivateDirectory(const char* path) {
    // The directory takes the access list of the private directory it is made in.
    if (!CreateDirectoryA(path, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
    return isOwnPrivateDirectory(path);
}

bool writeNewFile(const char* path, const void* bytes, size_t count, bool) {
    return writeNewPrivateFile(path, bytes, count);
}

bool plainFileSize(const char* path, int64_t& size) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
        return false;
    size = (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

bool renameDirectory(const char* from, const char* to) { return MoveFileExA(from, to, 0) != 0; }

void removeTree(const char* path) {
    const std::wstring w = wide(path);
    if (!w.empty()) removeWideTree(w);
}

void touchFile(const char* path) {
    HANDLE file = CreateFileA(path, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    SetFileTime(file, nullptr, nullptr, &now);
    CloseHandle(file);
}

namespace {

// 100-nanosecond intervals between 1601 and 1970.
constexpr int64_t kUnixEpochInFileTime = 116444736000000000LL;

}  // namespace

bool fileSeconds(const char* path, int64_t& seconds) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data) || (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    const int64_t ticks =
        (static_cast<int64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
    seconds = (ticks - kUnixEpochInFileTime) / 10000000;
    return true;
}

bool setFileSeconds(const char* path, int64_t seconds) {
    HANDLE file = CreateFileA(path, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const int64_t ticks = seconds * 10000000 + kUnixEpochInFileTime;
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFF);
    time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    const bool set = SetFileTime(file, nullptr, nullptr, &time) != 0;
    CloseHandle(file);
    return set;
}

}  // namespace hux::platform
