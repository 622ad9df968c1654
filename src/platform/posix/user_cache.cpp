// The per-user cache on Linux: $XDG_CACHE_HOME/hux when that is an absolute
// path, else <home from the password database>/.cache/hux, used only when
// every directory from "/" down to it passes the trust walk.
#include "platform/user_cache.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/environment.h"
#include "platform/private_tree.h"
#include "platform/posix/write_all.h"
#include "platform/trust.h"

namespace hux::platform {

namespace {

bool isOwnPrivate(const struct stat& st) {
    return S_ISREG(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 022) == 0;
}

Status ensureDirectory(const ByteString& path) {
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return lastErrorStatus(describe("cannot create", path));
    if (!isOwnPrivateDirectory(path.c_str()))
        return Status::failure(describe("cannot use", path) + ": not a private directory of the user's own");
    return {};
}

}  // namespace

Result<ByteString> userCacheDirectory() {
    ByteString base;
    if (!getEnv("XDG_CACHE_HOME", base) || base.empty() || base[0] != '/') {
        struct passwd* pw = getpwuid(geteuid());
        if (!pw || !pw->pw_dir || pw->pw_dir[0] != '/')
            return Status::failure("no cache directory: the user has no home directory");
        base.assign(pw->pw_dir);
        if (base.back() != '/') base.push('/');
        base.append(".cache");
    }
    while (base.length() > 1 && base.back() == '/') base.resize(base.length() - 1);
    if (Status made = ensureDirectory(base); !made) return made;
    base.append("/hux");
    if (Status made = ensureDirectory(base); !made) return made;
    // Runtimes unpacked here are loaded by name: no other user may change any
    // directory above, or they could swap in a tree of their own.
    const ByteString distrust = distrustReason(base.c_str(), base.c_str());
    if (!distrust.empty()) return Status::failure(describe("cannot use", base) + ": " + distrust.c_str());
    base.push('/');
    return base;
}

Status fileIdentity(const char* path, int64_t& size, int64_t& modified) {
    struct stat st {};
    if (!path) return errorStatus("cannot examine ''", ENOENT);
    if (stat(path, &st) != 0) return lastErrorStatus(describe("cannot examine", path));
    size = static_cast<int64_t>(st.st_size);
    modified = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    return {};
}

bool isOwnPrivateFile(const char* path) {
    struct stat st {};
    return path && lstat(path, &st) == 0 && isOwnPrivate(st);
}

// A directory of the user's own that only the user may write, never a link.
bool isOwnPrivateDirectory(const char* path) {
    struct stat st {};
    return path && lstat(path, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 022) == 0;
}

Status replaceFile(const char* from, const char* to) {
    if (std::rename(from, to) != 0) return lastErrorStatus(describe("cannot replace", to) + " by '" + from + "'");
    return {};
}

void removeFile(const char* path) { unlink(path); }

Status writeNewPrivateFile(const char* path, const void* bytes, size_t count) {
    return writeNewFile(path, bytes, count, false);
}

int64_t freeBytes(const char* directory) {
    struct statvfs st {};
    if (statvfs(directory, &st) != 0) return -1;
    return static_cast<int64_t>(st.f_bavail) * static_cast<int64_t>(st.f_frsize);
}

// The holder keeps an exclusive lock on the marker for as long as it lives,
// and the system lets go of it when the process ends, however it ends. An
// empty marker is one being made: its lock may not be taken yet.
Status LiveMarker::hold(const char* path) {
    if (handle_ != -1) return {};
    const int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0) return lastErrorStatus(describe("cannot hold", path));
    struct stat st {};
    Status failed;
    if (fstat(fd, &st) != 0 || flock(fd, LOCK_EX | LOCK_NB) != 0 || ftruncate(fd, 0) != 0)
        failed = lastErrorStatus(describe("cannot hold", path));
    else if (!isOwnPrivate(st))
        failed = Status::failure(describe("cannot hold", path) + ": not a private file of the user's own");
    else if (!posix::writeAll(fd, "1", 1))
        failed = errorStatus(describe("cannot hold", path), errno != 0 ? errno : ENOSPC);
    if (!failed) {
        close(fd);
        return failed;
    }
    handle_ = fd;
    path_ = ByteString(path);
    return {};
}

void LiveMarker::drop() {
    if (handle_ == -1) return;
    // Removed while still locked: nobody sees it armed without a holder.
    unlink(path_.c_str());
    close(static_cast<int>(handle_));
    handle_ = -1;
}

bool isAbandonedMarker(const char* path) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st {};
    const bool abandoned =
        fstat(fd, &st) == 0 && isOwnPrivate(st) && st.st_size > 0 && flock(fd, LOCK_SH | LOCK_NB) == 0;
    close(fd);
    return abandoned;
}

namespace {

// Links of executables that are gone, looked for whenever a link is made, so
// that the cache does not fill with them.
void removeDeadLinks(const ByteString& directory) {
    DIR* listing = opendir(directory.c_str());
    if (!listing) return;
    while (const struct dirent* entry = readdir(listing)) {
        const std::string_view name(entry->d_name);
        if (name.size() < 4 || name.substr(name.size() - 4) != ".jar") continue;
        ByteString path = directory;
        path.append(name);
        struct stat st {};
        if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && stat(path.c_str(), &st) != 0 && errno == ENOENT)
            unlink(path.c_str());
    }
    closedir(listing);
}

}  // namespace

Result<ByteString> linkInUserCache(const ByteString& target, const ByteString& name) {
    if (name.view().find('/') != std::string_view::npos)
        return Status::failure(describe("cannot link", name) + ": not a plain name");
    const Result<ByteString> cache = userCacheDirectory();
    if (!cache) return cache.status();
    const ByteString& directory = cache.value();
    ByteString link = directory;
    link.append(name);
    char held[4096];
    const ssize_t length = readlink(link.c_str(), held, sizeof held);
    if (length >= 0 && std::string_view(held, static_cast<size_t>(length)) == target.view()) return link;
    // Made under a name of this process's, then put in place in one step.
    ByteString fresh = link;
    fresh.append(".new-");
    fresh.append(std::to_string(getpid()));
    unlink(fresh.c_str());
    if (symlink(target.c_str(), fresh.c_str()) != 0) return lastErrorStatus(describe("cannot link", fresh));
    if (std::rename(fresh.c_str(), link.c_str()) != 0) {
        Status failed = lastErrorStatus(describe("cannot link", link));
        unlink(fresh.c_str());
        return failed;
    }
    removeDeadLinks(directory);
    return link;
}

}  // namespace hux::platform
