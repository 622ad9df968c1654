// Instance synchronisation on Windows: the hub's unnamed mutex and manual-reset
// event, duplicated into every other instance, and the hub's process handle.
#include "platform/instance_sync.h"

#include <string>

#include "platform/win32/windows_support.h"

namespace hux::platform {

namespace {

using win32::ScopedHandle;

struct SyncState {
    ScopedHandle mutex;
    ScopedHandle event;
    ScopedHandle hubProcess;
    ScopedHandle localWake;  // auto-reset, wakes this process's pump only
};

constexpr DWORD kHubAccess = SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_DUP_HANDLE;
// PulseEvent releases only threads already waiting; a pulse that falls between
// the generation check and the wait is made up for by this bound on the wait.
constexpr DWORD kWaitBoundMs = 200;
// In the middle of a transfer a lost pulse would stall every chunk, so the
// bound is short then (the transfer is what the instance waits for).
constexpr DWORD kPendingBoundMs = 5;

HANDLE handleFrom(uint64_t value) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value)); }
uint64_t valueOf(HANDLE h) { return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(h)); }

}  // namespace

bool isProcessAlive(uint32_t pid) {
    if (pid == 0) return false;
    const ScopedHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_DUP_HANDLE, FALSE, pid));
    DWORD code = 0;
    return process && GetExitCodeProcess(process.get(), &code) && code == STILL_ACTIVE;
}

uint32_t processStartToken(uint32_t pid) {
    if (pid == 0) return 0;
    const ScopedHandle process(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid));
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!process || !GetProcessTimes(process.get(), &created, &exited, &kernel, &user)) return 0;
    return (created.dwLowDateTime ^ created.dwHighDateTime) | 1u;
}

InstanceSync::InstanceSync(const InstanceSyncWords& words) : words_(words) {
    auto* st = new SyncState;
    st->localWake.reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    state_ = st;
}

InstanceSync::~InstanceSync() { delete static_cast<SyncState*>(state_); }

Status InstanceSync::becomeHub() {
    auto* st = static_cast<SyncState*>(state_);
    Status made;
    if (!st->mutex) st->mutex.reset(CreateMutexA(nullptr, FALSE, nullptr));
    if (!st->mutex) made = lastErrorStatus("cannot create the hub's lock");
    if (!st->event) st->event.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!st->event && made) made = lastErrorStatus("cannot create the hub's wake-up");
    __atomic_store_n(words_.hubMutex, valueOf(st->mutex.get()), __ATOMIC_RELEASE);
    __atomic_store_n(words_.hubEvent, valueOf(st->event.get()), __ATOMIC_RELEASE);
    st->hubProcess.reset();
    return made;
}

Status InstanceSync::followHub(uint32_t pid) {
    auto* st = static_cast<SyncState*>(state_);
    st->hubProcess.reset(OpenProcess(kHubAccess, FALSE, pid));
    if (!st->hubProcess) return lastErrorStatus("cannot watch the hub process " + std::to_string(pid));
    // Later hubs publish the same kernel objects under their own handle values,
    // so the objects are taken over once per instance.
    Status taken;
    if (!st->mutex &&
        !DuplicateHandle(st->hubProcess.get(), handleFrom(__atomic_load_n(words_.hubMutex, __ATOMIC_ACQUIRE)),
                         GetCurrentProcess(), st->mutex.receive(), 0, FALSE, DUPLICATE_SAME_ACCESS))
        taken = lastErrorStatus("cannot take over the hub's lock");
    if (!st->event &&
        !DuplicateHandle(st->hubProcess.get(), handleFrom(__atomic_load_n(words_.hubEvent, __ATOMIC_ACQUIRE)),
                         GetCurrentProcess(), st->event.receive(), 0, FALSE, DUPLICATE_SAME_ACCESS) &&
        taken)
        taken = lastErrorStatus("cannot take over the hub's wake-up");
    return taken;
}

void InstanceSync::stopWatching() {}

bool InstanceSync::followedHubRunning() const {
    auto* st = static_cast<SyncState*>(state_);
    DWORD code = 0;
    return st->hubProcess && GetExitCodeProcess(st->hubProcess.get(), &code) && code == STILL_ACTIVE;
}

void InstanceSync::lock() {
    auto* st = static_cast<SyncState*>(state_);
    if (st->mutex) WaitForSingleObject(st->mutex.get(), INFINITE);  // an abandoned mutex is owned too
}

void InstanceSync::unlock() {
    auto* st = static_cast<SyncState*>(state_);
    if (st->mutex) ReleaseMutex(st->mutex.get());
}

bool InstanceSync::claimSlot() {
    lock();
    int32_t expected = 0;
    const bool claimed =
        __atomic_compare_exchange_n(words_.busy, &expected, 1, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
    unlock();
    return claimed;
}

void InstanceSync::wait(int32_t seen, int timeoutMs, bool pending) {
    DWORD limit = (timeoutMs >= 0 && static_cast<DWORD>(timeoutMs) < kWaitBoundMs) ? timeoutMs : kWaitBoundMs;
    if (pending && limit > kPendingBoundMs) limit = kPendingBoundMs;
    auto* st = static_cast<SyncState*>(state_);
    if (__atomic_load_n(words_.generation, __ATOMIC_ACQUIRE) != seen) return;
    HANDLE handles[3];
    DWORD count = 0;
    if (st->event) handles[count++] = st->event.get();
    if (st->localWake) handles[count++] = st->localWake.get();
    if (st->hubProcess) handles[count++] = st->hubProcess.get();
    if (count == 0) {
        Sleep(limit);
        return;
    }
    WaitForMultipleObjects(count, handles, FALSE, limit);
}

int32_t InstanceSync::wakeAll() {
    auto* st = static_cast<SyncState*>(state_);
    if (st->event) PulseEvent(st->event.get());
    return __atomic_add_fetch(words_.generation, 1, __ATOMIC_ACQ_REL);
}

void InstanceSync::wakeLocal() {
    auto* st = static_cast<SyncState*>(state_);
    if (st->localWake) SetEvent(st->localWake.get());
}

}  // namespace hux::platform
