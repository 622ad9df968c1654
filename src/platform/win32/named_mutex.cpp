// The single-instance lock on Windows: a named mutex.
#include "platform/named_mutex.h"
#include "platform/win32/windows_support.h"

namespace hux::platform {

NamedMutex::~NamedMutex() {
    // The handle stays open and the mutex owned until the process ends.
}

Result<NamedMutex::Outcome> NamedMutex::acquire(const char* name, int timeoutMs) {
    HANDLE h = CreateMutexA(nullptr, FALSE, name);
    if (!h) return lastErrorStatus(describe("cannot create the mutex", name));
    handle_ = win32::handleValue(h);
    DWORD w = WaitForSingleObject(h, static_cast<DWORD>(timeoutMs));
    if (w == WAIT_OBJECT_0 || w == WAIT_ABANDONED) return Outcome::Owned;
    return Outcome::TimedOut;
}

}  // namespace hux::platform
