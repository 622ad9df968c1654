#include "services/instances.h"

#include <atomic>

#include <algorithm>
#include <cstring>

#include "platform/instance_sync.h"
#include "runtime/debug_log.h"
#include "services/instance_area.h"
#include "services/instance_natives.h"

namespace hux {

namespace {

// A pending chunk is judged unresponsive after more than this many counted
// wake-ups of the hub ...
constexpr int32_t kMaxRetries = 10;
// ... counted at most once per this interval.
constexpr int64_t kRetryIntervalMs = 100;
// How long stopping waits for the pump to finish its pass.
constexpr int kStopWaitMs = 3000;

}  // namespace

InstanceChannel::InstanceChannel(void* area)
    : area_(static_cast<SharedInstanceArea*>(area)), ownPid_(platform::currentProcessId()) {
    sync_ = std::make_unique<platform::InstanceSync>(platform::InstanceSyncWords{
        &area_->hubMutex, &area_->hubEvent, &area_->generation, &area_->busy});
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
    while (head_) {
        OutgoingMessage* next = head_->next;
        delete head_;
        head_ = next;
    }
    tail_ = nullptr;
    for (PartialMessage* p : partials_) delete p;
    partials_.clear();
}

void InstanceChannel::startMessaging() {
    if (messagingEnabled()) return;
    startPump(&javaReceiver());
    enableMessaging();
}

bool InstanceChannel::startPump(InstanceReceiver* receiver) {
    if (pumpStarted_) return false;
    receiver_ = receiver;
    pumpStarted_ = pump_.start(&InstanceChannel::pumpThread, this, 0, false);
    return pumpStarted_;
}

void InstanceChannel::stop() {
    if (!running_.exchange(false, std::memory_order_acq_rel)) return;
    if (pumpStarted_) {
        sync_->wakeLocal();
        // A pump that was inside the virtual machine when it was destroyed
        // never comes back (every call into a destroyed VM blocks for good);
        // it is left behind rather than waited for, and touches nothing again.
        for (int i = 0; i < kStopWaitMs / 10 && !pumpExited_.load(std::memory_order_acquire); ++i)
            platform::sleepMs(10);
        if (pumpExited_.load(std::memory_order_acquire)) pump_.join();
        pumpStarted_ = false;
    }
    sync_->stopWatching();
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
            sync_->becomeHub();
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
            sync_->becomeHub();
            return;
        }
        hub = loadShared(area_->hubPid);
        if (hub == ownPid_ || !platform::isProcessAlive(hub)) return;  // the next pass looks again
    }
    if (hub == knownHub_) return;
    knownHub_ = hub;
    sync_->followHub(hub);
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
}

void InstanceChannel::enqueueMessage(uint32_t target, const uint8_t* bytes, int32_t length) {
    // Pid 0 marks a slot that is being filled, so it cannot be an addressee.
    if (target == 0 || length < 0) return;
    auto* m = new OutgoingMessage;
    m->target = target;
    m->bytes.append(bytes, length);
    {
        platform::MutexLock guard(queueLock_);
        if (tail_)
            tail_->next = m;
        else
            head_ = m;
        tail_ = m;
    }
    sync_->wakeAll();
}

bool InstanceChannel::queueEmpty() {
    platform::MutexLock guard(queueLock_);
    return head_ == nullptr;
}

int InstanceChannel::pumpThread(void* channel) {
    auto* self = static_cast<InstanceChannel*>(channel);
    self->pumpLoop();
    self->pumpExited_.store(true, std::memory_order_release);
    return 0;
}

void InstanceChannel::pumpLoop() {
    while (running_.load(std::memory_order_acquire)) {
        // While a chunk for another instance holds the slot, the hub looks
        // again after a while even when nobody wakes it, so that a chunk nobody
        // consumes cannot block every instance for good.
        sync_->wait(lastSeenGeneration_, judging_ ? static_cast<int>(kRetryIntervalMs) : -1,
                    !partials_.empty() || !queueEmpty());
        if (!running_.load(std::memory_order_acquire)) break;
        pumpOnce(receiver_);
    }
}

// Frees the slot when it still holds the chunk `seen` (targetPid and serial as
// read): a free slot always reads targetPid 0, so that a claimer's half-filled
// chunk is never taken for a finished one, and the serial changes, so that
// another instance that judged the same chunk cannot free the slot again after
// someone has claimed it anew.
bool InstanceChannel::releaseSlot(uint64_t seen) {
    uint64_t expected = seen;
    if (!__atomic_compare_exchange_n(slotWord(*area_), &expected, releasedSlot(seen), false, __ATOMIC_ACQ_REL,
                                     __ATOMIC_ACQUIRE))
        return false;
    storeShared(area_->busy, 0);
    return true;
}

void InstanceChannel::countPendingWakeUp() {
    const uint32_t serial = loadShared(area_->serial);
    const int64_t now = platform::steadyMs();
    if (serial == countedSerial_ && now - lastCountMs_ < kRetryIntervalMs) return;
    countedSerial_ = serial;
    lastCountMs_ = now;
    __atomic_add_fetch(&area_->retries, 1, __ATOMIC_ACQ_REL);
}

void InstanceChannel::pumpOnce(InstanceReceiver* receiver) {
    lastSeenGeneration_ = loadShared(area_->generation);
    ensureHub();

    PartialMessage* completed = nullptr;
    bool wake = false;
    bool holdOff = false;
    if (loadShared(area_->busy) == 1) {
        const uint64_t slot = __atomic_load_n(slotWord(*area_), __ATOMIC_ACQUIRE);
        const uint32_t target = slotTarget(slot);
        if (target == 0) {
            // Being filled. Only a poster that died while filling leaves it so.
            if (isHub()) countPendingWakeUp();
            if (loadShared(area_->retries) > kMaxRetries && !platform::isProcessAlive(loadShared(area_->senderPid))) {
                if (releaseSlot(slot)) debugLog("instances: dropped a chunk its dead poster left half written");
                wake = true;
            } else {
                holdOff = true;
            }
        } else if (target == ownPid_) {
            completed = receiveChunk(slot);
            wake = true;
        } else if (loadShared(area_->retries) <= kMaxRetries && platform::isProcessAlive(target)) {
            if (isHub()) countPendingWakeUp();
            holdOff = true;
        } else {
            // Addressee gone or unresponsive.
            if (releaseSlot(slot))
                debugLog("instances: dropped a chunk of message %u from %u to %u (retries %d)",
                         loadShared(area_->messageId), loadShared(area_->senderPid), target, loadShared(area_->retries));
            wake = true;
        }
    }
    judging_ = holdOff && isHub();
    if (!holdOff && loadShared(area_->busy) == 0 && postNextChunk()) wake = true;
    if (wake) sync_->wakeAll();
    if (completed) {
        if (receiver) receiver->deliver(completed->sender, completed->bytes.length(), completed->bytes.data());
        delete completed;
    }
}

bool InstanceChannel::postNextChunk() {
    OutgoingMessage* m;
    {
        platform::MutexLock guard(queueLock_);
        m = head_;
    }
    if (!m || !sync_->claimSlot()) return false;
    SharedInstanceArea& a = *area_;
    storeShared(a.serial, static_cast<uint32_t>(__atomic_fetch_add(&a.nextSerial, 1, __ATOMIC_ACQ_REL)));
    storeShared(a.senderPid, ownPid_);
    storeShared(a.retries, 0);
    if (m->posted == 0) m->messageId = static_cast<uint32_t>(__atomic_fetch_add(&a.nextMessageId, 1, __ATOMIC_ACQ_REL));
    const int32_t length = m->bytes.length();
    const int32_t chunkLength = std::min(length - m->posted, kChunkCapacity);
    storeShared(a.chunkCapacity, kChunkCapacity);
    storeShared(a.messageId, m->messageId);
    storeShared(a.totalLength, static_cast<uint32_t>(length));
    storeShared(a.lastChunkIndex, length > 0 ? (length - 1) / kChunkCapacity : 0);
    storeShared(a.chunkIndex, m->posted / kChunkCapacity);
    storeShared(a.chunkLength, chunkLength);
    if (chunkLength > 0) std::memcpy(a.chunkData, m->bytes.data() + m->posted, static_cast<size_t>(chunkLength));
    storeShared(a.targetPid, m->target);  // last: the chunk is complete now
    m->posted += kChunkCapacity;
    if (m->posted >= length) {
        {
            platform::MutexLock guard(queueLock_);
            head_ = m->next;
            if (!head_) tail_ = nullptr;
        }
        delete m;
    }
    return true;
}

InstanceChannel::PartialMessage* InstanceChannel::receiveChunk(uint64_t slot) {
    SharedInstanceArea& a = *area_;
    const uint32_t id = loadShared(a.messageId);
    const uint32_t sender = loadShared(a.senderPid);
    const int32_t index = loadShared(a.chunkIndex);
    const int32_t last = loadShared(a.lastChunkIndex);
    const int32_t length = loadShared(a.chunkLength);
    const uint32_t total = loadShared(a.totalLength);
    PartialMessage* completed = nullptr;

    auto remove = [this](PartialMessage* p) {
        partials_.erase(std::find(partials_.begin(), partials_.end(), p));
        delete p;
    };
    // The fields come from another process: a chunk that does not fit its own
    // message is dropped rather than trusted.
    const bool valid = length >= 0 && length <= kChunkCapacity && index >= 0 && index <= last &&
                       total <= 0x7fffffffu && static_cast<int64_t>(last) * kChunkCapacity < int64_t{total} + kChunkCapacity;
    PartialMessage* p = nullptr;
    if (valid && index == 0) {
        // A sender posts its messages one after another, so an unfinished
        // earlier message of the same sender can never complete.
        for (size_t i = partials_.size(); i-- > 0;)
            if (partials_[i]->sender == sender) remove(partials_[i]);
        p = new PartialMessage;
        p->messageId = id;
        p->sender = sender;
        partials_.push_back(p);
    } else if (valid) {
        for (PartialMessage* candidate : partials_)
            if (candidate->messageId == id && candidate->sender == sender) {
                p = candidate;
                break;
            }
    }
    if (p) {
        if (index == p->expectedIndex && int64_t{p->bytes.length()} + length <= int64_t{total}) {
            p->bytes.append(a.chunkData, length);
            ++p->expectedIndex;
            if (index == last) {
                partials_.erase(std::find(partials_.begin(), partials_.end(), p));
                if (static_cast<uint32_t>(p->bytes.length()) == total)
                    completed = p;
                else
                    delete p;
            }
        } else {
            debugLog("instances: message %u from %u lost chunk %d", id, sender, p->expectedIndex);
            remove(p);  // the rest of this message finds no entry and is dropped too
        }
    } else {
        debugLog("instances: orphan chunk %d of message %u from %u", index, id, sender);
    }
    releaseSlot(slot);
    return completed;
}

namespace {
std::atomic<InstanceChannel*> activeChannelPointer{nullptr};
}  // namespace

InstanceChannel* activeChannel() { return activeChannelPointer.load(std::memory_order_acquire); }
void setActiveChannel(InstanceChannel* channel) { activeChannelPointer.store(channel, std::memory_order_release); }

}  // namespace hux
