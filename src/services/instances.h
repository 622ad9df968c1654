// This process's registration in the area shared by all running instances of
// one application, and messaging between them: every instance lists its pid,
// one instance is the hub, and a one-chunk mailbox carries byte messages of any
// length between instances, 1024 bytes at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "common/byte_string.h"
#include "platform/mutex.h"
#include "platform/threads.h"

namespace hux {

struct SharedInstanceArea;
namespace platform {
class InstanceSync;
}

// The first word of every message says what it carries.
constexpr int32_t kMessageObject = 0;  // a serialised object
// The answer to a confirmed object: the word, the message id it answers and
// 1 when the receiver took the object, 0 when it did not.
constexpr int32_t kMessageReceipt = 1;
// A serialised object whose sender waits for a receipt (a forwarded launch).
// Its receiver sees it as an ordinary object. Instances that do not know the
// kind drop it, so its sender never takes their silence for delivery.
constexpr int32_t kMessageConfirmedObject = 2;
constexpr int32_t kReceiptLength = 12;

// Receives the completed messages addressed to this process, on the pump thread.
class InstanceReceiver {
public:
    virtual ~InstanceReceiver() = default;
    virtual void deliver(uint32_t sender, int32_t length, const uint8_t* bytes) = 0;
    // A message whose sender waits for a receipt (its kind word already reads
    // as an ordinary object): true once the receiver has taken it.
    virtual bool deliverConfirmed(uint32_t sender, int32_t length, const uint8_t* bytes) {
        deliver(sender, length, bytes);
        return true;
    }
    // The same, calling `answered` once with the result as soon as it is
    // known (a receiver in a virtual machine does so before it leaves it), so
    // that the sender's receipt does not wait for the receiver's own teardown.
    virtual void deliverAnswering(uint32_t sender, int32_t length, const uint8_t* bytes,
                                  const std::function<void(bool)>& answered) {
        answered(deliverConfirmed(sender, length, bytes));
    }
    // Whether a confirmed message taken now would reach the receiver soon;
    // until then its last chunk stays in the slot, where its sender can take
    // it back.
    virtual bool ready() { return true; }
};

// How a hand-over ended.
enum class HandOverResult {
    Delivered,    // the receiver confirmed it
    NotTaken,     // the receiver never got it (or refused it): the launch may run here
    Unconfirmed,  // the receiving instance has it, but no receipt came in time
};

class InstanceChannel {
public:
    explicit InstanceChannel(void* area);
    InstanceChannel(const InstanceChannel&) = delete;
    InstanceChannel& operator=(const InstanceChannel&) = delete;
    ~InstanceChannel();

    // Starts the receiving side with the default receiver (the Java binding,
    // custom mode); at most once.
    void startMessaging();
    // Starts the pump delivering to `receiver`; false when it already runs.
    bool startPump(InstanceReceiver* receiver);
    // Stops the receiving side and waits for the pump, then takes this
    // process out of the instance list. The channel stays usable by threads
    // that still call in (they find no pump and no registration). A delivery
    // stuck inside a virtual machine that has been destroyed is not waited for.
    void stop();
    void* area() const { return area_; }

    uint32_t ownPid() const { return ownPid_; }
    uint32_t hubPid() const;
    // The hub first, then the registered instances (after pruning dead ones).
    std::vector<uint32_t> instances();

    // Queues a message for `target`; any thread.
    void enqueueMessage(uint32_t target, const uint8_t* bytes, int32_t length);
    bool queueEmpty();
    // Waits until every message queued before the call has reached its
    // addressee's process or has been dropped, at most `timeoutMs` in all and
    // `stallMs` without any chunk of this process moving. Returns how many of
    // those messages were not delivered: dropped (reported once), or still on
    // their way when time ran out (they stay queued). Any thread.
    int32_t flush(int64_t timeoutMs, int64_t stallMs);

    // Hands `bytes` (a confirmed message) to the hub without a pump of this
    // process's own: posts it chunk by chunk on the calling thread and waits
    // for the hub's receipt, at most `timeoutMs`. Past that, a launch still in
    // the slot is taken back (NotTaken); one the hub took already is its own:
    // its receipt is awaited while the hub lives, at most `confirmMs` more.
    // Nothing is left queued afterwards.
    HandOverResult handOver(const uint8_t* bytes, int32_t length, int timeoutMs, int confirmMs);

    // Elects or follows the hub (construction and every pump pass).
    void ensureHub();
    // Removes dead instances and the hub from the list.
    void pruneInstances();
    // One pass of the pump without waiting: inspects the slot, posts the next
    // chunk of the head message and hands a completed message to `receiver`.
    void pumpOnce(InstanceReceiver* receiver);
    // Whether `pid` is an instance whose pump runs (a chunk for it is never
    // discarded).
    bool isLivePump(uint32_t pid);

private:
    struct OutgoingMessage {
        uint32_t target = 0;
        ByteBuffer bytes;
        OutgoingMessage* next = nullptr;
        int32_t posted = 0;
        uint32_t messageId = 0;
        uint64_t seq = 0;  // this process's count of queued messages
    };
    struct PartialMessage {
        uint32_t messageId = 0;
        uint32_t sender = 0;
        int32_t expectedIndex = 0;
        ByteBuffer bytes;
        // A confirmed message keeps its last chunk in the slot, under this
        // word, until its receipt takes that place (0: none held).
        uint64_t heldSlot = 0;
    };

    struct Delivery;

    // The chunk of this process last posted, until it leaves the slot.
    struct InFlight {
        bool active = false;
        uint64_t slot = 0;
        uint32_t target = 0;
        uint64_t seq = 0;
        bool last = false;
        bool receipt = false;  // the channel's own: never reported by flush
        int64_t leftMs = 0;    // when it was seen gone from the slot (0: still there)
    };
    struct Receipt {
        uint32_t from = 0;
        uint32_t messageId = 0;
        bool taken = false;
        bool arrived = false;
    };

    static int pumpThread(void* channel);
    bool settleInFlight();
    bool takeReceipt(const PartialMessage& m);
    void deliverCompleted(InstanceReceiver* receiver, PartialMessage* m);
    bool awaitsReceiver(InstanceReceiver* receiver);
    bool addresseeTakes(uint32_t target);
    void pumpLoop();
    PartialMessage* pumpPass(InstanceReceiver* receiver);
    void judgePendingChunk(uint64_t slot, bool& wake, bool& holdOff);
    int64_t pendingFor(uint64_t slot);
    void registerPump();
    void unregisterPump();
    void relistPump();
    void appendPumpEntry();
    bool listedInPumpTable();
    bool addresseeInDoubt();
    void unregisterInstance();
    void prunePumps();
    void stopDelivery();
    void clearQueue();
    PartialMessage* receiveChunk(uint64_t slot);
    bool releaseSlot(uint64_t seen);
    bool holdSlot(uint64_t seen, PartialMessage& m);
    bool answerInSlot(const PartialMessage& m, bool taken);
    void answer(const PartialMessage& m, bool taken);
    bool postNextChunk();
    void countPendingWakeUp();
    bool isHub() const { return knownHub_ == ownPid_; }

    SharedInstanceArea* area_;
    uint32_t ownPid_;
    uint32_t ownToken_;  // this process's start token, as its pump entry holds it
    uint32_t knownHub_ = 0;
    int32_t lastSeenGeneration_ = 0;
    std::unique_ptr<platform::InstanceSync> sync_;
    platform::Mutex queueLock_;
    InstanceReceiver* receiver_ = nullptr;
    std::atomic<bool> running_{true};  // cleared once by stop(); read by the pump
    OutgoingMessage* head_ = nullptr;
    OutgoingMessage* tail_ = nullptr;
    std::vector<PartialMessage*> partials_;
    platform::Thread pump_;
    bool pumpStarted_ = false;
    // Completed messages go to a thread of their own, so that a slow receiver
    // never keeps the pump from emptying the slot.
    Delivery* delivery_ = nullptr;
    // The pending chunk this instance last looked at, and since when.
    bool observing_ = false;
    uint64_t observedSlot_ = 0;
    uint64_t lastPostedSlot_ = 0;  // addressee and serial of this process's last chunk
    uint32_t lastPostedMessageId_ = 0;
    int64_t observedSinceMs_ = 0;
    // The hub counts a pending chunk's wake-ups at most once per this interval,
    // so that a live but busy addressee is not judged unresponsive by a burst.
    uint32_t countedSerial_ = 0;
    int64_t lastCountMs_ = 0;
    bool judging_ = false;              // the last pass left a pending chunk to look at again
    std::atomic<bool> pumping_{false};  // the pump thread runs
    // This process's entry belongs in the pump table (changed under the hub's lock).
    std::atomic<bool> listedAsPump_{false};
    // Delivery of this process's messages (for flush), under queueLock_:
    // messages are queued and settled (delivered or dropped) in order.
    uint64_t queuedSeq_ = 0;
    uint64_t settledSeq_ = 0;
    std::vector<uint64_t> dropped_;   // not yet reported by flush
    std::atomic<uint64_t> moved_{0};  // chunks of this process that left the slot
    InFlight inFlight_;               // pump thread (or the handing-over thread) only
    int64_t doubtWokeMs_ = 0;         // likewise: when a chunk in doubt last woke the group
    Receipt receipt_;                 // likewise
    // The slot word under which this process holds the last chunk of a
    // confirmed message while its receiver has it (0: none). Set by the
    // pump, cleared by whoever answers.
    std::atomic<uint64_t> heldSlot_{0};
    // Whether an addressee takes chunks, looked up at most every 100 ms.
    uint32_t takesPid_ = 0;
    bool takes_ = false;
    int64_t takesCheckedMs_ = 0;
};

}  // namespace hux
