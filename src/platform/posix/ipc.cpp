// Single-instance lock and shared areas on Linux: files in the user's private
// object directory, locked with flock and mapped MAP_SHARED.
//
// A shared area is one file: every process that uses it holds a shared flock
// on it. A process that can take the lock exclusively knows no one else uses
// the file, so it zeroes it (a fresh area reads zero even after a crash left
// the file behind) and, when leaving, removes it. A lock is only trusted
// once the path still names the locked file, so a file removed by a leaver
// between someone's open and lock is never used by that someone.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/names.h"

namespace hux::platform {

using posix::debugNote;
using posix::encodeObjectName;
using posix::objectDirectory;
using posix::openOwnObject;
using posix::stillLinked;

namespace {

int64_t monotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string objectPath(const std::string& name) {
    const std::string dir = objectDirectory();
    if (dir.empty()) return {};
    return dir + "/" + encodeObjectName(name);
}

bool lockFile(int fd, int operation) {
    while (flock(fd, operation) != 0)
        if (errno != EINTR) return false;
    return true;
}

// Removes the file when this process is the last one holding it. An owner of
// the exclusive lock removes it outright; a sharer first tries to take the
// lock exclusively (which fails while anyone else still shares it).
void removeIfLast(int fd, const std::string& path, bool owner) {
    if ((owner || flock(fd, LOCK_EX | LOCK_NB) == 0) && stillLinked(fd, path)) unlink(path.c_str());
}

// The objects this process holds, removed at exit when it is the last holder
// (a process that ends through exit() never runs the main flow's own
// teardown). Mappings are left alone there: other threads may still use them.
struct HeldObject {
    int fd;
    std::string path;
    bool owner;
};

std::mutex& heldLock() {
    static std::mutex m;
    return m;
}
std::vector<HeldObject>& held() {
    static auto* list = new std::vector<HeldObject>;  // outlives every static destructor
    return *list;
}

void removeHeldAtExit() {
    std::lock_guard<std::mutex> guard(heldLock());
    for (const HeldObject& o : held()) removeIfLast(o.fd, o.path, o.owner);
    held().clear();
}

void hold(int fd, const std::string& path, bool owner) {
    static std::once_flag once;
    std::call_once(once, [] { std::atexit(removeHeldAtExit); });
    std::lock_guard<std::mutex> guard(heldLock());
    held().push_back({fd, path, owner});
}

// Lets go of the held object on `fd`: removes it when this process is its
// last holder (unless the exit handler has dealt with it already), then closes.
void letGo(int fd) {
    HeldObject object{-1, {}, false};
    {
        std::lock_guard<std::mutex> guard(heldLock());
        for (auto it = held().begin(); it != held().end(); ++it) {
            if (it->fd == fd) {
                object = *it;
                held().erase(it);
                break;
            }
        }
    }
    if (object.fd >= 0) removeIfLast(object.fd, object.path, object.owner);
    ::close(fd);
}

constexpr int kOpenAttempts = 20;

}  // namespace

NamedMutex::~NamedMutex() {
    // The lock is held until the process ends, as an owned mutex is; the
    // owner removes the file when it goes.
    if (handle_ < 0) return;
    letGo(static_cast<int>(handle_));
    handle_ = -1;
}

NamedMutex::Result NamedMutex::acquire(const char* name, int timeoutMs, int& error) {
    const std::string path = objectPath(name);
    if (path.empty()) {
        error = EACCES;
        return Result::CreateFailed;
    }
    const int64_t deadline = monotonicMs() + timeoutMs;
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        const int fd = openOwnObject(path);
        if (fd < 0) {
            error = errno;
            return Result::CreateFailed;
        }
        for (;;) {
            if (flock(fd, LOCK_EX | LOCK_NB) == 0) break;
            if (errno != EWOULDBLOCK && errno != EINTR) {
                error = errno;
                ::close(fd);
                return Result::CreateFailed;
            }
            if (monotonicMs() >= deadline) {
                ::close(fd);
                return Result::TimedOut;
            }
            sleepMs(5);
        }
        // The previous owner may have removed the file after this open: the
        // lock on a removed file guards nothing.
        if (!stillLinked(fd, path)) {
            ::close(fd);
            continue;
        }
        handle_ = fd;
        hold(fd, path, true);
        return Result::Owned;
    }
    error = EAGAIN;
    return Result::CreateFailed;
}

SharedArea::~SharedArea() { close(); }

namespace {

bool openSharedObject(const std::string& name, size_t size, void*& data, intptr_t& lock) {
    const std::string path = objectPath(name);
    if (path.empty()) return false;
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        const int fd = openOwnObject(path);
        if (fd < 0) return false;
        const bool fresh = flock(fd, LOCK_EX | LOCK_NB) == 0;
        if (!fresh && !lockFile(fd, LOCK_SH)) {
            ::close(fd);
            return false;
        }
        if (!stillLinked(fd, path)) {
            ::close(fd);
            continue;
        }
        struct stat st {};
        if (fstat(fd, &st) != 0) {
            ::close(fd);
            return false;
        }
        // A file of another size is some other object (only one just created
        // is still empty).
        if (static_cast<size_t>(st.st_size) != size && !(fresh && st.st_size == 0)) {
            debugNote("named objects: %s has %lld bytes, not %zu: not used", path.c_str(),
                      static_cast<long long>(st.st_size), size);
            ::close(fd);
            return false;
        }
        // No one else uses it: whatever is in it is left over; start from zero.
        if (fresh && (ftruncate(fd, 0) != 0 || ftruncate(fd, static_cast<off_t>(size)) != 0)) {
            ::close(fd);
            return false;
        }
        void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p == MAP_FAILED) {
            ::close(fd);
            return false;
        }
        if (fresh) lockFile(fd, LOCK_SH);
        data = p;
        lock = fd;
        hold(fd, path, false);
        return true;
    }
    return false;
}

}  // namespace

bool SharedArea::openNamed(const char* name, size_t size) {
    close();
    if (!openSharedObject(std::string(name), size, data_, lock_)) return false;
    size_ = size;
    handle_ = lock_;
    named_ = true;
    return true;
}

bool SharedArea::openExecutableArea() {
    close();
    ByteString exe = moduleFileName();
    char name[64];
    std::snprintf(name, sizeof name, "exe.%016llx.hux.area",
                  static_cast<unsigned long long>(posix::fnv1a64(exe.view())));
    if (!openSharedObject(name, kExecutableAreaSize, data_, lock_)) return false;
    size_ = kExecutableAreaSize;
    handle_ = lock_;
    named_ = false;
    return true;
}

void SharedArea::close() {
    if (data_) munmap(data_, size_);
    if (lock_ != -1) letGo(static_cast<int>(lock_));
    data_ = nullptr;
    size_ = 0;
    handle_ = -1;
    lock_ = -1;
}

}  // namespace hux::platform
