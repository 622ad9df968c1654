// The per-user cache on Windows: %LOCALAPPDATA%\hux when that is an absolute
// path, else <the user's local application data folder>\hux.
//
// What "the user's own" means here: the owner is the user (or the token's
// default owner, the Administrators group for an elevated user) and the access
// list lets nobody but the user, that owner, SYSTEM and the Administrators
// change it. A reparse point (link or junction) is never used.
#include <aclapi.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "platform/user_cache.h"
#include "platform/win32/windows_support.h"

namespace hux::platform {

namespace {

// A buffer of token information, sized by the first call.
bool tokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS what, std::vector<unsigned char>& out) {
    DWORD size = 0;
    GetTokenInformation(token, what, nullptr, 0, &size);
    if (size == 0) return false;
    out.resize(size);
    return GetTokenInformation(token, what, out.data(), size, &size) != 0;
}

// The SIDs that may own and write the user's private files.
class TrustedSids {
public:
    TrustedSids() {
        win32::ScopedHandle token;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.receive())) return;
        if (!tokenInformation(token.get(), TokenUser, user_) || !tokenInformation(token.get(), TokenOwner, owner_))
            return;
        DWORD size = sizeof system_;
        DWORD adminSize = sizeof administrators_;
        ok_ = CreateWellKnownSid(WinLocalSystemSid, nullptr, system_, &size) &&
              CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators_, &adminSize);
    }
    bool ok() const { return ok_; }
    PSID user() const { return reinterpret_cast<const TOKEN_USER*>(user_.data())->User.Sid; }
    PSID owner() const { return reinterpret_cast<const TOKEN_OWNER*>(owner_.data())->Owner; }
    bool mayOwn(PSID sid) const { return EqualSid(sid, user()) || EqualSid(sid, owner()); }
    bool mayWrite(PSID sid) const {
        return mayOwn(sid) || EqualSid(sid, const_cast<unsigned char*>(system_)) ||
               EqualSid(sid, const_cast<unsigned char*>(administrators_));
    }

private:
    std::vector<unsigned char> user_, owner_;
    unsigned char system_[SECURITY_MAX_SID_SIZE] = {};
    unsigned char administrators_[SECURITY_MAX_SID_SIZE] = {};
    bool ok_ = false;
};

// Access that changes a file or directory, its entries, its attributes or its
// access list.
constexpr ACCESS_MASK kChangingAccess = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES |
                                        FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                        GENERIC_ALL | MAXIMUM_ALLOWED;

bool isPrivate(const wchar_t* path, bool directory) {
    const DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) != directory)
        return false;
    const TrustedSids trusted;
    if (!trusted.ok()) return false;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                              nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    // A missing access list grants everyone everything.
    bool ok = owner && dacl && trusted.mayOwn(owner);
    for (DWORD i = 0; ok && i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace)) {
            ok = false;
            break;
        }
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        if (header->AceFlags & INHERIT_ONLY_ACE) continue;  // applies to children only
        if (header->AceType == ACCESS_DENIED_ACE_TYPE) continue;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
            ok = false;  // conditional and object grants are not worked out: not private
            break;
        }
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
        PSID sid = const_cast<DWORD*>(&allowed->SidStart);
        if ((allowed->Mask & kChangingAccess) && !trusted.mayWrite(sid)) ok = false;
    }
    LocalFree(descriptor);
    return ok;
}

std::wstring widePath(const char* path) {
    if (!path) return {};
    const int n = MultiByteToWideChar(CP_ACP, 0, path, -1, nullptr, 0);
    if (n <= 0) return {};
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, path, -1, wide.data(), n);
    wide.resize(static_cast<size_t>(n - 1));
    return wide;
}

// The path in the code page the launcher's paths and the runtime's options
// use; empty when a character has no place there.
ByteString narrowPath(const std::wstring& path) {
    BOOL lossy = FALSE;
    const int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, path.c_str(), -1, nullptr, 0, nullptr, &lossy);
    if (n <= 0 || lossy) return {};
    std::vector<char> bytes(static_cast<size_t>(n));
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, path.c_str(), -1, bytes.data(), n, nullptr, &lossy);
    return lossy ? ByteString() : ByteString(bytes.data());
}

bool isAbsolute(const std::wstring& path) {
    return (path.size() >= 3 && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/')) ||
           (path.size() >= 2 && (path[0] == L'\\' || path[0] == L'/') && path[0] == path[1]);
}

// The path in the launcher's text, for a failure's message.
std::string shown(const std::wstring& path) {
    ByteString text;
    win32::narrowExactly(path, text);
    return std::string(text.view());
}

Status ensureDirectory(const std::wstring& path) {
    if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        return lastErrorStatus(describe("cannot create", shown(path)));
    if (!isPrivate(path.c_str(), true))
        return Status::failure(describe("cannot use", shown(path)) + ": not a private directory of the user's own");
    return {};
}

}  // namespace

Result<ByteString> userCacheDirectory() {
    // On the heap: the start thread may run on a small stack.
    std::wstring base;
    const DWORD size = GetEnvironmentVariableW(L"LOCALAPPDATA", nullptr, 0);
    if (size > 1) {
        base.resize(size);
        const DWORD n = GetEnvironmentVariableW(L"LOCALAPPDATA", base.data(), size);
        base.resize(n < size ? n : 0);
    }
    if (!isAbsolute(base)) {
        wchar_t folder[MAX_PATH];
        if (SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder) != S_OK)
            return Status::failure("no cache directory: the user has no local application data folder");
        base.assign(folder);
        if (!isAbsolute(base)) return Status::failure(describe("cannot use", shown(base)) + ": not an absolute path");
    }
    while (base.size() > 3 && (base.back() == L'\\' || base.back() == L'/')) base.pop_back();
    if (Status made = ensureDirectory(base); !made) return made;
    base.append(L"\\hux");
    if (Status made = ensureDirectory(base); !made) return made;
    base.push_back(L'\\');
    ByteString narrow = narrowPath(base);
    if (narrow.empty())
        return Status::failure(describe("cannot use", shown(base)) + ": the ANSI code page cannot spell it");
    return narrow;
}

Status fileIdentity(const char* path, int64_t& size, int64_t& modified) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!path) return errorStatus("cannot examine ''", ERROR_FILE_NOT_FOUND);
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data))
        return lastErrorStatus(describe("cannot examine", path));
    size = (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    // 100 ns units since 1601, as nanoseconds since 1970 like the Linux side.
    const int64_t ticks =
        (static_cast<int64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
    modified = (ticks - 116444736000000000LL) * 100;
    return {};
}

bool isOwnPrivateFile(const char* path) {
    const std::wstring wide = widePath(path);
    return !wide.empty() && isPrivate(wide.c_str(), false);
}

bool isOwnPrivateDirectory(const char* path) {
    const std::wstring wide = widePath(path);
    return !wide.empty() && isPrivate(wide.c_str(), true);
}

Status replaceFile(const char* from, const char* to) {
    if (!MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING))
        return lastErrorStatus(describe("cannot replace", to) + " by '" + from + "'");
    return {};
}

void removeFile(const char* path) { DeleteFileA(path); }

Status writeNewPrivateFile(const char* path, const void* bytes, size_t count) {
    // The file takes the access list of the private directory it is made in.
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return lastErrorStatus(describe("cannot create", path));
    const auto* p = static_cast<const char*>(bytes);
    DWORD code = ERROR_SUCCESS;
    while (code == ERROR_SUCCESS && count > 0) {
        const DWORD chunk = count > 0x10000000 ? 0x10000000 : static_cast<DWORD>(count);
        DWORD n = 0;
        if (!WriteFile(file, p, chunk, &n, nullptr))
            code = GetLastError();
        else if (n != chunk)
            code = ERROR_DISK_FULL;
        p += chunk;
        count -= chunk;
    }
    if (!CloseHandle(file) && code == ERROR_SUCCESS) code = GetLastError();
    if (code == ERROR_SUCCESS) return {};
    DeleteFileA(path);
    return errorStatus(describe("cannot write", path), static_cast<int>(code));
}

int64_t freeBytes(const char* directory) {
    ULARGE_INTEGER available{};
    if (!GetDiskFreeSpaceExA(directory, &available, nullptr, nullptr)) return -1;
    return static_cast<int64_t>(available.QuadPart);
}

// The holder keeps a lock on the marker's first byte for as long as it
// lives, and the system lets go of it when the process ends, however it
// ends. An empty marker is one being made: its lock may not be taken yet.
//
// Locks belong to the handle: another handle, in this process too, cannot
// take the locked byte, which is how isAbandonedMarker tells a held marker.
// The marker is not shared for deletion: a file removed while a handle is
// open stays listed (delete pending) until the handle closes, and keeps its
// directory from being removed; so nobody removes a held marker, and its
// holder disarms and closes it before removing it.
Status LiveMarker::hold(const char* path) {
    if (handle_ != -1) return {};
    const std::string what = describe("cannot hold", path);
    win32::ScopedHandle file(CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                         nullptr));
    if (!file) return lastErrorStatus(what);
    if (!isOwnPrivateFile(path)) return Status::failure(what + ": not a private file of the user's own");
    OVERLAPPED at{};
    DWORD n = 0;
    LARGE_INTEGER zero{};
    if (!LockFileEx(file.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) ||
        !SetFilePointerEx(file.get(), zero, nullptr, FILE_BEGIN) || !SetEndOfFile(file.get()) ||
        !WriteFile(file.get(), "1", 1, &n, nullptr))
        return lastErrorStatus(what);
    if (n != 1) return errorStatus(what, ERROR_DISK_FULL);
    handle_ = win32::handleValue(file.release());
    path_ = ByteString(path);
    return {};
}

void LiveMarker::drop() {
    if (handle_ == -1) return;
    // Emptied while still locked, so that nobody sees it armed without a
    // holder in the moment between closing and removing it.
    HANDLE file = win32::asHandle(handle_);
    LARGE_INTEGER zero{};
    SetFilePointerEx(file, zero, nullptr, FILE_BEGIN);
    SetEndOfFile(file);
    CloseHandle(file);
    handle_ = -1;
    DeleteFileA(path_.c_str());
}

bool isAbandonedMarker(const char* path) {
    if (!isOwnPrivateFile(path)) return false;
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size{};
    OVERLAPPED at{};
    bool abandoned =
        GetFileSizeEx(file, &size) && size.QuadPart > 0 && LockFileEx(file, LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at);
    if (abandoned) UnlockFileEx(file, 0, 1, 0, &at);
    CloseHandle(file);
    return abandoned;
}

// Windows has no file in memory that the virtual machine could open by a
// path: the archive is written to the cache directly.
Status MemoryFile::create() { return errorStatus("cannot create a file in memory", ERROR_NOT_SUPPORTED); }
Status MemoryFile::copyTo(const char* target) const {
    return errorStatus(describe("cannot copy to", target), ERROR_NOT_SUPPORTED);
}
void MemoryFile::close() {}

// Symbolic links need a privilege most users lack; the executable keeps its
// own name there.
Result<ByteString> linkInUserCache(const ByteString&, const ByteString& name) {
    return errorStatus(describe("cannot link", name), ERROR_PRIVILEGE_NOT_HELD);
}

}  // namespace hux::platform
