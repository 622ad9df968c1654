// Single-instance lock and shared memory on Linux: lock files under the user's
// runtime directory and POSIX shared-memory objects.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/posix/names.h"

namespace hux::platform {

using posix::encodeObjectName;
using posix::runtimeDirectory;

namespace {
int64_t monotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int openLockFile(const std::string& name) {
    std::string dir = runtimeDirectory();
    if (dir.empty()) {
        errno = EACCES;
        return -1;
    }
    std::string path = dir + "/" + encodeObjectName(name);
    return ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
}
}  // namespace

NamedMutex::~NamedMutex() {
    // The lock stays held until the process ends, as an owned mutex does.
}

NamedMutex::Result NamedMutex::acquire(const char* name, int timeoutMs, int& error) {
    int fd = openLockFile(name);
    if (fd < 0) {
        error = errno;
        return Result::CreateFailed;
    }
    handle_ = fd;
    const int64_t deadline = monotonicMs() + timeoutMs;
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) return Result::Owned;
        if (errno != EWOULDBLOCK && errno != EINTR) {
            error = errno;
            return Result::CreateFailed;
        }
        if (monotonicMs() >= deadline) return Result::TimedOut;
        sleepMs(5);
    }
}

SharedArea::~SharedArea() { close(); }

namespace {
std::string sharedObjectName(const std::string& name) {
    return "/hux." + std::to_string(static_cast<unsigned long>(geteuid())) + "." + encodeObjectName(name);
}
}  // namespace

// Every sharer holds a shared lock on a companion lock file. A process that can
// take the lock exclusively knows nobody else uses the object and zeroes it, so
// a fresh area always reads zero even though the object outlives its users.
static bool openSharedObject(const std::string& name, size_t size, void*& data, intptr_t& handle,
                             intptr_t& lock) {
    const std::string objectName = sharedObjectName(name);
    int lockFd = openLockFile(objectName.substr(1) + ".lock");
    if (lockFd < 0) return false;
    bool fresh = flock(lockFd, LOCK_EX | LOCK_NB) == 0;
    if (!fresh) {
        while (flock(lockFd, LOCK_SH) != 0) {
            if (errno != EINTR) {
                ::close(lockFd);
                return false;
            }
        }
    }
    int fd = shm_open(objectName.c_str(), O_RDWR | O_CREAT, 0600);
    if (fd < 0) {
        ::close(lockFd);
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || (static_cast<size_t>(st.st_size) < size && ftruncate(fd, static_cast<off_t>(size)) != 0)) {
        ::close(fd);
        ::close(lockFd);
        return false;
    }
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (p == MAP_FAILED) {
        ::close(lockFd);
        return false;
    }
    if (fresh) {
        std::memset(p, 0, size);
        flock(lockFd, LOCK_SH);
    }
    data = p;
    handle = 1;
    lock = lockFd;
    return true;
}

bool SharedArea::openNamed(const char* name, size_t size) {
    close();
    if (!openSharedObject(name, size, data_, handle_, lock_)) return false;
    size_ = size;
    named_ = true;
    return true;
}

bool SharedArea::openExecutableArea() {
    close();
    ByteString exe = moduleFileName();
    char name[64];
    std::snprintf(name, sizeof name, "exe.%016llx",
                  static_cast<unsigned long long>(posix::fnv1a64(exe.view())));
    if (!openSharedObject(name, kExecutableAreaSize, data_, handle_, lock_)) return false;
    size_ = kExecutableAreaSize;
    named_ = false;
    return true;
}

void SharedArea::close() {
    if (data_) munmap(data_, size_);
    if (lock_ != -1) ::close(static_cast<int>(lock_));
    data_ = nullptr;
    size_ = 0;
    handle_ = -1;
    lock_ = -1;
}

}  // namespace hux::platform
