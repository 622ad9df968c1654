// The per-user cache on Windows: not offered yet (class-data archives are
// created on Linux only), so every cached use falls back to none.
#include "platform/user_cache.h"
#include "platform/win32/windows_support.h"

namespace hux::platform {

ByteString userCacheDirectory() { return {}; }

bool fileIdentity(const char* path, int64_t& size, int64_t& modified) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!path || !GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return false;
    size = (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    modified = (static_cast<int64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
    return true;
}

bool isOwnPrivateFile(const char*) { return false; }

bool replaceFile(const char* from, const char* to) { return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0; }

void removeFile(const char* path) { DeleteFileA(path); }

}  // namespace hux::platform
