// Shared areas on Windows: named file mappings backed by the paging file.
//
// The executable's own area is a mapping too, named after the executable's
// full path, in the session's own namespace, and open to the user alone: a
// data section marked shared would be one copy for every process that maps
// the file, whatever its user or session.
#include <aclapi.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/shared_area.h"
#include "platform/win32/windows_support.h"

namespace hux::platform {

namespace {

// A buffer of the process token's information.
bool tokenInformation(TOKEN_INFORMATION_CLASS what, std::vector<unsigned char>& out) {
    win32::ScopedHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.receive())) return false;
    DWORD size = 0;
    GetTokenInformation(token.get(), what, nullptr, 0, &size);
    if (size == 0) return false;
    out.resize(size);
    return GetTokenInformation(token.get(), what, out.data(), size, &size) != 0;
}

// The user of this process, and the owner its new objects get (the
// Administrators group for an elevated user).
struct ProcessUser {
    std::vector<unsigned char> user, owner;
    bool read() { return tokenInformation(TokenUser, user) && tokenInformation(TokenOwner, owner); }
    PSID userSid() { return reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid; }
    PSID ownerSid() { return reinterpret_cast<TOKEN_OWNER*>(owner.data())->Owner; }
};

// The area's name: a hash of the executable's full path (without the long
// path prefix, in upper case, as Windows compares paths), in the session's
// own namespace.
std::wstring executableAreaName() {
    std::wstring path = win32::moduleFileNameWide(nullptr);
    if (path.empty()) return {};
    if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0)
        path = L"\\\\" + path.substr(8);
    else if (path.compare(0, 4, L"\\\\?\\") == 0)
        path = path.substr(4);
    CharUpperBuffW(&path[0], static_cast<DWORD>(path.size()));
    uint64_t h = 1469598103934665603ULL;  // FNV-1a over the UTF-16 units, low byte first
    for (wchar_t c : path) {
        for (int shift = 0; shift < 16; shift += 8) {
            h ^= (static_cast<uint16_t>(c) >> shift) & 0xff;
            h *= 1099511628211ULL;
        }
    }
    wchar_t name[64];
    std::swprintf(name, 64, L"Local\\exe.%016llx.hux.area", static_cast<unsigned long long>(h));
    return name;
}

// Whether the existing mapping `h` belongs to this user (else someone else
// made it under the name first).
bool ownedByUser(HANDLE h, ProcessUser& me) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(h, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &descriptor) != ERROR_SUCCESS)
        return false;
    const bool mine = owner && (EqualSid(owner, me.userSid()) || EqualSid(owner, me.ownerSid()));
    LocalFree(descriptor);
    return mine;
}

}  // namespace

SharedArea::~SharedArea() { close(); }

Status SharedArea::openNamed(const char* name, size_t size) {
    close();
    win32::ScopedHandle mapping(
        CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, static_cast<DWORD>(size), name));
    if (!mapping) return lastErrorStatus(describe("cannot open the shared area", name));
    void* p = MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, size);
    if (!p) return lastErrorStatus(describe("cannot map the shared area", name));
    handle_ = win32::handleValue(mapping.release());
    data_ = p;
    size_ = size;
    named_ = true;
    return {};
}

Status SharedArea::openExecutableArea() {
    close();
    const char* what = "cannot open the executable's shared area";
    const std::wstring name = executableAreaName();
    if (name.empty()) return Status::failure(std::string(what) + ": the executable's path cannot be read");
    ProcessUser me;
    if (!me.read()) return lastErrorStatus(what);
    // Only the user may open it: one entry granting the user everything.
    const DWORD aclSize = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(me.userSid());
    std::vector<unsigned char> aclBuffer(aclSize);
    auto* acl = reinterpret_cast<ACL*>(aclBuffer.data());
    SECURITY_DESCRIPTOR descriptor;
    if (!InitializeAcl(acl, aclSize, ACL_REVISION) ||
        !AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, me.userSid()) ||
        !InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE))
        return lastErrorStatus(what);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
    win32::ScopedHandle mapping(CreateFileMappingW(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE, 0,
                                                   static_cast<DWORD>(kExecutableAreaSize), name.c_str()));
    if (!mapping) return lastErrorStatus(what);
    if (GetLastError() == ERROR_ALREADY_EXISTS && !ownedByUser(mapping.get(), me))
        return Status::failure(std::string(what) + ": another user owns it");
    void* p = MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, kExecutableAreaSize);
    if (!p) return lastErrorStatus(what);
    handle_ = win32::handleValue(mapping.release());
    data_ = p;
    size_ = kExecutableAreaSize;
    named_ = true;
    return {};
}

void SharedArea::close() {
    if (named_ && data_) UnmapViewOfFile(data_);
    withdraw();
}

// The view keeps the mapping object, and with it its name, alive until the
// process ends; only the handle goes now.
void SharedArea::withdraw() {
    if (named_ && handle_ != -1) CloseHandle(win32::asHandle(handle_));
    data_ = nullptr;
    size_ = 0;
    handle_ = -1;
    named_ = false;
}

}  // namespace hux::platform
