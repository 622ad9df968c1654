#include "platform/private_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/user_cache.h"
#include "platform/posix/write_all.h"

namespace hux::platform {

namespace {

// Removes the entries of the directory open as `fd` (which it closes), then
// nothing else: the caller removes the directory itself.
void removeEntries(int fd) {
    DIR* dir = fdopendir(fd);
    if (!dir) {
        close(fd);
        return;
    }
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat st {};
        if (fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            const int child = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (child >= 0) removeEntries(child);
            unlinkat(fd, name.c_str(), AT_REMOVEDIR);
        } else {
            unlinkat(fd, name.c_str(), 0);
        }
    }
    closedir(dir);
}

}  // namespace

Status makePrivateDirectory(const char* path) {
    if (mkdir(path, 0700) != 0 && errno != EEXIST) return lastErrorStatus(describe("cannot create", path));
    if (!isOwnPrivateDirectory(path))
        return Status::failure(describe("cannot use", path) + ": not a private directory of the user's own");
    return {};
}

NewFile::~NewFile() {
    if (handle_ == -1) return;
    close(static_cast<int>(handle_));
    unlink(path_.c_str());
}

Status NewFile::create(const char* path, bool executable) {
    if (handle_ != -1) return Status::failure(describe("cannot create", path) + ": a file is open already");
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, executable ? 0700 : 0600);
    if (fd < 0) return lastErrorStatus(describe("cannot create", path));
    handle_ = fd;
    path_ = ByteString(path);
    return {};
}

Status NewFile::append(const void* bytes, size_t count) {
    if (handle_ == -1) return Status::failure(describe("cannot write", path_.c_str()) + ": not open");
    errno = 0;
    if (posix::writeAll(static_cast<int>(handle_), bytes, count)) return {};
    // A write that takes nothing sets no error: the disk is full.
    return errorStatus(describe("cannot write", path_.c_str()), errno != 0 ? errno : ENOSPC);
}

Status NewFile::finish() {
    if (handle_ == -1) return Status::failure(describe("cannot write", path_.c_str()) + ": not open");
    const int fd = static_cast<int>(handle_);
    handle_ = -1;
    if (close(fd) == 0) return {};
    const Status failed = lastErrorStatus(describe("cannot write", path_.c_str()));
    unlink(path_.c_str());
    return failed;
}

Result<int64_t> plainFileSize(const char* path) {
    struct stat st {};
    if (lstat(path, &st) != 0) return lastErrorStatus(describe("cannot examine", path));
    if (!S_ISREG(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 022) != 0)
        return Status::failure(describe("cannot use", path) + ": not a plain file of the user's own");
    return static_cast<int64_t>(st.st_size);
}

Status renameDirectory(const char* from, const char* to) {
    struct stat st {};
    // rename() would replace an empty directory; a file there is never replaced.
    if (lstat(to, &st) == 0 && !S_ISDIR(st.st_mode)) return errorStatus(describe("cannot rename to", to), EEXIST);
    if (std::rename(from, to) != 0) return lastErrorStatus(describe("cannot rename", from) + " to '" + to + "'");
    return {};
}

void removeTree(const char* path) {
    struct stat st {};
    if (lstat(path, &st) != 0) return;
    if (!S_ISDIR(st.st_mode)) {
        unlink(path);
        return;
    }
    const int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) removeEntries(fd);
    rmdir(path);
}

void touchFile(const char* path) { utimensat(AT_FDCWD, path, nullptr, AT_SYMLINK_NOFOLLOW); }

Result<int64_t> fileSeconds(const char* path) {
    struct stat st {};
    if (lstat(path, &st) != 0) return lastErrorStatus(describe("cannot examine", path));
    if (!S_ISREG(st.st_mode)) return Status::failure(describe("cannot use", path) + ": not a plain file");
    return static_cast<int64_t>(st.st_mtim.tv_sec);
}

Status setFileSeconds(const char* path, int64_t seconds) {
    struct timespec times[2] = {};
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(seconds);
    if (utimensat(AT_FDCWD, path, times, AT_SYMLINK_NOFOLLOW) != 0)
        return lastErrorStatus(describe("cannot set the time of", path));
    return {};
}

}  // namespace hux::platform
