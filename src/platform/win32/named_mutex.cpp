// The single-instance lock on Windows: a named mutex.
#include "platform/named_mutex.h"
#include "platform/win32/windows_support.h"

namespace hux::platform {

NamedMutex::~NamedMutex() {
    // The handle stays open and the mutex owned until the process ends.
}

NamedMutex::Result NamedMutex::acquire(const char* name, int timeoutMs, int& error) {
    HANDLE h = CreateMutexA(nullptr, FALSE, name);
    if (!h) {
        error = static_cast<int>(GetLastError());
        return Result::CreateFailed;
    }
    handle_ = win32::handleValue(h);
    DWORD w = WaitForSingleObject(h, static_cast<DWORD>(timeoutMs));
    if (w == WAIT_OBJECT_0 || w == WAIT_ABANDONED) return Result::Owned;
    return Result::TimedOut;
}

}  // namespace hux::platform
