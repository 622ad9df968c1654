// Ownership and permission checks on POSIX systems.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/posix/access_lists.h"
#include "platform/shared/trust_rules.h"
#include "platform/trust.h"

namespace hux::platform {

namespace {

// Whether group `gid` is the running user's own group: the user's primary
// group, named after them, listing no other member. Systems that give every
// user a group of their own (and a umask of 002) make the user's files
// group-writable; those stay usable.
bool isPrivateGroup(gid_t gid) {
    const uid_t uid = geteuid();
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> pwBuffer(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd pw{};
    passwd* pwFound = nullptr;
    if (getpwuid_r(uid, &pw, pwBuffer.data(), pwBuffer.size(), &pwFound) != 0 || !pwFound) return false;
    if (pw.pw_gid != gid) return false;
    size = sysconf(_SC_GETGR_R_SIZE_MAX);
    std::vector<char> grBuffer(size > 0 ? static_cast<size_t>(size) : 16384);
    group gr{};
    group* grFound = nullptr;
    int rc;
    while ((rc = getgrgid_r(gid, &gr, grBuffer.data(), grBuffer.size(), &grFound)) == ERANGE &&
           grBuffer.size() < (size_t{1} << 22))
        grBuffer.resize(grBuffer.size() * 2);
    if (rc != 0 || !grFound || std::strcmp(gr.gr_name, pw.pw_name) != 0) return false;
    for (char** member = gr.gr_mem; member && *member; ++member)
        if (std::strcmp(*member, pw.pw_name) != 0) return false;
    return true;
}

ByteString checkComponent(const char* path) {
    struct stat st {};
    if (lstat(path, &st) != 0) return ByteString(errno == ENOENT ? "missing" : "not examinable");
    const uid_t user = geteuid();
    if (S_ISLNK(st.st_mode)) {
        // Whoever owns the link chooses what it points to.
        if (st.st_uid != user && st.st_uid != 0) {
            ByteString reason("a link owned by uid ");
            reason.append(std::to_string(st.st_uid));
            return reason;
        }
        if (stat(path, &st) != 0) return ByteString("a link to nothing");
    }
    trust::PosixFacts facts;
    facts.owner = st.st_uid;
    facts.mode = st.st_mode;
    facts.privateGroup =
        (st.st_mode & S_IWGRP) && isPrivateGroup(st.st_gid) && !posix::hasExtendedAccessList(path);
    return trust::judgePosix(facts, user);
}

ByteString fullPath(const char* path) {
    std::vector<char> buffer(kPathMax);
    const int32_t n = fullPathName(path, buffer.data(), kPathMax);
    if (n <= 0 || n >= kPathMax) return ByteString(path);
    return ByteString(buffer.data(), n);
}

}  // namespace

ByteString distrustReason(const char* path, const char* anchor) {
    return trust::walkDistrust(fullPath(path), fullPath(anchor), checkComponent, false);
}

bool liesWithin(const char* path, const char* directory) {
    return trust::within(fullPath(path), fullPath(directory), false);
}

}  // namespace hux::platform
