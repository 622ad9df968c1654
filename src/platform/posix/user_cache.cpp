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
#include "platform/posix/write_all.h"
#include "platform/trust.h"

namespace hux::platform {

namespace {

bool isOwnPrivate(const struct stat& st) {
    return S_ISREG(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 022) == 0;
}

bool ensureDirectory(const ByteString& path) {
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
    return isOwnPrivateDirectory(path.c_str());
}

}  // namespace

ByteString userCacheDirectory() {
    ByteString base;
    if (!getEnv("XDG_CACHE_HOME", base) || base.empty() || base[0] != '/') {
        struct passwd* pw = getpwuid(geteuid());
        if (!pw || !pw->pw_dir || pw->pw_dir[0] != '/') return {};
        base.assign(pw->pw_dir);
        if (base.back() != '/') base.push('/');
        base.append(".cache");
    }
    while (base.length() > 1 && base.back() == '/') base.resize(base.length() - 1);
    if (!ensureDirectory(base)) return {};
    base.append("/hux");
    if (!ensureDirectory(base)) return {};
    // Runtimes unpacked here are loaded by name: no other user may change any
    // directory above, or they could swap in a tree of their own.
    if (!distrustReason(base.c_str(), base.c_str()).empty()) return {};
    base.push('/');
    return base;
}

bool fileIdentity(const char* path, int64_t& size, int64_t& modified) {
    struct stat st {};
    if (!path || stat(path, &st) != 0) return false;
    size = static_cast<int64_t>(st.st_size);
    modified = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    return true;
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

bool replaceFile(const char* from, const char* to) { return std::rename(from, to) == 0; }

void removeFile(const char* path) { unlink(path); }

bool writeNewPrivateFile(const char* path, const void* bytes, size_t count) {
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return false;
    const bool written = posix::writeAll(fd, bytes, count);
    if (close(fd) == 0 && written) return true;
    unlink(path);
    return false;
}

int64_t freeBytes(const char* directory) {
    struct statvfs st {};
    if (statvfs(directory, &st) != 0) return -1;
    return static_cast<int64_t>(st.f_bavail) * static_cast<int64_t>(st.f_frsize);
}

// The holder keeps an exclusive lock on the marker for as long as it lives,
// and the system lets go of it when the process ends, however it ends. An
// empty marker is one being made: its lock may not be taken yet.
bool LiveMarker::hold(const char* path) {
    if (handle_ != -1) return true;
    const int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0) return false;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !isOwnPrivate(st) || flock(fd, LOCK_EX | LOCK_NB) != 0 || ftruncate(fd, 0) != 0 ||
        !posix::writeAll(fd, "1", 1)) {
        close(fd);
        return false;
    }
    handle_ = fd;
    path_ = ByteString(path);
    return true;
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

ByteString linkInUserCache(const ByteString& target, const ByteString& name) {
    const ByteString directory = userCacheDirectory();
    if (directory.empty() || name.view().find('/') != std::string_view::npos) return {};
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
    if (symlink(target.c_str(), fresh.c_str()) != 0) return {};
    if (std::rename(fresh.c_str(), link.c_str()) != 0) {
        unlink(fresh.c_str());
        return {};
    }
    removeDeadLinks(directory);
    return link;
}

}  // namespace hux::platform
