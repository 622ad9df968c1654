// The single-instance lock: a mutex every process of the user can name.
#pragma once

#include <cstdint>

namespace hux::platform {

class NamedMutex {
public:
    enum class Result { Owned, TimedOut, CreateFailed };
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
