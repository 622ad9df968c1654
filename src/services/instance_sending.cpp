// The sending side of the instance channel: the queue of outgoing messages,
// posting them a chunk at a time, settling each chunk once it leaves the
// slot, the hand-over of a forwarded launch and the receipts.
#include "services/instances.h"

#include <algorithm>
#include <cstring>

#include "config/debug_log.h"
#include "platform/instance_sync.h"
#include "platform/process.h"
#include "platform/threads.h"
#include "services/instance_area.h"
#include "services/instance_delivery.h"

namespace hux {

namespace {

// How often the answer to "does this addressee take chunks" is looked up again.
constexpr int64_t kTakesCheckMs = 100;
// A chunk gone from the slot while its live addressee was not listed as a
// pump is looked at this long before it counts as discarded: a stray write
// over the pump table unlists every pump until its next pass lists it again.
constexpr int64_t kRelistMs = 1000;

ByteBuffer receiptFor(uint32_t messageId, bool taken) {
    ByteBuffer out;
    const int32_t words[] = {kMessageReceipt, static_cast<int32_t>(messageId), taken ? 1 : 0};
    out.append(words, kReceiptLength);
    return out;
}

}  // namespace

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
