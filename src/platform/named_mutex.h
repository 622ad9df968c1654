// The single-instance lock: a mutex every process of the user can name.
#pragma once

#include <cstdint>

#include "platform/status.h"

namespace hux::platform {

class NamedMutex {
public:
    // Unguarded: the system offers this user no place for the lock that only
    // they control (a Linux user with neither a runtime directory nor a home
    // of their own whose last-resort directory another user has taken); the
    // launch runs without the lock rather than let that user refuse it.
    enum class Outcome { Owned, TimedOut, Unguarded };
    NamedMutex() = default;
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;
    ~NamedMutex();
    // Creates (or opens) the mutex named `name` and waits up to `timeoutMs` to
    // own it. An abandoned mutex counts as owned. The failure when it cannot be
    // created or locked. The lock stays held until the process ends.
    platform::Result<Outcome> acquire(const char* name, int timeoutMs);

private:
    intptr_t handle_ = -1;
};

}  // namespace hux::platform
