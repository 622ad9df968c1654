#include "services/instances.h"

#include <algorithm>
#include <chrono>
#include <mutex>

#include "config/debug_log.h"
#include "platform/instance_sync.h"
#include "platform/process.h"
#include "platform/threads.h"
#include "services/instance_area.h"
#include "services/instance_delivery.h"
#include "services/instance_natives.h"

namespace hux {

namespace {

// How long stopping waits for an idle delivery thread to finish.
constexpr int kDeliveryStopWaitMs = 5;
// How long stopping waits for messages still queued (receipts, say) to leave.
constexpr int64_t kStopFlushMs = 1000;

// The instances go on without what could not be had: they look again on
// their own.
void noteSyncFailure(const platform::Status& status) {
    if (!status) debugLog("instances: %s", status.text());
}

}  // namespace

InstanceChannel::InstanceChannel(void* area)
    : area_(static_cast<SharedInstanceArea*>(area)),
      ownPid_(platform::currentProcessId()),
      ownToken_(platform::processStartToken(ownPid_)) {
    sync_ = std::make_unique<platform::InstanceSync>(
        platform::InstanceSyncWords{&area_->hubMutex, &area_->hubEvent, &area_->generation, &area_->busy});
    ensureHub();
    // Registration and pruning hold the hub's lock, so that two launches
    // registering at once do not overwrite each other's entry.
    sync_->lock();
    pruneInstances();
    const int32_t count = loadShared(area_->instanceCount);
    if (count >= 0 && count < kMaxInstances) {
        storeShared(area_->instancePids[count], ownPid_);
        storeShared(area_->instanceCount, count + 1);
    }
    sync_->unlock();
}

InstanceChannel::~InstanceChannel() {
    stop();
    clearQueue();
    for (PartialMessage* p : partials_) delete p;
    partials_.clear();
}

// Drops every queued message (each counts as not delivered).
void InstanceChannel::clearQueue() {
    platform::MutexLock guard(queueLock_);
    while (head_) {
        OutgoingMessage* next = head_->next;
        dropped_.push_back(head_->seq);
        delete head_;
        head_ = next;
    }
    tail_ = nullptr;
    settledSeq_ = queuedSeq_;
    inFlight_.active = false;  // no pump runs, or this is its thread
}

void InstanceChannel::startMessaging() {
    if (messagingEnabled()) return;
    startPump(&javaReceiver());
    enableMessaging();
}

bool InstanceChannel::startPump(InstanceReceiver* receiver) {
    if (pumpStarted_) return false;
    receiver_ = receiver;
    delivery_ = new Delivery;
    delivery_->receiver = receiver;
    delivery_->channel = this;
    if (!delivery_->thread.start(&Delivery::run, delivery_, 0, false)) {
        delete delivery_;
        delivery_ = nullptr;  // the pump delivers itself
    }
    registerPump();
    pumpStarted_ = pump_.start(&InstanceChannel::pumpThread, this, 0, false).ok();
    if (!pumpStarted_) {
        unregisterPump();
        stopDelivery();
    }
    pumping_.store(pumpStarted_, std::memory_order_release);
    return pumpStarted_;
}

void InstanceChannel::stop() {
    // What is still queued (a receipt for a forwarded launch, objects sent
    // just before the end) gets a short while to leave.
    if (pumping_.load(std::memory_order_acquire) && running_.load(std::memory_order_acquire) && !queueEmpty())
        flush(kStopFlushMs, kStopFlushMs);
    if (!running_.exchange(false, std::memory_order_acq_rel)) return;
    pumping_.store(false, std::memory_order_release);
    if (pumpStarted_) {
        // Peers stop holding chunks for this instance from now on.
        unregisterPump();
        sync_->wakeLocal();
        // The pump never enters the virtual machine, so it ends its pass soon.
        pump_.join();
        pumpStarted_ = false;
        stopDelivery();
        // A confirmed message its receiver never answered: the slot goes
        // back to the group (its sender, seeing no receipt, decides).
        const uint64_t held = heldSlot_.exchange(0, std::memory_order_acq_rel);
        if (held != 0) releaseSlot(held);
    }
    sync_->stopWatching();
    unregisterInstance();
}

// Other instances stop listing this one (a later prune would only drop it
// once the process has ended).
void InstanceChannel::unregisterInstance() {
    sync_->lock();
    const int32_t count = std::max(0, std::min(loadShared(area_->instanceCount), kMaxInstances));
    int32_t kept = 0;
    for (int32_t i = 0; i < count; ++i) {
        const uint32_t pid = loadShared(area_->instancePids[i]);
        if (pid != ownPid_) storeShared(area_->instancePids[kept++], pid);
    }
    storeShared(area_->instanceCount, kept);
    sync_->unlock();
}

// A delivery thread that was inside the virtual machine when it was destroyed
// never comes back (every call into a destroyed VM blocks for good): it is
// left behind with its record rather than waited for.
void InstanceChannel::stopDelivery() {
    Delivery* d = delivery_;
    delivery_ = nullptr;
    if (!d) return;
    bool exited;
    {
        std::unique_lock<std::mutex> guard(d->lock);
        d->stopping = true;
        d->wake.notify_all();
        exited = d->wake.wait_for(guard, std::chrono::milliseconds(kDeliveryStopWaitMs), [d] { return d->exited; });
    }
    if (!exited) {
        debugLog("instances: a delivery did not return; not waiting for it");
        d->thread.detach();
        return;
    }
    d->thread.join();
    delete d;
}

// The table of running pumps is kept under the hub's lock.
void InstanceChannel::registerPump() {
    sync_->lock();
    listedAsPump_.store(true, std::memory_order_release);
    appendPumpEntry();
    sync_->unlock();
}

// Runs under the hub's lock.
void InstanceChannel::appendPumpEntry() {
    prunePumps();
    const int32_t count = loadShared(area_->pumpCount);
    if (count < kMaxPumps) {
        storeShared(area_->pumps[count].token, ownToken_);
        storeShared(area_->pumps[count].pid, ownPid_);
        storeShared(area_->pumpCount, count + 1);
    }
}

// Lists this process again when its entry is gone from the pump table (a
// stray write over the area), so that its chunks are neither discarded nor
// counted as not delivered by their senders.
void InstanceChannel::relistPump() {
    if (!listedAsPump_.load(std::memory_order_acquire) || listedInPumpTable()) return;
    sync_->lock();
    if (listedAsPump_.load(std::memory_order_acquire) && !listedInPumpTable()) {
        debugLog("instances: this instance's pump entry was gone; listed again");
        appendPumpEntry();
    }
    sync_->unlock();
}

// Whether this process's own entry (pid and start token) is in the table; no
// system call, since every pump pass asks.
bool InstanceChannel::listedInPumpTable() {
    const int32_t count = std::max(0, std::min(loadShared(area_->pumpCount), kMaxPumps));
    for (int32_t i = 0; i < count; ++i)
        if (loadShared(area_->pumps[i].pid) == ownPid_ && loadShared(area_->pumps[i].token) == ownToken_) return true;
    return false;
}

void InstanceChannel::unregisterPump() {
    sync_->lock();
    listedAsPump_.store(false, std::memory_order_release);
    const int32_t count = std::max(0, std::min(loadShared(area_->pumpCount), kMaxPumps));
    int32_t kept = 0;
    for (int32_t i = 0; i < count; ++i) {
        const PumpEntry e{loadShared(area_->pumps[i].pid), loadShared(area_->pumps[i].token)};
        if (e.pid == ownPid_) continue;
        storeShared(area_->pumps[kept].pid, e.pid);
        storeShared(area_->pumps[kept].token, e.token);
        ++kept;
    }
    storeShared(area_->pumpCount, kept);
    sync_->unlock();
}

// Runs under the hub's lock: keeps the entries of processes that still run
// (and are the processes that registered).
void InstanceChannel::prunePumps() {
    const int32_t count = std::max(0, std::min(loadShared(area_->pumpCount), kMaxPumps));
    int32_t kept = 0;
    for (int32_t i = 0; i < count; ++i) {
        const PumpEntry e{loadShared(area_->pumps[i].pid), loadShared(area_->pumps[i].token)};
        if (!isLivePump(e.pid)) continue;
        storeShared(area_->pumps[kept].pid, e.pid);
        storeShared(area_->pumps[kept].token, e.token);
        ++kept;
    }
    storeShared(area_->pumpCount, kept);
}

bool InstanceChannel::isLivePump(uint32_t pid) {
    if (pid == 0) return false;
    const int32_t count = std::max(0, std::min(loadShared(area_->pumpCount), kMaxPumps));
    for (int32_t i = 0; i < count; ++i) {
        if (loadShared(area_->pumps[i].pid) != pid) continue;
        const uint32_t token = loadShared(area_->pumps[i].token);
        if (!platform::isProcessAlive(pid)) return false;
        const uint32_t current = platform::processStartToken(pid);
        return token == 0 || current == 0 || token == current;
    }
    return false;
}

uint32_t InstanceChannel::hubPid() const { return loadShared(area_->hubPid); }

std::vector<uint32_t> InstanceChannel::instances() {
    std::vector<uint32_t> out;
    sync_->lock();
    pruneInstances();
    out.push_back(loadShared(area_->hubPid));
    const int32_t count = std::min(loadShared(area_->instanceCount), kMaxInstances);
    for (int32_t i = 0; i < count; ++i) out.push_back(loadShared(area_->instancePids[i]));
    sync_->unlock();
    return out;
}

void InstanceChannel::ensureHub() {
    uint32_t hub = loadShared(area_->hubPid);
    if (hub == 0) {
        if (casShared(area_->hubPid, 0u, ownPid_)) {
            knownHub_ = ownPid_;
            noteSyncFailure(sync_->becomeHub());
            return;
        }
        hub = loadShared(area_->hubPid);
    }
    if (hub == ownPid_) {
        knownHub_ = ownPid_;
        return;
    }
    if (hub == knownHub_ && sync_->followedHubRunning()) return;
    if (!platform::isProcessAlive(hub)) {
        // The hub died: the first instance to notice takes over.
        if (casShared(area_->hubPid, hub, ownPid_)) {
            knownHub_ = ownPid_;
            noteSyncFailure(sync_->becomeHub());
            return;
        }
        hub = loadShared(area_->hubPid);
        if (hub == ownPid_ || !platform::isProcessAlive(hub)) return;  // the next pass looks again
    }
    if (hub == knownHub_) return;
    knownHub_ = hub;
    noteSyncFailure(sync_->followHub(hub));
}

// Runs under the hub's lock.
void InstanceChannel::pruneInstances() {
    const uint32_t hub = loadShared(area_->hubPid);
    int32_t kept = 0;
    for (int32_t i = 0; i < std::min(loadShared(area_->instanceCount), kMaxInstances); ++i) {
        const uint32_t pid = loadShared(area_->instancePids[i]);
        if (pid != hub && platform::isProcessAlive(pid)) storeShared(area_->instancePids[kept++], pid);
    }
    storeShared(area_->instanceCount, kept);
    prunePumps();
}

}  // namespace hux
