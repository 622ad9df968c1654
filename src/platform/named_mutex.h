// The single-instance lock: a mutex every process of the user can name.
#pragma once

#include <cstdint>

namespace hux::platform {

class NamedMutex {
public:
    // Unguarded: the system offers this user no place for the lock that only
    // they control (a Linux user with neither a runtime directory nor a home
    // of their own whose last-resort directory another user has taken); the
    // launch runs without the lock rather than let that user refuse it.
    enum class Result { Owned, TimedOut, CreateFailed, Unguarded };
    NamedMutex() = default;
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;
    ~NamedMutex();
    // Creates (or opens) the mutex named `name` and waits up to `timeoutMs` to
    // own it. An abandoned mutex counts as owned. On CreateFailed, `error` holds
    // the system error code. The lock stays held until the process ends.
    Result acquire(const char* name, int timeoutMs, int& error);

private:
    intptr_t handle_ = -1;
};

}  // namespace hux::platform
