// Threads of the launcher and timing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/status.h"

namespace hux::platform {

using ThreadProc = int (*)(void* argument);

class Thread {
public:
    Thread() = default;
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    ~Thread();
    // Starts a thread through the runtime library's thread creation with the
    // given stack size (0: default). `reserveOnly` asks for a reservation only.
    Status start(ThreadProc proc, void* argument, size_t stackSize, bool reserveOnly);
    // Waits without limit and returns the thread's exit code.
    int join();
    // Lets the thread run on unwatched: nothing waits for it any more, and the
    // system frees it when it ends. The object becomes empty.
    void detach();
    bool started() const { return handle_ != 0; }

private:
    intptr_t handle_ = 0;
    void* state_ = nullptr;
};

void sleepMs(int milliseconds);

// A monotonic clock in milliseconds.
int64_t steadyMs();

}  // namespace hux::platform
