#include "services/instances.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>

#include "platform/instance_sync.h"
#include "platform/process.h"
#include "platform/threads.h"
#include "config/debug_log.h"
#include "services/instance_area.h"
#include "services/instance_natives.h"

namespace hux {

namespace {

// A pending chunk for an instance without a running pump is judged
// unresponsive after more than this many counted wake-ups of the hub ...
constexpr int32_t kMaxRetries = 10;
// ... counted at most once per this interval (which is also how often every
// instance looks at a pending chunk again) ...
constexpr int64_t kRetryIntervalMs = 100;
// ... or after any instance has seen it pending this long (the hub may be a
// process that does not count).
constexpr int64_t kUnresponsiveMs = 1200;
// Filling the slot takes its poster microseconds: a chunk left half written
// this long was left by a poster that died or wrote a stray word.
constexpr int64_t kHalfWrittenMs = 1000;
// Completed messages waiting for a slow receiver: past this many bytes the
// pump leaves the next chunk in the slot until the receiver catches up.
constexpr int64_t kMaxBacklogBytes = 64 * 1024 * 1024;
// How long stopping waits for an idle delivery thread to finish.
constexpr int kDeliveryStopWaitMs = 5;
// How long stopping waits for messages still queued (receipts, say) to leave.
constexpr int64_t kStopFlushMs = 1000;
// How often the answer to "does this addressee take chunks" is looked up again.
constexpr int64_t kTakesCheckMs = 100;
// A chunk gone from the slot while its live addressee was not listed as a
// pump is looked at this long before it counts as discarded: a stray write
// over the pump table unlists every pump until its next pass lists it again.
constexpr int64_t kRelistMs = 1000;

int32_t readWord(const uint8_t* p) {
    int32_t v;
    std::memcpy(&v, p, 4);  // little-endian on every target
    return v;
}

int32_t kindOf(const ByteBuffer& bytes) { return bytes.length() >= 4 ? readWord(bytes.data()) : -1; }

// A confirmed message reaches its receiver as an ordinary object.
void markAsObject(ByteBuffer& bytes) {
    const int32_t kind = kMessageObject;
    std::memcpy(bytes.data(), &kind, 4);
}

ByteBuffer receiptFor(uint32_t messageId, bool taken) {
    ByteBuffer out;
    const int32_t words[] = {kMessageReceipt, static_cast<int32_t>(messageId), taken ? 1 : 0};
    out.append(words, kReceiptLength);
    return out;
}

}  // namespace

// The delivery thread's queue. A thread left inside a destroyed virtual
// machine never returns; it keeps this record, which is then never freed.
struct InstanceChannel::Delivery {
    std::mutex lock;
    std::condition_variable wake;
    std::deque<PartialMessage*> queue;
    int64_t bytes = 0;
    bool stopping = false;
    bool exited = false;
    InstanceReceiver* receiver = nullptr;
    InstanceChannel* channel = nullptr;
    platform::Thread thread;

    static int run(void* self) {
        auto* d = static_cast<Delivery*>(self);
        for (;;) {
            PartialMessage* m;
            {
                std::unique_lock<std::mutex> guard(d->lock);
                d->wake.wait(guard, [d] { return d->stopping || !d->queue.empty(); });
                if (d->stopping) break;
                m = d->queue.front();
                d->queue.pop_front();
            }
            const int32_t length = m->bytes.length();
            if (kindOf(m->bytes) == kMessageConfirmedObject) {
                markAsObject(m->bytes);
                // The receipt, unless the channel is being stopped (a thread
                // left behind may come back after the channel is gone).
                d->receiver->deliverAnswering(m->sender, length, m->bytes.data(), [d, m](bool taken) {
                    std::lock_guard<std::mutex> guard(d->lock);
                    if (!d->stopping) d->channel->answer(*m, taken);
                });
            } else {
                d->receiver->deliver(m->sender, length, m->bytes.data());
            }
            {
                std::lock_guard<std::mutex> guard(d->lock);
                d->bytes -= length;
            }
            delete m;
        }
        std::lock_guard<std::mutex> guard(d->lock);
        d->exited = true;
        d->wake.notify_all();
        return 0;
    }
    bool backlogFull() {
        std::lock_guard<std::mutex> guard(lock);
        return bytes > kMaxBacklogBytes;
    }
    void push(PartialMessage* m) {
        std::lock_guard<std::mutex> guard(lock);
        bytes += m->bytes.length();
        queue.push_back(m);
        wake.notify_all();
    }
    ~Delivery() {
        for (PartialMessage* m : queue) delete m;
    }
};

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
    pumpStarted_ = pump_.start(&InstanceChannel::pumpThread, this, 0, false);
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
    prunePumps();
}

void InstanceChannel::enqueueMessage(uint32_t target, const uint8_t* bytes, int32_t length) {
    // Pid 0 marks a slot that is being filled, so it cannot be an addressee.
    if (target == 0 || length < 0) return;
    auto* m = new OutgoingMessage;
    m->target = target;
    m->bytes.append(bytes, length);
    {
        platform::MutexLock guard(queueLock_);
        m->seq = ++queuedSeq_;
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

int32_t InstanceChannel::flush(int64_t timeoutMs, int64_t stallMs) {
    uint64_t until;
    {
        platform::MutexLock guard(queueLock_);
        until = queuedSeq_;
    }
    const int64_t start = platform::steadyMs();
    int64_t lastMoveMs = start;
    uint64_t moved = moved_.load(std::memory_order_acquire);
    for (;;) {
        {
            platform::MutexLock guard(queueLock_);
            if (settledSeq_ >= until) break;
        }
        // Only a running pump moves anything (a channel that merely hands
        // over settles its own messages).
        if (!pumping_.load(std::memory_order_acquire)) break;
        const int64_t now = platform::steadyMs();
        const uint64_t m = moved_.load(std::memory_order_acquire);
        if (m != moved) {
            moved = m;
            lastMoveMs = now;
        }
        if (now - start >= timeoutMs || now - lastMoveMs >= stallMs) break;
        platform::sleepMs(10);
    }
    platform::MutexLock guard(queueLock_);
    int32_t missing = settledSeq_ < until ? static_cast<int32_t>(until - settledSeq_) : 0;
    auto reported = std::remove_if(dropped_.begin(), dropped_.end(), [until](uint64_t seq) { return seq <= until; });
    missing += static_cast<int32_t>(dropped_.end() - reported);
    dropped_.erase(reported, dropped_.end());
    return missing;
}

HandOverResult InstanceChannel::handOver(const uint8_t* bytes, int32_t length, int timeoutMs, int confirmMs) {
    ensureHub();
    const uint32_t hub = hubPid();
    if (hub == ownPid_) return HandOverResult::NotTaken;
    const int64_t deadline = platform::steadyMs() + timeoutMs;
    // A hub that is still starting up has no pump yet: it gets one soon.
    while (!isLivePump(hub)) {
        if (!platform::isProcessAlive(hub) || platform::steadyMs() >= deadline) return HandOverResult::NotTaken;
        platform::sleepMs(10);
    }
    // Listed as a pump while it waits, so that no instance discards the
    // receipt on its way here.
    registerPump();
    receipt_ = Receipt{};
    enqueueMessage(hub, bytes, length);
    lastPostedSlot_ = 0;
    uint32_t messageId = 0;
    bool hubAlive = true;
    auto answered = [&] { return receipt_.arrived && receipt_.from == hub && receipt_.messageId == messageId; };
    auto waitUntil = [&](int64_t until) {
        while (!answered() && platform::steadyMs() < until) {
            pumpOnce(nullptr);
            if (lastPostedSlot_ != 0) messageId = lastPostedMessageId_;
            if (answered()) break;
            if (!platform::isProcessAlive(hub)) {
                // A receipt the hub left in the slot before it ended counts.
                pumpOnce(nullptr);
                hubAlive = answered();
                break;
            }
            sync_->wait(lastSeenGeneration_, 10, true);
        }
    };
    waitUntil(deadline);
    HandOverResult result = HandOverResult::NotTaken;
    if (answered()) {
        result = receipt_.taken ? HandOverResult::Delivered : HandOverResult::NotTaken;
        if (!receipt_.taken) debugLog("instances: instance %u did not take the forwarded launch", hub);
    } else if (hubAlive) {
        // Time is up. A launch whose last chunk is still in the slot (a hub
        // stopped by a signal, or whose receiver is not bound yet) is taken
        // back, so that the hub does not open it as well later; when that
        // fails the hub took the whole launch just now.
        bool whole = queueEmpty();
        if (whole && slotTarget(lastPostedSlot_) == hub && releaseSlot(lastPostedSlot_)) {
            debugLog("instances: took the forwarded launch back from instance %u", hub);
            whole = false;
        }
        if (whole) {
            // The hub only takes a confirmed launch's last chunk when its
            // receiver is ready: the launch is on its way to the receiver,
            // and may no longer run here too.
            debugLog("instances: instance %u has the forwarded launch; waiting for its receiver", hub);
            waitUntil(platform::steadyMs() + confirmMs);
            if (answered())
                result = receipt_.taken ? HandOverResult::Delivered : HandOverResult::NotTaken;
            else if (hubAlive)
                result = HandOverResult::Unconfirmed;
        }
    }
    if (!hubAlive) debugLog("instances: instance %u ended before it confirmed the forwarded launch", hub);
    clearQueue();  // what is left must not reach a later hub
    unregisterPump();
    return result;
}

int InstanceChannel::pumpThread(void* channel) {
    static_cast<InstanceChannel*>(channel)->pumpLoop();
    return 0;
}

void InstanceChannel::pumpLoop() {
    while (running_.load(std::memory_order_acquire)) {
        // While a chunk for another instance holds the slot, every instance
        // looks again after a while even when nobody wakes it, so that a chunk
        // nobody consumes cannot block every instance for good.
        sync_->wait(lastSeenGeneration_, judging_ ? static_cast<int>(kRetryIntervalMs) : -1,
                    !partials_.empty() || !queueEmpty());
        if (!running_.load(std::memory_order_acquire)) break;
        PartialMessage* completed = pumpPass(receiver_);
        if (!completed) continue;
        if (takeReceipt(*completed)) {
            delete completed;
        } else if (delivery_) {
            delivery_->push(completed);
        } else {
            deliverCompleted(receiver_, completed);
        }
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
    if (PartialMessage* completed = pumpPass(receiver)) {
        if (takeReceipt(*completed))
            delete completed;
        else
            deliverCompleted(receiver, completed);
    }
}

// Hands a completed message to `receiver` on this thread (a confirmed one is
// answered with a receipt) and frees it.
void InstanceChannel::deliverCompleted(InstanceReceiver* receiver, PartialMessage* m) {
    if (kindOf(m->bytes) == kMessageConfirmedObject) {
        markAsObject(m->bytes);
        if (receiver)
            receiver->deliverAnswering(m->sender, m->bytes.length(), m->bytes.data(),
                                       [this, m](bool taken) { answer(*m, taken); });
        else
            answer(*m, false);
    } else if (receiver) {
        receiver->deliver(m->sender, m->bytes.length(), m->bytes.data());
    }
    delete m;
}

// A receipt is the channel's own business: it is kept (the hand-over waits
// for it), never delivered.
bool InstanceChannel::takeReceipt(const PartialMessage& m) {
    if (kindOf(m.bytes) != kMessageReceipt) return false;
    if (m.bytes.length() >= kReceiptLength) {
        receipt_.from = m.sender;
        receipt_.messageId = static_cast<uint32_t>(readWord(m.bytes.data() + 4));
        receipt_.taken = readWord(m.bytes.data() + 8) == 1;
        receipt_.arrived = true;
    }
    return true;
}

// Whether `target` takes the chunks sent to it: this process, or an instance
// whose pump runs (chunks for others are discarded after a while).
bool InstanceChannel::addresseeTakes(uint32_t target) {
    if (target == ownPid_) return true;
    const int64_t now = platform::steadyMs();
    if (target != takesPid_ || now - takesCheckedMs_ >= kTakesCheckMs) {
        takesPid_ = target;
        takes_ = isLivePump(target);
        takesCheckedMs_ = now;
    }
    return takes_;
}

// Looks whether the chunk this process posted last has left the slot, and
// settles its message: delivered once its last chunk was taken, dropped as
// soon as any chunk was discarded (the rest of it is not sent). False while
// the chunk is still in the slot.
bool InstanceChannel::settleInFlight() {
    if (!inFlight_.active) return true;
    if (inFlight_.leftMs == 0) {
        if (__atomic_load_n(slotWord(*area_), __ATOMIC_ACQUIRE) == inFlight_.slot) return false;
        inFlight_.leftMs = platform::steadyMs();
        moved_.fetch_add(1, std::memory_order_acq_rel);
    }
    const bool taken = addresseeTakes(inFlight_.target);
    if (!taken && addresseeInDoubt()) return false;
    inFlight_.active = false;
    if (taken && !inFlight_.last) return true;
    OutgoingMessage* unsent = nullptr;
    {
        platform::MutexLock guard(queueLock_);
        if (!taken) {
            if (!inFlight_.receipt) dropped_.push_back(inFlight_.seq);
            if (!inFlight_.last && head_ && head_->seq == inFlight_.seq) {
                unsent = head_;
                head_ = head_->next;
                if (!head_) tail_ = nullptr;
            }
        }
        settledSeq_ = std::max(settledSeq_, inFlight_.seq);
    }
    // (A receipt's addressee, a forwarded launch, may well have ended already.)
    if (!taken && !inFlight_.receipt)
        debugLog("instances: a message to %u was not delivered (its addressee takes none now)", inFlight_.target);
    delete unsent;
    return true;
}

// The addressee of a chunk gone from the slot lives but is not listed as a
// pump: only a chunk for an instance without one is discarded, but a stray
// write may have emptied the table. Until the addressee's pump had time to
// list itself again the chunk is in doubt; listed by then, it was taken.
bool InstanceChannel::addresseeInDoubt() {
    const uint32_t target = inFlight_.target;
    if (platform::steadyMs() - inFlight_.leftMs >= kRelistMs || !platform::isProcessAlive(target)) return false;
    if (isLivePump(target)) {
        takesPid_ = target;
        takes_ = true;
        takesCheckedMs_ = platform::steadyMs();
        return false;
    }
    return true;
}

// The chunk for this process in the slot is the last one of a confirmed
// message that its receiver cannot take yet: it stays there, where its
// sender can still take it back, rather than wait inside this process.
bool InstanceChannel::awaitsReceiver(InstanceReceiver* receiver) {
    if (!receiver || receiver->ready()) return false;
    const SharedInstanceArea& a = *area_;
    const int32_t index = loadShared(a.chunkIndex);
    if (index != loadShared(a.lastChunkIndex)) return false;
    const uint32_t sender = loadShared(a.senderPid);
    int32_t kind = -1;
    if (index == 0) {
        if (loadShared(a.chunkLength) >= 4) kind = readWord(a.chunkData);
    } else {
        const uint32_t id = loadShared(a.messageId);
        for (PartialMessage* p : partials_)
            if (p->messageId == id && p->sender == sender) kind = kindOf(p->bytes);
    }
    // A sender that is gone waits for nothing: its launch goes to the
    // receiver whenever one is bound.
    return kind == kMessageConfirmedObject && platform::isProcessAlive(sender);
}

// How long this instance has seen the chunk `slot` (addressee and serial)
// pending; 0 when it is a chunk not seen before.
int64_t InstanceChannel::pendingFor(uint64_t slot) {
    const int64_t now = platform::steadyMs();
    if (!observing_ || slot != observedSlot_) {
        observing_ = true;
        observedSlot_ = slot;
        observedSinceMs_ = now;
    }
    return now - observedSinceMs_;
}

// A chunk for another instance (or one being filled) holds the slot: leave it,
// or discard it when its addressee is gone or will never take it.
void InstanceChannel::judgePendingChunk(uint64_t slot, bool& wake, bool& holdOff) {
    const uint32_t target = slotTarget(slot);
    if (isHub()) countPendingWakeUp();
    const int64_t pendingMs = pendingFor(slot);
    const bool unresponsive = loadShared(area_->retries) > kMaxRetries || pendingMs > kUnresponsiveMs;
    const char* why = nullptr;
    if (target == 0) {
        if (pendingMs > kHalfWrittenMs ||
            (loadShared(area_->retries) > kMaxRetries && !platform::isProcessAlive(loadShared(area_->senderPid))))
            why = "left half written";
    } else if (!platform::isProcessAlive(target)) {
        why = "addressee gone";
    } else if (!isLivePump(target) && unresponsive) {
        // A running pump takes every chunk for it however slow its receiver
        // is; an instance without one never will.
        why = "addressee has no pump";
    }
    if (!why) {
        holdOff = true;
        return;
    }
    if (releaseSlot(slot))
        debugLog("instances: dropped a chunk of message %u from %u to %u (%s, retries %d)",
                 loadShared(area_->messageId), loadShared(area_->senderPid), target, why, loadShared(area_->retries));
    wake = true;
}

InstanceChannel::PartialMessage* InstanceChannel::pumpPass(InstanceReceiver* receiver) {
    lastSeenGeneration_ = loadShared(area_->generation);
    ensureHub();
    relistPump();

    const bool wasInDoubt = inFlight_.active && inFlight_.leftMs != 0;
    settleInFlight();
    const bool inDoubt = inFlight_.active && inFlight_.leftMs != 0;
    PartialMessage* completed = nullptr;
    bool wake = false;
    bool holdOff = false;
    const int32_t busy = loadShared(area_->busy);
    if (busy != 0 && busy != 1) {
        // No instance writes any other value: a stray word, set right.
        if (casShared(area_->busy, busy, 0)) debugLog("instances: the slot's busy word read %d; freed", busy);
        wake = true;
    } else if (busy == 1) {
        const uint64_t slot = __atomic_load_n(slotWord(*area_), __ATOMIC_ACQUIRE);
        if (slotTarget(slot) != ownPid_) {
            judgePendingChunk(slot, wake, holdOff);
        } else if (slot == heldSlot_.load(std::memory_order_acquire)) {
            holdOff = true;  // a confirmed message's receiver has it: its receipt comes here
        } else if ((delivery_ && delivery_->backlogFull()) || awaitsReceiver(receiver)) {
            holdOff = true;  // the receiver catches up (or is bound) first
        } else {
            completed = receiveChunk(slot);
            wake = true;
        }
    }
    // In doubt about the last chunk's addressee: its pump is woken to list
    // itself, and this one looks again soon.
    if (inDoubt && (!wasInDoubt || platform::steadyMs() - doubtWokeMs_ >= kRetryIntervalMs)) {
        wake = true;
        doubtWokeMs_ = platform::steadyMs();
    }
    judging_ = holdOff || inDoubt;
    if (!holdOff) observing_ = false;
    if (!holdOff && loadShared(area_->busy) == 0 && postNextChunk()) wake = true;
    if (wake) sync_->wakeAll();
    return completed;
}

bool InstanceChannel::postNextChunk() {
    // Settled first: settling may drop the head message.
    if (!settleInFlight()) return false;
    OutgoingMessage* m;
    {
        platform::MutexLock guard(queueLock_);
        m = head_;
    }
    if (!m || !sync_->claimSlot()) return false;
    SharedInstanceArea& a = *area_;
    storeShared(a.targetPid, 0u);  // being filled, whatever a stray word left there
    const auto serial = static_cast<uint32_t>(__atomic_fetch_add(&a.nextSerial, 1, __ATOMIC_ACQ_REL));
    storeShared(a.serial, serial);
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
    // What the slot word reads until the chunk leaves (read back, it may
    // already be released).
    lastPostedSlot_ = (uint64_t{serial} << 32) | m->target;
    lastPostedMessageId_ = m->messageId;
    m->posted += kChunkCapacity;
    inFlight_ =
        InFlight{true, lastPostedSlot_, m->target, m->seq, m->posted >= length, kindOf(m->bytes) == kMessageReceipt};
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
    const bool valid = length >= 0 && length <= kChunkCapacity && index >= 0 && index <= last && total <= 0x7fffffffu &&
                       static_cast<int64_t>(last) * kChunkCapacity < int64_t{total} + kChunkCapacity;
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
    if (completed && kindOf(completed->bytes) == kMessageConfirmedObject) {
        // Its sender may have taken it back meanwhile: then it runs there.
        if (holdSlot(slot, *completed)) return completed;
        debugLog("instances: message %u from %u was taken back by its sender", id, sender);
        delete completed;
        return nullptr;
    }
    releaseSlot(slot);
    return completed;
}

// The last chunk of a confirmed message stays in the slot, under a serial of
// its own, while its receiver has the message: its sender can no longer take
// it back, and this process cannot lose the answer by ending before it has
// posted it (the receipt later takes the chunk's place in one store). Other
// instances never discard a chunk for a live pump, so the slot waits for the
// receiver.
bool InstanceChannel::holdSlot(uint64_t seen, PartialMessage& m) {
    const auto serial = static_cast<uint32_t>(__atomic_fetch_add(&area_->nextSerial, 1, __ATOMIC_ACQ_REL));
    const uint64_t held = (uint64_t{serial} << 32) | ownPid_;
    uint64_t expected = seen;
    if (!__atomic_compare_exchange_n(slotWord(*area_), &expected, held, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
        return false;
    m.heldSlot = held;
    heldSlot_.store(held, std::memory_order_release);
    return true;
}

// Answers a confirmed message: in the slot it holds when it still can, else
// through the queue.
void InstanceChannel::answer(const PartialMessage& m, bool taken) {
    if (answerInSlot(m, taken)) return;
    const ByteBuffer r = receiptFor(m.messageId, taken);
    enqueueMessage(m.sender, r.data(), r.length());
}

// Turns the held chunk into the receipt for its sender. The slot is first
// marked as being filled (addressee 0) under a new serial, so that nothing is
// written when the held chunk was discarded meanwhile; the receipt's
// addressee, written last, makes it complete. A process that ends before
// that store leaves a half-written chunk (freed by the others after a
// while) and its sender runs the launch itself.
bool InstanceChannel::answerInSlot(const PartialMessage& m, bool taken) {
    uint64_t held = m.heldSlot;
    if (held == 0) return false;
    heldSlot_.compare_exchange_strong(held, 0, std::memory_order_acq_rel);
    SharedInstanceArea& a = *area_;
    const auto serial = static_cast<uint32_t>(__atomic_fetch_add(&a.nextSerial, 1, __ATOMIC_ACQ_REL));
    uint64_t expected = m.heldSlot;
    if (!__atomic_compare_exchange_n(slotWord(a), &expected, uint64_t{serial} << 32, false, __ATOMIC_ACQ_REL,
                                     __ATOMIC_ACQUIRE))
        return false;
    const ByteBuffer r = receiptFor(m.messageId, taken);
    storeShared(a.senderPid, ownPid_);
    storeShared(a.retries, 0);
    storeShared(a.messageId, static_cast<uint32_t>(__atomic_fetch_add(&a.nextMessageId, 1, __ATOMIC_ACQ_REL)));
    storeShared(a.chunkCapacity, kChunkCapacity);
    storeShared(a.totalLength, static_cast<uint32_t>(kReceiptLength));
    storeShared(a.lastChunkIndex, 0);
    storeShared(a.chunkIndex, 0);
    storeShared(a.chunkLength, kReceiptLength);
    std::memcpy(a.chunkData, r.data(), kReceiptLength);
    storeShared(a.targetPid, m.sender);  // last: the receipt is complete now
    sync_->wakeAll();
    return true;
}

}  // namespace hux
