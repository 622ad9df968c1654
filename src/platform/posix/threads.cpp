// Threads and timing on POSIX systems.
#include <pthread.h>
#include <time.h>

#include <cerrno>

#include "platform/threads.h"

namespace hux::platform {

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

Status Thread::start(ThreadProc proc, void* argument, size_t stackSize, bool /*reserveOnly*/) {
    auto* st = new ThreadState{proc, argument};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    if (stackSize) pthread_attr_setstacksize(&attr, stackSize);
    int rc = pthread_create(&st->thread, &attr, threadEntry, st);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete st;
        return errorStatus("cannot start a thread", rc);
    }
    state_ = st;
    handle_ = 1;
    return {};
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

int64_t steadyMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace hux::platform
