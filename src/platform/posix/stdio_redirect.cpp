// Standard stream redirection on Linux: descriptors 1 and 2 are made copies of
// the target's descriptor with dup2, which moves the C runtime's streams, the
// Java runtime and every child process along with them.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <string>

#include "platform/posix/pipes.h"
#include "platform/redirect.h"
#include "platform/shared/std_streams.h"

extern char** environ;

namespace hux::platform {

namespace {

// Moves `fd` above the standard descriptors (a process started with one of
// them closed would otherwise get it back from open or pipe, and the later
// dup2 onto it would be a no-op). Keeps close-on-exec.
int aboveStandard(int fd) {
    if (fd < 0 || fd > 2) return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    return moved;
}

int dup2Retrying(int from, int to) {
    int rc;
    do {
        rc = dup2(from, to);
    } while (rc < 0 && errno == EINTR);
    return rc;
}

}  // namespace

Status OutputTarget::openFile(const char* path) {
    close();
    if (!path || !path[0]) return errorStatus("cannot open ''", ENOENT);
    int fd;
    do {
        fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    fd = aboveStandard(fd);
    if (fd < 0) return lastErrorStatus(describe("cannot open", path));
    handle_ = fd;
    unbuffered_ = true;
    return {};
}

Status OutputTarget::startCommand(const char* commandLine) {
    close();
    if (!commandLine) return errorStatus("cannot start no command", EINVAL);
    const std::string what = describe("cannot start", commandLine);
    int ends[2];
    if (!posix::closeOnExecPipe(ends)) return lastErrorStatus(what);
    const int readEnd = aboveStandard(ends[0]);
    const int writeEnd = aboveStandard(ends[1]);
    if (readEnd < 0 || writeEnd < 0) {
        Status failed = lastErrorStatus(what);
        if (readEnd >= 0) ::close(readEnd);
        if (writeEnd >= 0) ::close(writeEnd);
        return failed;
    }
    // A command that ends early must not kill the launcher with SIGPIPE on
    // its next write; the write fails instead, as it would on Windows. The
    // virtual machine installs its own handler for it later. The command
    // itself starts with the default action.
    struct sigaction current {};
    if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) signal(SIGPIPE, SIG_IGN);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, readEnd, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults, none;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &none);
    // A process group of its own: an interrupt typed at the terminal ends the
    // launcher (which then closes the pipe) but not the command still reading
    // the last output.
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
    char shell[] = "/bin/sh";
    char dashC[] = "-c";
    char* argv[] = {shell, dashC, const_cast<char*>(commandLine), nullptr};
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, shell, &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(readEnd);
    if (rc != 0) {
        ::close(writeEnd);
        return errorStatus(what, rc);
    }
    handle_ = writeEnd;
    unbuffered_ = false;
    return {};
}

void OutputTarget::close() {
    if (handle_ != kNoStreamHandle) ::close(static_cast<int>(handle_));
    handle_ = kNoStreamHandle;
    descriptor_ = -1;
    unbuffered_ = false;
}

Status pointStdStream(StdStream which, const OutputTarget& target, SavedStream& saved) {
    if (!target.isOpen()) return errorStatus("cannot point a standard stream at a target that is not open", EBADF);
    const int fd = streamDescriptor(which);
    FILE* stream = runtimeStream(which);
    std::fflush(stream);
    // A private copy of what the descriptor refers to now (-1 when it was
    // closed at start), to put back at the end.
    const int previous = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (dup2Retrying(static_cast<int>(target.handle()), fd) < 0) {
        Status failed = lastErrorStatus("cannot point a standard stream elsewhere");
        if (previous >= 0) close(previous);
        return failed;
    }
    if (target.unbuffered()) std::setvbuf(stream, nullptr, _IONBF, 0);
    saved.handle = previous;
    saved.active = true;
    return {};
}

bool stdStreamIs(StdStream which, const OutputTarget& target) {
    struct stat a {
    }, b{};
    if (!target.isOpen()) return false;
    if (fstat(streamDescriptor(which), &a) != 0 || fstat(static_cast<int>(target.handle()), &b) != 0) return false;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

void restoreStdStream(StdStream which, SavedStream& saved) {
    if (!saved.active) return;
    const int fd = streamDescriptor(which);
    std::fflush(runtimeStream(which));
    if (saved.handle >= 0) {
        dup2Retrying(static_cast<int>(saved.handle), fd);
        close(static_cast<int>(saved.handle));
    } else {
        close(fd);
    }
    saved = SavedStream{};
}

void writeToHandle(intptr_t handle, const void* data, size_t count) {
    // 0 is the "no handle" value of a fresh Java stream object; targets are
    // never below 3.
    if (handle <= 0 || handle > INT_MAX) return;
    const auto* p = static_cast<const char*>(data);
    while (count > 0) {
        const ssize_t n = write(static_cast<int>(handle), p, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        count -= static_cast<size_t>(n);
    }
}

}  // namespace hux::platform
