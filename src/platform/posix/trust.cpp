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

trust::PosixEntry lookUp(const char* path) {
    trust::PosixEntry entry;
    struct stat st {};
    if (lstat(path, &st) != 0) {
        entry.failure = ByteString(errno == ENOENT ? "missing" : "not examinable");
        return entry;
    }
    entry.facts.owner = st.st_uid;
    entry.facts.mode = st.st_mode;
    if (S_ISLNK(st.st_mode)) {
        entry.isLink = true;
        std::vector<char> target(kPathMax);
        const ssize_t n = readlink(path, target.data(), target.size());
        if (n <= 0 || n >= static_cast<ssize_t>(target.size())) {
            entry.failure = ByteString("not examinable");
            return entry;
        }
        entry.target = ByteString(target.data(), static_cast<int32_t>(n));
        return entry;
    }
    entry.isDirectory = S_ISDIR(st.st_mode);
    entry.facts.privateGroup =
        (st.st_mode & S_IWGRP) && isPrivateGroup(st.st_gid) && !posix::hasExtendedAccessList(path);
    return entry;
}

// `path` made full against the current directory as it is written: the
// system resolves "a/link/../b" through the link, so the walk must too.
ByteString absolutePath(const char* path) {
    if (path[0] == '/') return ByteString(path);
    std::vector<char> cwd(kPathMax);
    if (!getcwd(cwd.data(), cwd.size())) return ByteString(path);
    ByteString full(cwd.data());
    full.push('/');
    full.append(path);
    return full;
}

ByteString fullPath(const char* path) {
    std::vector<char> buffer(kPathMax);
    const int32_t n = fullPathName(path, buffer.data(), kPathMax);
    if (n <= 0 || n >= kPathMax) return ByteString(path);
    return ByteString(buffer.data(), n);
}

}  // namespace

// Every directory from "/" down is judged, and every link on the way with
// the directories its target runs through: the executable's directory and
// its ancestors too, since whoever may change one of them chooses what the
// path names. Judged from the top, each lookup goes through directories that
// no one else can change any more, so what passed stays what the path names
// when it is opened later.
ByteString distrustReason(const char* path, const char* /*anchor*/) {
    if (!path || !path[0]) return ByteString("missing");
    return trust::walkPosix(absolutePath(path), lookUp, geteuid());
}

bool liesWithin(const char* path, const char* directory) {
    return trust::within(fullPath(path), fullPath(directory), false);
}

}  // namespace hux::platform
