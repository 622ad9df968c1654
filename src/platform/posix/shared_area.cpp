// Shared areas on POSIX systems: files in the user's private object
// directory, mapped MAP_SHARED.
//
// A shared area is one file: every process that uses it holds a shared flock
// on it. A process that can take the lock exclusively knows no one else uses
// the file, so it zeroes it (a fresh area reads zero even after a crash left
// the file behind) and, when leaving, removes it. A lock is only trusted
// once the path still names the locked file, so a file removed by a leaver
// between someone's open and lock is never used by that someone.
//
// An area file never shrinks once it has its size: a process that has let go
// of the file may keep it mapped until it ends, and touching a shared mapping
// past the end of its file faults. So a fresh area is zeroed through the
// mapping, not by truncating the file.
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/posix/names.h"
#include "platform/process.h"
#include "platform/shared_area.h"

namespace hux::platform {

using posix::debugNote;
using posix::holdObject;
using posix::kOpenAttempts;
using posix::letGoOfObject;
using posix::lockFile;
using posix::objectPath;
using posix::openOwnObject;
using posix::stillLinked;

SharedArea::~SharedArea() { close(); }

namespace {

// The failure of the call that just failed on `fd`, which is closed.
Status failedOn(int fd, const std::string& path) {
    Status failed = lastErrorStatus(describe("cannot open the shared area", path));
    ::close(fd);
    return failed;
}

Status openSharedObject(const std::string& name, size_t size, void*& data, intptr_t& lock) {
    const std::string path = objectPath(name);
    if (path.empty()) return Status::failure("cannot open the shared area: no private directory for named objects");
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        const int fd = openOwnObject(path);
        if (fd < 0) return lastErrorStatus(describe("cannot open the shared area", path));
        const bool fresh = flock(fd, LOCK_EX | LOCK_NB) == 0;
        if (!fresh && !lockFile(fd, LOCK_SH)) return failedOn(fd, path);
        if (!stillLinked(fd, path)) {
            ::close(fd);
            continue;
        }
        struct stat st {};
        if (fstat(fd, &st) != 0) return failedOn(fd, path);
        // A file of another size is some other object (only one just created
        // is still empty).
        if (static_cast<size_t>(st.st_size) != size && !(fresh && st.st_size == 0)) {
            debugNote("named objects: %s has %lld bytes, not %zu: not used", path.c_str(),
                      static_cast<long long>(st.st_size), size);
            ::close(fd);
            return Status::failure(describe("cannot open the shared area", path) + ": it has another size");
        }
        if (st.st_size == 0 && ftruncate(fd, static_cast<off_t>(size)) != 0) return failedOn(fd, path);
        void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p == MAP_FAILED) return failedOn(fd, path);
        // No one else uses it: whatever is in it is left over; start from zero.
        if (fresh) {
            std::memset(p, 0, size);
            lockFile(fd, LOCK_SH);
        }
        data = p;
        lock = fd;
        holdObject(fd, path, false);
        return {};
    }
    return Status::failure(describe("cannot open the shared area", path) + ": it was replaced while being opened");
}

}  // namespace

Status SharedArea::openNamed(const char* name, size_t size) {
    close();
    if (Status opened = openSharedObject(std::string(name), size, data_, lock_); !opened) return opened;
    size_ = size;
    handle_ = lock_;
    named_ = true;
    return {};
}

Status SharedArea::openExecutableArea() {
    close();
    const ByteString exe = moduleFileName().value();
    char name[64];
    std::snprintf(name, sizeof name, "exe.%016llx.hux.area",
                  static_cast<unsigned long long>(posix::fnv1a64(exe.view())));
    if (Status opened = openSharedObject(name, kExecutableAreaSize, data_, lock_); !opened) return opened;
    size_ = kExecutableAreaSize;
    handle_ = lock_;
    named_ = false;
    return {};
}

void SharedArea::close() {
    if (data_) munmap(data_, size_);
    withdraw();
}

void SharedArea::withdraw() {
    if (lock_ != -1) letGoOfObject(static_cast<int>(lock_));
    data_ = nullptr;
    size_ = 0;
    handle_ = -1;
    lock_ = -1;
    named_ = false;
}

}  // namespace hux::platform
