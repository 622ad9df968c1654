// Environment, threads and timing on Linux.
#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/utf.h"
#include "platform/platform.h"

extern char** environ;

namespace hux::platform {

bool getEnv(const char* name, ByteString& value) {
    if (!name || !name[0]) return false;
    if (const char* v = std::getenv(name)) {
        value = ByteString(v);
        return true;
    }
    // Configuration written for Windows names variables without regard to case.
    const size_t n = std::strlen(name);
    for (char** e = environ; e && *e; ++e) {
        const char* eq = std::strchr(*e, '=');
        if (!eq || static_cast<size_t>(eq - *e) != n) continue;
        if (equalsIgnoreCase(std::string_view(*e, n), std::string_view(name, n))) {
            value = ByteString(eq + 1);
            return true;
        }
    }
    return false;
}

void putEnv(const char* assignment) {
    const char* eq = assignment ? std::strchr(assignment, '=') : nullptr;
    if (!eq || eq == assignment) return;
    std::string name(assignment, static_cast<size_t>(eq - assignment));
    if (eq[1] == '\0') {
        unsetenv(name.c_str());
    } else {
        setenv(name.c_str(), eq + 1, 1);
    }
}

namespace {
struct ThreadState {
    ThreadProc proc;
    void* argument;
    int result = 0;
    pthread_t thread{};
};

void* threadEntry(void* p) {
    auto* st = static_cast<ThreadState*>(p);
    st->result = st->proc(st->argument);
    return nullptr;
}
}  // namespace

Thread::~Thread() {
    if (handle_) pthread_detach(static_cast<ThreadState*>(state_)->thread);
    // A detached thread may still run; its state is intentionally left alive.
}

bool Thread::start(ThreadProc proc, void* argument, size_t stackSize, bool /*reserveOnly*/) {
    auto* st = new ThreadState{proc, argument};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    if (stackSize) pthread_attr_setstacksize(&attr, stackSize);
    int rc = pthread_create(&st->thread, &attr, threadEntry, st);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete st;
        errno = rc;
        return false;
    }
    state_ = st;
    handle_ = 1;
    return true;
}

int Thread::join() {
    if (!handle_) return 0;
    auto* st = static_cast<ThreadState*>(state_);
    pthread_join(st->thread, nullptr);
    int result = st->result;
    delete st;
    state_ = nullptr;
    handle_ = 0;
    return result;
}

void Thread::detach() {
    if (!handle_) return;
    // The state stays alive: the thread still reads it.
    pthread_detach(static_cast<ThreadState*>(state_)->thread);
    state_ = nullptr;
    handle_ = 0;
}

void sleepMs(int milliseconds) {
    timespec ts{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

}  // namespace hux::platform
