// Ownership and access-list checks on Windows.
#include <aclapi.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "common/never_destroyed.h"
#include "platform/files.h"
#include "platform/shared/trust_rules.h"
#include "platform/trust.h"
#include "platform/win32/windows_support.h"

namespace hux::platform {

namespace {

std::string sidText(PSID sid) {
    LPSTR text = nullptr;
    if (!sid || !ConvertSidToStringSidA(sid, &text)) return {};
    std::string result(text);
    LocalFree(text);
    return result;
}

// The account's name for the reason ("BUILTIN\Users"), else its SID.
ByteString accountName(PSID sid, const std::string& text) {
    char name[256];
    char domain[256];
    DWORD nameSize = sizeof name;
    DWORD domainSize = sizeof domain;
    SID_NAME_USE use;
    if (LookupAccountSidA(nullptr, sid, name, &nameSize, domain, &domainSize, &use)) {
        ByteString result;
        if (domain[0]) {
            result.append(domain);
            result.push('\\');
        }
        result.append(name);
        return result;
    }
    return ByteString(std::string_view(text));
}

// The running user's SID as text, asked once.
const std::string& userSid() {
    static NeverDestroyed<std::string> sid([] {
        std::string text;
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return text;
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        std::string buffer(size, '\0');
        if (size && GetTokenInformation(token, TokenUser, buffer.data(), size, &size))
            text = sidText(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
        CloseHandle(token);
        return text;
    }());
    return *sid;
}

ByteString checkComponent(const char* path) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const std::wstring wide = win32::widePath(path);
    const DWORD rc =
        GetNamedSecurityInfoW(wide.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                              &owner, nullptr, &dacl, nullptr, &descriptor);
    if (rc != ERROR_SUCCESS)
        return ByteString(rc == ERROR_FILE_NOT_FOUND || rc == ERROR_PATH_NOT_FOUND ? "missing" : "not examinable");
    trust::AccessFacts facts;
    const std::string ownerText = sidText(owner);
    facts.owner = trust::classifySid(ownerText, userSid());
    if (facts.owner == trust::Principal::Other) facts.ownerName = accountName(owner, ownerText);
    facts.hasDacl = dacl != nullptr;
    for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
        void* raw = nullptr;
        if (!GetAce(dacl, i, &raw)) continue;
        const auto* header = static_cast<const ACE_HEADER*>(raw);
        trust::AccessEntry entry;
        entry.inheritOnly = (header->AceFlags & INHERIT_ONLY_ACE) != 0;
        switch (header->AceType) {
            case ACCESS_ALLOWED_ACE_TYPE:
            case ACCESS_ALLOWED_CALLBACK_ACE_TYPE: {
                // Both lay out the mask and then the SID.
                auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
                PSID sid = &ace->SidStart;
                const std::string text = sidText(sid);
                entry.mask = ace->Mask;
                entry.who = trust::classifySid(text, userSid());
                if (entry.who == trust::Principal::Other) entry.name = accountName(sid, text);
                break;
            }
            case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
            case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
            case ACCESS_ALLOWED_COMPOUND_ACE_TYPE:
                // Rare on files: counted as granting someone else its rights.
                entry.mask = static_cast<ACCESS_ALLOWED_OBJECT_ACE*>(raw)->Mask;
                entry.name = "an object access entry";
                break;
            default: entry.allows = false; break;
        }
        facts.entries.push_back(entry);
    }
    LocalFree(descriptor);
    return trust::judgeAccess(facts);
}

// The normalised path at whatever length it has.
ByteString fullPath(const char* path) {
    std::vector<char> buffer(kPathMax);
    int32_t n = fullPathName(path, buffer.data(), kPathMax);
    if (n >= kPathMax) {
        buffer.resize(static_cast<size_t>(n));
        n = fullPathName(path, buffer.data(), n);
    }
    if (n <= 0 || n >= static_cast<int32_t>(buffer.size())) return ByteString(path);
    return ByteString(buffer.data(), n);
}

}  // namespace

ByteString distrustReason(const char* path, const char* anchor) {
    return trust::walkDistrust(fullPath(path), fullPath(anchor), checkComponent, true);
}

bool liesWithin(const char* path, const char* directory) {
    return trust::within(fullPath(path), fullPath(directory), true);
}

}  // namespace hux::platform
