// The receiving side of the instance channel: the pump's passes over the
// slot, judging chunks for other instances, collecting chunks into messages
// and handing completed ones on.
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

}  // namespace

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

}  // namespace hux
