// What the instance channel's files share: the words that open every
// message, and the delivery thread that hands completed messages to the
// receiver away from the pump.
#pragma once

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>

#include "platform/threads.h"
#include "services/instances.h"

namespace hux {

// Completed messages waiting for a slow receiver: past this many bytes the
// pump leaves the next chunk in the slot until the receiver catches up.
constexpr int64_t kMaxBacklogBytes = 64 * 1024 * 1024;

inline int32_t readWord(const uint8_t* p) {
    int32_t v;
    std::memcpy(&v, p, 4);  // little-endian on every target
    return v;
}

inline int32_t kindOf(const ByteBuffer& bytes) { return bytes.length() >= 4 ? readWord(bytes.data()) : -1; }

// A confirmed message reaches its receiver as an ordinary object.
inline void markAsObject(ByteBuffer& bytes) {
    const int32_t kind = kMessageObject;
    std::memcpy(bytes.data(), &kind, 4);
}

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

}  // namespace hux
