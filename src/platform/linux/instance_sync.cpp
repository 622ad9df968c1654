// Instance synchronisation on Linux: compare-and-set on shared words, a futex on
// the generation word and a pidfd watch on the hub process.
#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/instance_sync.h"
#include "platform/threads.h"

namespace hux::platform {

namespace {

struct SyncState {
    uint32_t ownPid = 0;
    uint32_t hubPid = 0;  // the followed hub, 0 when none
    int pidfd = -1;       // on the followed hub
    int stopPipe[2] = {-1, -1};
    pthread_t watcher{};
    bool watching = false;
};

int futex(int32_t* word, int op, int32_t value, const timespec* timeout = nullptr) {
    return static_cast<int>(syscall(SYS_futex, word, op, value, timeout, nullptr, 0));
}

int openPidfd(uint32_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

struct WatchArgs {
    InstanceSync* sync;
    SyncState* state;
};

// Waits for the hub's death (or the stop pipe) and then wakes every instance,
// so that the survivors' pumps elect a new hub.
void* watchHub(void* p) {
    auto* args = static_cast<WatchArgs*>(p);
    SyncState* st = args->state;
    for (;;) {
        if (st->pidfd >= 0) {
            pollfd fds[2] = {{st->pidfd, POLLIN, 0}, {st->stopPipe[0], POLLIN, 0}};
            int rc = poll(fds, 2, -1);
            if (rc < 0 && errno == EINTR) continue;
            if (fds[1].revents) break;
            if (fds[0].revents) {
                args->sync->wakeAll();
                break;
            }
        } else {
            // No pidfd on this kernel: look at the hub every 100 ms.
            pollfd fd = {st->stopPipe[0], POLLIN, 0};
            int rc = poll(&fd, 1, 100);
            if (rc > 0) break;
            if (!isProcessAlive(st->hubPid)) {
                args->sync->wakeAll();
                break;
            }
        }
    }
    delete args;
    return nullptr;
}

void stopWatcher(SyncState* st) {
    if (st->watching) {
        char c = 1;
        ssize_t w = write(st->stopPipe[1], &c, 1);
        (void)w;
        pthread_join(st->watcher, nullptr);
        st->watching = false;
        char buf[16];
        while (read(st->stopPipe[0], buf, sizeof buf) > 0) {
        }
    }
}

void dropHub(SyncState* st) {
    stopWatcher(st);
    if (st->pidfd >= 0) close(st->pidfd);
    st->pidfd = -1;
    st->hubPid = 0;
}

}  // namespace

namespace {
// The fields of /proc/<pid>/stat after the command name (which may hold
// spaces and parentheses), or empty.
std::string statFields(uint32_t pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%u/stat", pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    char buf[1024];
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0) return {};
    buf[n] = 0;
    const char* paren = std::strrchr(buf, ')');
    if (!paren || paren[1] != ' ') return {};
    return paren + 2;
}
}  // namespace

bool isProcessAlive(uint32_t pid) {
    if (pid == 0 || pid > static_cast<uint32_t>(INT_MAX)) return false;
    // A process of another user cannot be signalled and counts as not alive.
    if (kill(static_cast<pid_t>(pid), 0) != 0) return false;
    if (access("/proc/self/stat", R_OK) != 0) return true;  // no /proc: kill's answer stands
    const std::string fields = statFields(pid);
    if (fields.empty()) return false;  // gone meanwhile
    const char state = fields[0];
    return state != 'Z' && state != 'X' && state != 'x';
}

uint32_t processStartToken(uint32_t pid) {
    if (pid == 0 || pid > static_cast<uint32_t>(INT_MAX)) return 0;
    // Field 22, the start time, is the 20th after the command name.
    const std::string fields = statFields(pid);
    size_t at = 0;
    for (int i = 0; i < 19 && at != std::string::npos; ++i) {
        at = fields.find(' ', at);
        if (at != std::string::npos) ++at;
    }
    if (at == std::string::npos || at >= fields.size()) return 0;
    const unsigned long long start = std::strtoull(fields.c_str() + at, nullptr, 10);
    return static_cast<uint32_t>(start ^ (start >> 32)) | 1u;
}

InstanceSync::InstanceSync(const InstanceSyncWords& words) : words_(words) {
    auto* st = new SyncState;
    st->ownPid = static_cast<uint32_t>(getpid());
    if (pipe2(st->stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) st->stopPipe[0] = st->stopPipe[1] = -1;
    state_ = st;
}

InstanceSync::~InstanceSync() {
    auto* st = static_cast<SyncState*>(state_);
    dropHub(st);
    if (st->stopPipe[0] >= 0) close(st->stopPipe[0]);
    if (st->stopPipe[1] >= 0) close(st->stopPipe[1]);
    delete st;
}

Status InstanceSync::becomeHub() {
    dropHub(static_cast<SyncState*>(state_));
    return {};
}

Status InstanceSync::followHub(uint32_t pid) {
    auto* st = static_cast<SyncState*>(state_);
    dropHub(st);
    st->hubPid = pid;
    st->pidfd = openPidfd(pid);
    if (st->pidfd < 0) return lastErrorStatus("cannot watch the hub process " + std::to_string(pid));
    fcntl(st->pidfd, F_SETFD, FD_CLOEXEC);
    return {};
}

void InstanceSync::stopWatching() { stopWatcher(static_cast<SyncState*>(state_)); }

bool InstanceSync::followedHubRunning() const {
    auto* st = static_cast<SyncState*>(state_);
    if (st->hubPid == 0) return false;
    if (st->pidfd >= 0) {
        // The pidfd becomes readable when the process ends (zombie included).
        pollfd fd = {st->pidfd, POLLIN, 0};
        return poll(&fd, 1, 0) == 0;
    }
    return isProcessAlive(st->hubPid);
}

// The lock word holds its owner's pid; a lock whose owner died is taken over.
// The lock guards a few loads and stores, so one held for more than a second
// belongs to a dead owner whose pid is in use again, and is taken over too.
void InstanceSync::lock() {
    auto* st = static_cast<SyncState*>(state_);
    uint64_t* word = words_.hubMutex;
    int64_t start = steadyMs();
    for (int spins = 0;; ++spins) {
        uint64_t expected = 0;
        if (__atomic_compare_exchange_n(word, &expected, st->ownPid, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) return;
        const uint64_t owner = expected;
        if ((owner != st->ownPid && !isProcessAlive(static_cast<uint32_t>(owner))) || steadyMs() - start > 1000) {
            if (__atomic_compare_exchange_n(word, &expected, st->ownPid, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
                return;
            start = steadyMs();  // someone else took it: a new owner, timed afresh
            continue;
        }
        if (spins < 50) {
            sched_yield();
        } else {
            timespec ts{0, 200000};
            nanosleep(&ts, nullptr);
        }
    }
}

void InstanceSync::unlock() { __atomic_store_n(words_.hubMutex, uint64_t{0}, __ATOMIC_RELEASE); }

bool InstanceSync::claimSlot() {
    int32_t expected = 0;
    return __atomic_compare_exchange_n(words_.busy, &expected, 1, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
}

void InstanceSync::wait(int32_t seen, int timeoutMs, bool /*pending*/) {
    auto* st = static_cast<SyncState*>(state_);
    if (st->hubPid != 0 && !st->watching && st->stopPipe[0] >= 0) {
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, 64 * 1024);
        auto* args = new WatchArgs{this, st};
        if (pthread_create(&st->watcher, &attr, watchHub, args) == 0)
            st->watching = true;
        else
            delete args;
        pthread_attr_destroy(&attr);
    }
    // FUTEX_WAIT compares and sleeps atomically, so no wake-up is lost.
    if (__atomic_load_n(words_.generation, __ATOMIC_ACQUIRE) != seen) return;
    if (timeoutMs < 0) {
        futex(words_.generation, FUTEX_WAIT, seen);
    } else {
        const timespec limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000000L};
        futex(words_.generation, FUTEX_WAIT, seen, &limit);
    }
}

int32_t InstanceSync::wakeAll() {
    const int32_t generation = __atomic_add_fetch(words_.generation, 1, __ATOMIC_ACQ_REL);
    futex(words_.generation, FUTEX_WAKE, INT_MAX);
    return generation;
}

void InstanceSync::wakeLocal() { wakeAll(); }

}  // namespace hux::platform
