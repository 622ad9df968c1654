// Cross-process synchronisation of the instances of one application around
// their shared area: the hub's lock, the wake-up of all instances and the
// watch on the hub process.
//
// Windows: an unnamed mutex and a manual-reset event created by the hub, whose
// handle values are published in the area and duplicated by the other
// instances; waiting covers the event and the hub process. Linux: an atomic
// compare-and-set on the slot's busy word, a futex on the generation word and a
// pidfd that wakes the instance when the hub dies.
#pragma once

#include <cstdint>

#include "platform/status.h"

namespace hux::platform {

// The words of the shared area the synchronisation works on.
struct InstanceSyncWords {
    uint64_t* hubMutex;
    uint64_t* hubEvent;
    int32_t* generation;
    int32_t* busy;
};

// Whether `pid` names a running process this process may inspect (pid 0, dead
// processes, zombies and processes that cannot be opened are not alive).
bool isProcessAlive(uint32_t pid);

// A number that tells one process with id `pid` from a later one that gets
// the same id (derived from its start time); 0 when it cannot be read.
uint32_t processStartToken(uint32_t pid);

class InstanceSync {
public:
    explicit InstanceSync(const InstanceSyncWords& words);
    InstanceSync(const InstanceSync&) = delete;
    InstanceSync& operator=(const InstanceSync&) = delete;
    ~InstanceSync();

    // This process has become hub: creates the lock and wake-up objects when it
    // has none yet and publishes them in the area; drops any hub watch. A
    // failure leaves the instances without the lock or the wake-up (they
    // then look again on their own).
    Status becomeHub();
    // Follows the live hub `pid`: keeps a handle on its process (so that wait()
    // returns when it dies) and, once per instance, takes over its objects. A
    // failure says what of it could not be had; the hub is followed all the
    // same, its end noticed when this instance looks again.
    Status followHub(uint32_t pid);
    // Whether the followed hub process still runs (false when none is followed).
    bool followedHubRunning() const;
    // Ends any background watch of the hub, after which nothing of this object
    // touches the area on its own (the pump has stopped).
    void stopWatching();

    // Cross-process lock around registration and pruning of the instance list.
    void lock();
    void unlock();

    // Claims the free slot: busy 0 -> 1, atomically and under the hub's lock
    // where there is one. False when another instance holds the slot.
    bool claimSlot();

    // Blocks while the generation word still equals `seen`, until some instance
    // wakes all, the followed hub dies, wakeLocal() is called or `timeoutMs`
    // pass (-1: no limit). `pending` says this instance is in the middle of a
    // transfer (where wake-ups can be lost, such a wait is kept short). May
    // return early; callers re-check their state.
    void wait(int32_t seen, int timeoutMs, bool pending);
    // Wakes every waiting instance and increments the generation word;
    // returns the generation after the increment.
    int32_t wakeAll();
    // Makes this process's wait() return (used to stop the pump).
    void wakeLocal();

private:
    InstanceSyncWords words_;
    void* state_;
};

}  // namespace hux::platform
