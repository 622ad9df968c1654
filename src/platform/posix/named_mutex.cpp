// The single-instance lock on POSIX systems: an exclusive flock on a file in
// the user's private object directory, tried until the timeout passes. The
// kernel releases it when the owner dies; the owner removes the file when it
// leaves.
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/named_mutex.h"
#include "platform/posix/names.h"
#include "platform/threads.h"

namespace hux::platform {

using posix::holdObject;
using posix::kOpenAttempts;
using posix::letGoOfObject;
using posix::objectPath;
using posix::openOwnObject;
using posix::stillLinked;

NamedMutex::~NamedMutex() {
    // The lock is held until the process ends, as an owned mutex is; the
    // owner removes the file when it goes.
    if (handle_ < 0) return;
    letGoOfObject(static_cast<int>(handle_));
    handle_ = -1;
}

Result<NamedMutex::Outcome> NamedMutex::acquire(const char* name, int timeoutMs) {
    const std::string path = objectPath(name);
    // No private object directory at all: another user may have taken the
    // last-resort one. That user must not be able to keep this launch from
    // running, so it goes on without the lock.
    if (path.empty()) {
        posix::debugNote("named objects: no private place for the single-instance lock %s: running without it", name);
        return Outcome::Unguarded;
    }
    const int64_t deadline = steadyMs() + timeoutMs;
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        const int fd = openOwnObject(path);
        if (fd < 0) return lastErrorStatus(describe("cannot open the lock", path));
        for (;;) {
            if (flock(fd, LOCK_EX | LOCK_NB) == 0) break;
            if (errno != EWOULDBLOCK && errno != EINTR) {
                const Status failed = lastErrorStatus(describe("cannot lock", path));
                ::close(fd);
                return failed;
            }
            if (steadyMs() >= deadline) {
                ::close(fd);
                return Outcome::TimedOut;
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
        holdObject(fd, path, true);
        return Outcome::Owned;
    }
    return Status::failure(describe("cannot lock", path) + ": removed each time it was opened", EAGAIN);
}

}  // namespace hux::platform
