// In-process lock on a critical section.
#include <new>

#include "platform/mutex.h"
#include "platform/win32/windows_support.h"

namespace hux::platform {

namespace {
CRITICAL_SECTION* native(unsigned char* storage) { return reinterpret_cast<CRITICAL_SECTION*>(storage); }
}  // namespace

Mutex::Mutex() {
    static_assert(sizeof(CRITICAL_SECTION) <= sizeof(storage_), "Mutex storage too small");
    static_assert(alignof(CRITICAL_SECTION) <= 16, "Mutex storage misaligned");
    InitializeCriticalSection(new (storage_) CRITICAL_SECTION);
}

Mutex::~Mutex() { DeleteCriticalSection(native(storage_)); }

void Mutex::lock() { EnterCriticalSection(native(storage_)); }

void Mutex::unlock() { LeaveCriticalSection(native(storage_)); }

}  // namespace hux::platform
