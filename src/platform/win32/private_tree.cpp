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

Status makePrivateDirectory(const char* path) {
    // The directory takes the access list of the private directory it is made in.
    if (!CreateDirectoryA(path, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        return lastErrorStatus(describe("cannot create", path));
    if (!isOwnPrivateDirectory(path))
        return Status::failure(describe("cannot use", path) + ": not a private directory of the user's own");
    return {};
}

NewFile::~NewFile() {
    if (handle_ == -1) return;
    CloseHandle(reinterpret_cast<HANDLE>(handle_));
    DeleteFileA(path_.c_str());
}

Status NewFile::create(const char* path, bool) {
    if (handle_ != -1) return Status::failure(describe("cannot create", path) + ": a file is open already");
    // The file takes the access list of the private directory it is made in.
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return lastErrorStatus(describe("cannot create", path));
    handle_ = reinterpret_cast<intptr_t>(file);
    path_ = ByteString(path);
    return {};
}

Status NewFile::append(const void* bytes, size_t count) {
    if (handle_ == -1) return Status::failure(describe("cannot write", path_.c_str()) + ": not open");
    const auto* p = static_cast<const char*>(bytes);
    while (count > 0) {
        const DWORD chunk = count > 0x10000000 ? 0x10000000 : static_cast<DWORD>(count);
        DWORD n = 0;
        if (!WriteFile(reinterpret_cast<HANDLE>(handle_), p, chunk, &n, nullptr))
            return lastErrorStatus(describe("cannot write", path_.c_str()));
        if (n != chunk) return errorStatus(describe("cannot write", path_.c_str()), ERROR_DISK_FULL);
        p += chunk;
        count -= chunk;
    }
    return {};
}

Status NewFile::finish() {
    if (handle_ == -1) return Status::failure(describe("cannot write", path_.c_str()) + ": not open");
    HANDLE file = reinterpret_cast<HANDLE>(handle_);
    handle_ = -1;
    if (CloseHandle(file)) return {};
    const Status failed = lastErrorStatus(describe("cannot write", path_.c_str()));
    DeleteFileA(path_.c_str());
    return failed;
}

Result<int64_t> plainFileSize(const char* path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data))
        return lastErrorStatus(describe("cannot examine", path));
    if (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
        return Status::failure(describe("cannot use", path) + ": not a plain file");
    return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

Status renameDirectory(const char* from, const char* to) {
    if (!MoveFileExA(from, to, 0)) return lastErrorStatus(describe("cannot rename", from) + " to '" + to + "'");
    return {};
}

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

Result<int64_t> fileSeconds(const char* path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data))
        return lastErrorStatus(describe("cannot examine", path));
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return Status::failure(describe("cannot use", path) + ": not a plain file");
    const int64_t ticks =
        (static_cast<int64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
    return (ticks - kUnixEpochInFileTime) / 10000000;
}

Status setFileSeconds(const char* path, int64_t seconds) {
    const std::string what = describe("cannot set the time of", path);
    win32::ScopedHandle file(CreateFileA(path, FILE_WRITE_ATTRIBUTES,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) return lastErrorStatus(what);
    const int64_t ticks = seconds * 10000000 + kUnixEpochInFileTime;
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFF);
    time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    if (!SetFileTime(file.get(), nullptr, nullptr, &time)) return lastErrorStatus(what);
    return {};
}

}  // namespace hux::platform
