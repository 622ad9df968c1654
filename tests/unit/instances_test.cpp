// The instance channel on an in-process area: hub election and pruning,
// chunking at the 1024-byte boundaries, reassembly and the slot's discard rules.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/instance_sync.h"
#include "platform/mutex.h"
#include "platform/process.h"
#include "platform/threads.h"
#include "services/instance_area.h"
#include "services/instances.h"

using namespace hux;

namespace {

// No process has this id on the test machines (Linux pids stay below 2^22,
// Windows ids are small multiples of 4).
constexpr uint32_t kDeadPid = 0x7ffffff1;

struct Delivery {
    uint32_t sender;
    std::vector<uint8_t> bytes;
};

class Recorder : public InstanceReceiver {
public:
    void deliver(uint32_t sender, int32_t length, const uint8_t* bytes) override {
        platform::MutexLock guard(lock);
        got.push_back({sender, std::vector<uint8_t>(bytes, bytes + length)});
    }
    size_t count() {
        platform::MutexLock guard(lock);
        return got.size();
    }
    // A flushed message has reached this process; the pump hands it to the
    // receiver right after, on its own thread.
    size_t countOnceAtLeast(size_t n) {
        for (int i = 0; i < 500 && count() < n; ++i) platform::sleepMs(10);
        return count();
    }
    platform::Mutex lock;
    std::vector<Delivery> got;
};

std::vector<uint8_t> pattern(size_t n, int seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 131 + seed * 7 + (i >> 10));
    return v;
}

class InstanceChannelTest : public ::testing::Test {
protected:
    InstanceChannelTest() { std::memset(block_, 0, sizeof block_); }
    SharedInstanceArea& area() { return *reinterpret_cast<SharedInstanceArea*>(block_); }

    // Places a chunk from another process in the slot, addressed to `target`.
    void postForeign(uint32_t sender, uint32_t id, int32_t index, const std::vector<uint8_t>& message,
                     uint32_t target) {
        SharedInstanceArea& a = area();
        a.senderPid = sender;
        a.messageId = id;
        a.chunkIndex = index;
        a.totalLength = static_cast<uint32_t>(message.size());
        a.lastChunkIndex = message.empty() ? 0 : static_cast<int32_t>((message.size() - 1) / 1024);
        a.chunkCapacity = 1024;
        const size_t offset = static_cast<size_t>(index) * 1024;
        a.chunkLength = static_cast<int32_t>(std::min<size_t>(message.size() - offset, 1024));
        std::memcpy(a.chunkData, message.data() + offset, static_cast<size_t>(a.chunkLength));
        a.serial = static_cast<uint32_t>(a.nextSerial++);
        a.retries = 0;
        a.targetPid = target;
        a.busy = 1;
    }

    alignas(8) unsigned char block_[4096];
    Recorder recorder_;
};

}  // namespace

TEST_F(InstanceChannelTest, FirstChannelBecomesHubAndPrunesDeadEntries) {
    area().hubMutex = kDeadPid;  // where the lock is a word, a dead process left it held
    area().instanceCount = 3;
    area().instancePids[0] = kDeadPid;
    area().instancePids[1] = kDeadPid + 2;
    area().instancePids[2] = kDeadPid + 4;
    InstanceChannel channel(block_);
    EXPECT_EQ(area().hubPid, platform::currentProcessId());
    // The hub's own entry is pruned and reported first instead.
    EXPECT_EQ(channel.instances(), std::vector<uint32_t>{platform::currentProcessId()});
    EXPECT_EQ(area().instanceCount, 0);
    // A later registration prunes the hub's own entry and lists itself.
    InstanceChannel second(block_);
    EXPECT_EQ(area().instanceCount, 1);
}

TEST_F(InstanceChannelTest, AStoppedChannelLeavesTheListAndStaysUsable) {
    InstanceChannel hub(block_);
    InstanceChannel second(block_);
    ASSERT_EQ(area().instanceCount, 1);
    ASSERT_TRUE(second.startPump(&recorder_));
    second.stop();
    EXPECT_EQ(area().instanceCount, 0);
    EXPECT_EQ(area().pumpCount, 0);
    // Threads still calling in after the stop find the hub and no trace of it.
    EXPECT_EQ(second.instances(), std::vector<uint32_t>{platform::currentProcessId()});
    const std::vector<uint8_t> m = pattern(10, 3);
    second.enqueueMessage(second.ownPid(), m.data(), 10);
    EXPECT_EQ(area().instanceCount, 0);
}

TEST_F(InstanceChannelTest, TakesOverFromADeadHub) {
    area().hubPid = kDeadPid;
    InstanceChannel channel(block_);
    EXPECT_EQ(channel.hubPid(), platform::currentProcessId());
}

TEST_F(InstanceChannelTest, MessagesToItselfAreChunkedAtTheCapacity) {
    InstanceChannel channel(block_);
    struct Case {
        size_t length;
        int chunks;
    } cases[] = {{0, 1}, {1, 1}, {1023, 1}, {1024, 1}, {1025, 2}, {2048, 2}, {2049, 3}, {1 << 20, 1024}};
    int seed = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        const std::vector<uint8_t> message = pattern(c.length, ++seed);
        const int32_t serialBefore = area().nextSerial;
        Recorder recorder;
        channel.enqueueMessage(channel.ownPid(), message.data(), static_cast<int32_t>(message.size()));
        // Each pass consumes the chunk in the slot and posts the next one.
        for (int pass = 0; pass < c.chunks + 2; ++pass) channel.pumpOnce(&recorder);
        EXPECT_EQ(area().nextSerial - serialBefore, c.chunks);
        ASSERT_EQ(recorder.got.size(), 1u);
        EXPECT_EQ(recorder.got[0].sender, channel.ownPid());
        EXPECT_TRUE(recorder.got[0].bytes == message);
        EXPECT_TRUE(channel.queueEmpty());
        EXPECT_EQ(area().busy, 0);
        EXPECT_EQ(area().targetPid, 0u);
    }
}

TEST_F(InstanceChannelTest, ReassemblesInterleavedMessagesAndDropsBrokenOnes) {
    InstanceChannel channel(block_);
    const uint32_t self = channel.ownPid();
    const std::vector<uint8_t> a = pattern(2500, 1), b = pattern(1500, 2), c = pattern(3000, 3);
    // Two senders' messages interleaved chunk by chunk.
    postForeign(101, 7, 0, a, self);
    channel.pumpOnce(&recorder_);
    postForeign(202, 8, 0, b, self);
    channel.pumpOnce(&recorder_);
    postForeign(101, 7, 1, a, self);
    channel.pumpOnce(&recorder_);
    postForeign(202, 8, 1, b, self);
    channel.pumpOnce(&recorder_);
    postForeign(101, 7, 2, a, self);
    channel.pumpOnce(&recorder_);
    ASSERT_EQ(recorder_.got.size(), 2u);
    EXPECT_EQ(recorder_.got[0].sender, 202u);
    EXPECT_TRUE(recorder_.got[0].bytes == b);
    EXPECT_EQ(recorder_.got[1].sender, 101u);
    EXPECT_TRUE(recorder_.got[1].bytes == a);

    // A skipped chunk drops the message; its later chunks are orphans.
    postForeign(101, 9, 0, c, self);
    channel.pumpOnce(&recorder_);
    postForeign(101, 9, 2, c, self);
    channel.pumpOnce(&recorder_);
    postForeign(101, 9, 1, c, self);
    channel.pumpOnce(&recorder_);
    // Same id from another sender is another message: an orphan.
    postForeign(303, 7, 1, a, self);
    channel.pumpOnce(&recorder_);
    EXPECT_EQ(recorder_.got.size(), 2u);
    EXPECT_EQ(area().busy, 0);

    // A message cut short by its sender is dropped when the next one starts.
    postForeign(101, 10, 0, c, self);
    channel.pumpOnce(&recorder_);
    postForeign(101, 11, 0, b, self);
    channel.pumpOnce(&recorder_);
    postForeign(101, 10, 1, c, self);
    channel.pumpOnce(&recorder_);
    postForeign(101, 11, 1, b, self);
    channel.pumpOnce(&recorder_);
    ASSERT_EQ(recorder_.got.size(), 3u);
    EXPECT_TRUE(recorder_.got[2].bytes == b);
}

TEST_F(InstanceChannelTest, ChunksWithImpossibleFieldsAreDropped) {
    InstanceChannel channel(block_);
    const uint32_t self = channel.ownPid();
    const std::vector<uint8_t> m = pattern(100, 4);
    struct Corrupt {
        const char* what;
        void (*apply)(SharedInstanceArea&);
    } corruptions[] = {
        {"length over capacity", [](SharedInstanceArea& a) { a.chunkLength = 5000; }},
        {"negative length", [](SharedInstanceArea& a) { a.chunkLength = -1; }},
        {"index past last", [](SharedInstanceArea& a) { a.chunkIndex = 3; }},
        {"longer than total", [](SharedInstanceArea& a) { a.totalLength = 10; }},
        {"last index beyond total", [](SharedInstanceArea& a) { a.lastChunkIndex = 9; }},
    };
    for (const Corrupt& c : corruptions) {
        SCOPED_TRACE(c.what);
        postForeign(101, 20, 0, m, self);
        c.apply(area());
        channel.pumpOnce(&recorder_);
        EXPECT_EQ(area().busy, 0);
    }
    EXPECT_TRUE(recorder_.got.empty());
}

TEST_F(InstanceChannelTest, SlotRulesForOtherAddressees) {
    InstanceChannel channel(block_);
    const std::vector<uint8_t> m = pattern(10, 5);
    // Addressed to a process that is gone: discarded by whoever looks.
    postForeign(101, 30, 0, m, kDeadPid);
    channel.pumpOnce(&recorder_);
    EXPECT_EQ(area().busy, 0);
    EXPECT_EQ(area().targetPid, 0u);

    // Being filled by a live poster: left alone.
    postForeign(channel.ownPid(), 31, 0, m, 0);
    area().retries = 50;
    channel.pumpOnce(&recorder_);
    EXPECT_EQ(area().busy, 1);
    // Left half written by a poster that died: discarded once the hub has
    // counted enough wake-ups.
    area().senderPid = kDeadPid;
    area().retries = 5;
    channel.pumpOnce(&recorder_);
    EXPECT_EQ(area().busy, 1);
    area().retries = 11;
    channel.pumpOnce(&recorder_);
    EXPECT_EQ(area().busy, 0);
    EXPECT_TRUE(recorder_.got.empty());

    // The queue waits while the slot is taken and posts once it is free.
    postForeign(channel.ownPid(), 32, 0, m, 0);
    channel.enqueueMessage(channel.ownPid(), m.data(), 10);
    channel.pumpOnce(&recorder_);
    EXPECT_FALSE(channel.queueEmpty());
    area().targetPid = 0;
    area().busy = 0;
    channel.pumpOnce(&recorder_);
    channel.pumpOnce(&recorder_);
    ASSERT_EQ(recorder_.got.size(), 1u);
    EXPECT_TRUE(recorder_.got[0].bytes == m);
}

TEST_F(InstanceChannelTest, PumpThreadDeliversAndStops) {
    InstanceChannel channel(block_);
    ASSERT_TRUE(channel.startPump(&recorder_));
    EXPECT_FALSE(channel.startPump(&recorder_));
    for (int i = 0; i < 20; ++i) {
        const std::vector<uint8_t> m = pattern(static_cast<size_t>(i) * 300, i);
        channel.enqueueMessage(channel.ownPid(), m.data(), static_cast<int32_t>(m.size()));
    }
    for (int i = 0; i < 500 && recorder_.count() < 20; ++i) platform::sleepMs(10);
    ASSERT_EQ(recorder_.count(), 20u);
    for (int i = 0; i < 20; ++i) EXPECT_TRUE(recorder_.got[i].bytes == pattern(static_cast<size_t>(i) * 300, i)) << i;
    const int64_t before = platform::steadyMs();
    channel.stop();  // wakes the waiting pump and joins it
    EXPECT_LT(platform::steadyMs() - before, 1000);
}

TEST_F(InstanceChannelTest, StrayAndHalfWrittenSlotsAreFreed) {
    InstanceChannel channel(block_);
    // No instance writes a busy value other than 0 or 1: freed at the first look.
    area().busy = 2;
    channel.pumpOnce(&recorder_);
    EXPECT_EQ(area().busy, 0);
    area().busy = -1;
    channel.pumpOnce(&recorder_);
    EXPECT_EQ(area().busy, 0);

    // Left half written with a live sender (a stray word): no retries are
    // counted, yet it is freed after about a second.
    const std::vector<uint8_t> m = pattern(10, 6);
    postForeign(channel.ownPid(), 40, 0, m, 0);
    const int64_t start = platform::steadyMs();
    while (area().busy == 1 && platform::steadyMs() - start < 3000) {
        area().retries = 0;
        channel.pumpOnce(&recorder_);
        platform::sleepMs(20);
    }
    const int64_t took = platform::steadyMs() - start;
    EXPECT_EQ(area().busy, 0);
    EXPECT_GE(took, 900);
    EXPECT_LE(took, 2000);
}

TEST_F(InstanceChannelTest, RunningPumpsAreListedWhileTheyRun) {
    area().pumpCount = 3;
    area().pumps[0] = {kDeadPid, 1};
    // This process's pid with another process's start token: a reused pid.
    area().pumps[1] = {platform::currentProcessId(), platform::processStartToken(platform::currentProcessId()) ^ 2};
    area().pumps[2] = {kDeadPid + 2, 0};
    InstanceChannel channel(block_);
    channel.instances();  // prunes
    EXPECT_EQ(area().pumpCount, 0);
    EXPECT_FALSE(channel.isLivePump(channel.ownPid()));

    ASSERT_TRUE(channel.startPump(&recorder_));
    EXPECT_TRUE(channel.isLivePump(channel.ownPid()));
    EXPECT_EQ(area().pumpCount, 1);
    channel.stop();
    EXPECT_FALSE(channel.isLivePump(channel.ownPid()));
    EXPECT_EQ(area().pumpCount, 0);
    // Out-of-range counts read as an empty or full table, never beyond it.
    area().pumpCount = -5;
    EXPECT_FALSE(channel.isLivePump(channel.ownPid()));
    area().pumpCount = 1 << 30;
    EXPECT_FALSE(channel.isLivePump(kDeadPid));
}

namespace {

// A receiver that takes its time, or blocks until released.
class SlowReceiver : public InstanceReceiver {
public:
    explicit SlowReceiver(int ms) : ms_(ms) {}
    void deliver(uint32_t, int32_t length, const uint8_t* bytes) override {
        while (__atomic_load_n(&hold, __ATOMIC_ACQUIRE)) platform::sleepMs(5);
        platform::sleepMs(ms_);
        platform::MutexLock guard(lock);
        got.emplace_back(bytes, bytes + length);
    }
    size_t count() {
        platform::MutexLock guard(lock);
        return got.size();
    }
    int hold = 0;
    platform::Mutex lock;
    std::vector<std::vector<uint8_t>> got;

private:
    int ms_;
};

}  // namespace

TEST_F(InstanceChannelTest, ASlowReceiverDoesNotHoldTheSlot) {
    SlowReceiver slow(200);
    InstanceChannel channel(block_);
    ASSERT_TRUE(channel.startPump(&slow));
    for (int i = 0; i < 5; ++i) {
        const std::vector<uint8_t> m = pattern(1500, i);
        channel.enqueueMessage(channel.ownPid(), m.data(), static_cast<int32_t>(m.size()));
    }
    // Every chunk leaves the slot long before the receiver is through.
    for (int i = 0; i < 100 && !(channel.queueEmpty() && area().busy == 0); ++i) platform::sleepMs(5);
    EXPECT_TRUE(channel.queueEmpty());
    EXPECT_EQ(area().busy, 0);
    EXPECT_LT(slow.count(), 5u);
    for (int i = 0; i < 300 && slow.count() < 5; ++i) platform::sleepMs(10);
    ASSERT_EQ(slow.count(), 5u);
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(slow.got[i] == pattern(1500, i)) << i;
}

TEST_F(InstanceChannelTest, StoppingDoesNotWaitForADeliveryThatNeverReturns) {
    // Outlives the delivery left behind, and is never destroyed: that thread
    // may still write to it while the process exits.
    static SlowReceiver& stuck = *new SlowReceiver(0);
    __atomic_store_n(&stuck.hold, 1, __ATOMIC_RELEASE);
    {
        InstanceChannel channel(block_);
        ASSERT_TRUE(channel.startPump(&stuck));
        const std::vector<uint8_t> m = pattern(10, 7);
        channel.enqueueMessage(channel.ownPid(), m.data(), 10);
        for (int i = 0; i < 200 && !(channel.queueEmpty() && area().busy == 0); ++i) platform::sleepMs(5);
        platform::sleepMs(20);  // the delivery is under way
        const int64_t before = platform::steadyMs();
        channel.stop();
        EXPECT_LT(platform::steadyMs() - before, 200);
    }
    __atomic_store_n(&stuck.hold, 0, __ATOMIC_RELEASE);
}

namespace {

// A receiver whose readiness and answer to confirmed messages the test sets.
class ConfirmingReceiver : public Recorder {
public:
    bool deliverConfirmed(uint32_t sender, int32_t length, const uint8_t* bytes) override {
        deliver(sender, length, bytes);
        return !refuse;
    }
    bool ready() override { return isReady; }
    bool isReady = true;
    bool refuse = false;
};

std::vector<uint8_t> withKind(int32_t kind, std::vector<uint8_t> body) {
    std::memcpy(body.data(), &kind, 4);
    return body;
}

int32_t slotWordAt(const SharedInstanceArea& a, int index) {
    int32_t v;
    std::memcpy(&v, a.chunkData + 4 * index, 4);
    return v;
}

}  // namespace

// A confirmed message (a forwarded launch): its last chunk stays in the slot
// until the receiver is ready, unless its sender is gone; the receiver sees an
// ordinary object, and the sender gets a receipt saying whether it was taken.
TEST_F(InstanceChannelTest, ConfirmedMessagesWaitInTheSlotForTheReceiverAndAreAnswered) {
    const struct {
        const char* what;
        size_t length;
        bool senderAlive;
        bool refuse;
        int heldPasses;  // passes that leave the last chunk in the slot
    } cases[] = {
        {"one chunk", 600, true, false, 3},
        {"three chunks", 2500, true, false, 3},
        {"refused by the receiver", 600, true, true, 1},
        {"sender gone", 2500, false, false, 0},
    };
    uint32_t id = 60;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::memset(block_, 0, sizeof block_);
        ConfirmingReceiver receiver;
        InstanceChannel channel(block_);
        const uint32_t self = channel.ownPid();
        const uint32_t sender = c.senderAlive ? self : kDeadPid;
        const std::vector<uint8_t> m = withKind(kMessageConfirmedObject, pattern(c.length, 9));
        const int32_t last = static_cast<int32_t>((c.length - 1) / 1024);
        ++id;
        for (int32_t i = 0; i < last; ++i) {
            postForeign(sender, id, i, m, self);
            receiver.isReady = false;
            channel.pumpOnce(&receiver);  // the receiver's readiness only matters for the last chunk
            ASSERT_EQ(area().busy, 0);
        }
        postForeign(sender, id, last, m, self);
        receiver.refuse = c.refuse;
        receiver.isReady = false;
        for (int pass = 0; pass < c.heldPasses; ++pass) {
            channel.pumpOnce(&receiver);
            EXPECT_EQ(area().busy, 1);
            EXPECT_EQ(receiver.count(), 0u);
        }
        receiver.isReady = c.senderAlive;  // a gone sender's message is taken regardless
        // Takes the last chunk and delivers it; the receipt takes the chunk's
        // place in the slot, never waiting in this process's queue.
        channel.pumpOnce(&receiver);
        ASSERT_EQ(receiver.count(), 1u);
        EXPECT_EQ(receiver.got[0].sender, sender);
        EXPECT_TRUE(receiver.got[0].bytes == withKind(kMessageObject, m));
        EXPECT_TRUE(channel.queueEmpty());
        ASSERT_EQ(area().busy, 1);
        EXPECT_EQ(area().targetPid, sender);
        ASSERT_EQ(area().chunkLength, kReceiptLength);
        EXPECT_EQ(slotWordAt(area(), 0), kMessageReceipt);
        EXPECT_EQ(slotWordAt(area(), 1), static_cast<int32_t>(id));
        EXPECT_EQ(slotWordAt(area(), 2), c.refuse ? 0 : 1);
        // Taken by its addressee (here this channel), or discarded when the
        // addressee is gone; a receipt never reaches the receiver.
        channel.pumpOnce(&receiver);
        EXPECT_EQ(area().busy, 0);
        EXPECT_EQ(receiver.count(), 1u);
        // Receipts are the channel's own: flush never counts them, even lost.
        channel.pumpOnce(&receiver);
        EXPECT_EQ(channel.flush(0, 0), 0);
    }
}

// flush: 0 once everything sent before it arrived; otherwise how many did
// not (each drop reported once), and objects held up past its bound stay
// queued and still arrive.
TEST_F(InstanceChannelTest, FlushCountsWhatWasNotDelivered) {
    InstanceChannel channel(block_);
    ASSERT_TRUE(channel.startPump(&recorder_));
    const std::vector<uint8_t> small = pattern(100, 1), large = pattern(5000, 2);
    const uint32_t self = channel.ownPid();
    channel.enqueueMessage(self, large.data(), 5000);
    channel.enqueueMessage(self, small.data(), 100);
    EXPECT_EQ(channel.flush(5000, 5000), 0);
    EXPECT_EQ(recorder_.countOnceAtLeast(2u), 2u);

    // To a process that is gone: every chunk is discarded, and the rest of a
    // message whose chunk was discarded is not even sent.
    const uint32_t serialBefore = static_cast<uint32_t>(__atomic_load_n(&area().nextSerial, __ATOMIC_ACQUIRE));
    for (int i = 0; i < 3; ++i) channel.enqueueMessage(kDeadPid, large.data(), 5000);
    channel.enqueueMessage(self, small.data(), 100);
    EXPECT_EQ(channel.flush(5000, 5000), 3);
    EXPECT_EQ(static_cast<uint32_t>(__atomic_load_n(&area().nextSerial, __ATOMIC_ACQUIRE)) - serialBefore,
              4u);                            // one chunk each
    EXPECT_EQ(channel.flush(5000, 5000), 0);  // reported once
    EXPECT_EQ(recorder_.countOnceAtLeast(3u), 3u);

    // The slot held by a chunk a live poster is still filling (freed after
    // about a second): the bound comes first and the object stays queued.
    postForeign(self, 90, 0, small, 0);
    channel.enqueueMessage(self, small.data(), 100);
    const int64_t start = platform::steadyMs();
    EXPECT_EQ(channel.flush(200, 200), 1);
    EXPECT_LT(platform::steadyMs() - start, 700);
    EXPECT_EQ(channel.flush(5000, 5000), 0);
    EXPECT_EQ(recorder_.countOnceAtLeast(4u), 4u);
    channel.stop();
    // Without a pump nothing moves: flush answers at once.
    channel.enqueueMessage(self, small.data(), 100);
    EXPECT_EQ(channel.flush(5000, 5000), 1);
}
