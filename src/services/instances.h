// This process's registration in the area shared by all running instances of
// one application, and messaging between them: every instance lists its pid,
// one instance is the hub, and a one-chunk mailbox carries byte messages of any
// length between instances, 1024 bytes at a time.
#pragma once

#include <atomic>
#include <cstdint>
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

// Receives the completed messages addressed to this process, on the pump thread.
class InstanceReceiver {
public:
    virtual ~InstanceReceiver() = default;
    virtual void deliver(uint32_t sender, int32_t length, const uint8_t* bytes) = 0;
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

    // Hands `bytes` to the hub without a pump of this process's own: posts
    // the message chunk by chunk on the calling thread and waits until the hub
    // has taken the last chunk from the slot, at most `timeoutMs`. False (and
    // nothing left queued) when there is no other live hub with a running
    // pump, or the hand-over did not complete.
    bool handOver(const uint8_t* bytes, int32_t length, int timeoutMs);

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
    };
    struct PartialMessage {
        uint32_t messageId = 0;
        uint32_t sender = 0;
        int32_t expectedIndex = 0;
        ByteBuffer bytes;
    };

    struct Delivery;

    static int pumpThread(void* channel);
    void pumpLoop();
    PartialMessage* pumpPass();
    void judgePendingChunk(uint64_t slot, bool& wake, bool& holdOff);
    int64_t pendingFor(uint64_t slot);
    void registerPump();
    void unregisterPump();
    void unregisterInstance();
    void prunePumps();
    void stopDelivery();
    void clearQueue();
    PartialMessage* receiveChunk(uint64_t slot);
    bool releaseSlot(uint64_t seen);
    bool postNextChunk();
    void countPendingWakeUp();
    bool isHub() const { return knownHub_ == ownPid_; }

    SharedInstanceArea* area_;
    uint32_t ownPid_;
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
    int64_t observedSinceMs_ = 0;
    // The hub counts a pending chunk's wake-ups at most once per this interval,
    // so that a live but busy addressee is not judged unresponsive by a burst.
    uint32_t countedSerial_ = 0;
    int64_t lastCountMs_ = 0;
    bool judging_ = false;  // the last pass left a pending chunk to look at again
};

}  // namespace hux
