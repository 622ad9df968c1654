// Files, directories and path conventions on Windows.
#include <io.h>

#include "platform/files.h"
#include "platform/win32/windows_support.h"

namespace hux::platform {

using win32::asHandle;
using win32::handleValue;

bool isReadable(const char* path) {
    if (!path || !path[0]) return false;
    return _access(path, 4) == 0;  // read permission; directories pass too
}

bool pathExists(const char* path) { return path && path[0] && GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

bool isDirectory(const char* path) {
    if (!path || !path[0]) return false;
    DWORD a = GetFileAttributesA(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

InputFile::~InputFile() { close(); }

bool InputFile::open(const char* path) {
    close();
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    handle_ = handleValue(h);
    return true;
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

bool InputFile::readAt(int64_t offset, void* buffer, size_t count) const {
    if (handle_ == -1 || offset < 0) return false;
    auto* p = static_cast<char*>(buffer);
    while (count > 0) {
        OVERLAPPED ov{};
        ov.Offset = static_cast<DWORD>(offset);
        ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD chunk = count > 0x40000000 ? 0x40000000 : static_cast<DWORD>(count);
        DWORD got = 0;
        if (!ReadFile(asHandle(handle_), p, chunk, &got, &ov) || got == 0) return false;
        p += got;
        offset += got;
        count -= got;
    }
    return true;
}

FileView::~FileView() { unmap(); }

bool FileView::map(const InputFile& file) {
    unmap();
    int64_t size = file.size();
    if (size <= 0) return false;
    win32::ScopedHandle mapping(
        CreateFileMappingA(asHandle(file.nativeHandle()), nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (!mapping) return false;
    void* p = MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0);
    if (!p) return false;
    mapping_ = handleValue(mapping.release());
    data_ = static_cast<const uint8_t*>(p);
    size_ = size;
    return true;
}

void FileView::unmap() {
    if (data_) UnmapViewOfFile(data_);
    if (mapping_) CloseHandle(asHandle(mapping_));
    data_ = nullptr;
    size_ = 0;
    mapping_ = 0;
}

ByteString currentDirectory() {
    char buffer[kPathMax];
    DWORD n = GetCurrentDirectoryA(kPathMax, buffer);
    if (n == 0 || n >= static_cast<DWORD>(kPathMax)) return {};
    return ByteString(buffer, static_cast<int32_t>(n));
}

bool setCurrentDirectory(const char* path) { return path && path[0] && SetCurrentDirectoryA(path); }

int32_t fullPathName(const char* path, char* buffer, int32_t size) {
    return static_cast<int32_t>(GetFullPathNameA(path, static_cast<DWORD>(size), buffer, nullptr));
}

// Options are ANSI text, which the virtual machine reads as it was written.
ByteString descriptorPath(const char*, bool) { return {}; }

bool usesDrivePaths() { return true; }

char pathListSeparator() { return ';'; }

// ---- directory listing ----

namespace {
struct FindState {
    win32::ScopedFindHandle search;
    WIN32_FIND_DATAA data{};
    bool pending = false;
};
}  // namespace

DirLister::~DirLister() { close(); }

bool DirLister::open(const char* pattern) {
    close();
    auto* st = new FindState;
    st->search.reset(FindFirstFileA(pattern, &st->data));
    if (!st->search) {
        delete st;
        return false;
    }
    st->pending = true;
    state_ = st;
    return true;
}

bool DirLister::next(DirEntry& entry) {
    auto* st = static_cast<FindState*>(state_);
    if (!st) return false;
    if (!st->pending && !FindNextFileA(st->search.get(), &st->data)) return false;
    st->pending = false;
    entry.name = ByteString(st->data.cFileName);
    entry.isDirectory = (st->data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return true;
}

void DirLister::close() {
    delete static_cast<FindState*>(state_);
    state_ = nullptr;
}

}  // namespace hux::platform
