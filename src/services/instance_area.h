// The block shared by all running instances of one application: the hub, a
// one-chunk mailbox and the registered process ids. Offsets and sizes are a
// contract between processes (possibly different builds), so they are fixed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace hux {

constexpr int32_t kChunkCapacity = 1024;
constexpr int32_t kMaxInstances = 250;
constexpr int32_t kMaxPumps = 120;

// An instance whose pump runs: its pid and the start token of its process
// (so that a later process given the same pid is not taken for it).
struct PumpEntry {
    uint32_t pid;
    uint32_t token;
};

struct SharedInstanceArea {
    uint32_t hubPid;        // 0: no hub yet
    int32_t nextMessageId;  // incremented by the poster of a message's first chunk
    int32_t nextSerial;     // incremented for every chunk posted
    int32_t reserved;       // never written
    uint64_t hubMutex;      // handle value in the hub's process (Windows); the registry lock word elsewhere
    uint64_t hubEvent;      // handle value in the hub's process (Windows)
    int32_t generation;     // incremented right after every wake-up of all instances
    uint32_t senderPid;
    uint32_t targetPid;  // 0 while the slot is free or being filled
    uint32_t serial;
    int32_t busy;     // 1 while the slot holds (or is being filled with) a chunk
    int32_t retries;  // wake-ups the hub counted with the chunk still pending
    uint32_t messageId;
    int32_t chunkIndex;
    int32_t lastChunkIndex;  // (totalLength - 1) / 1024
    int32_t chunkCapacity;   // always 1024
    uint32_t totalLength;
    int32_t chunkLength;  // valid bytes in chunkData
    uint8_t chunkData[kChunkCapacity];
    int32_t instanceCount;
    uint32_t instancePids[kMaxInstances];
    // Past the registry proper: the instances whose pump runs. A chunk for one
    // of them is never discarded, however long its receiver takes.
    int32_t pumpCount;
    PumpEntry pumps[kMaxPumps];
};

static_assert(offsetof(SharedInstanceArea, hubPid) == 0, "layout");
static_assert(offsetof(SharedInstanceArea, nextMessageId) == 4, "layout");
static_assert(offsetof(SharedInstanceArea, nextSerial) == 8, "layout");
static_assert(offsetof(SharedInstanceArea, reserved) == 12, "layout");
static_assert(offsetof(SharedInstanceArea, hubMutex) == 16, "layout");
static_assert(offsetof(SharedInstanceArea, hubEvent) == 24, "layout");
static_assert(offsetof(SharedInstanceArea, generation) == 32, "layout");
static_assert(offsetof(SharedInstanceArea, senderPid) == 36, "layout");
static_assert(offsetof(SharedInstanceArea, targetPid) == 40, "layout");
static_assert(offsetof(SharedInstanceArea, serial) == 44, "layout");
static_assert(offsetof(SharedInstanceArea, busy) == 48, "layout");
static_assert(offsetof(SharedInstanceArea, retries) == 52, "layout");
static_assert(offsetof(SharedInstanceArea, messageId) == 56, "layout");
static_assert(offsetof(SharedInstanceArea, chunkIndex) == 60, "layout");
static_assert(offsetof(SharedInstanceArea, lastChunkIndex) == 64, "layout");
static_assert(offsetof(SharedInstanceArea, chunkCapacity) == 68, "layout");
static_assert(offsetof(SharedInstanceArea, totalLength) == 72, "layout");
static_assert(offsetof(SharedInstanceArea, chunkLength) == 76, "layout");
static_assert(offsetof(SharedInstanceArea, chunkData) == 80, "layout");
static_assert(offsetof(SharedInstanceArea, instanceCount) == 1104, "layout");
static_assert(offsetof(SharedInstanceArea, instancePids) == 1108, "layout");
static_assert(offsetof(SharedInstanceArea, pumpCount) == 2108, "layout");
static_assert(offsetof(SharedInstanceArea, pumps) == 2112, "layout");
static_assert(sizeof(SharedInstanceArea) == 3072, "fills the executable's shared block");

// Atomic access to words of the area, which other processes change at any time.
template <typename T>
inline T loadShared(const T& word) {
    return __atomic_load_n(&word, __ATOMIC_ACQUIRE);
}
template <typename T>
inline void storeShared(T& word, T value) {
    __atomic_store_n(&word, value, __ATOMIC_RELEASE);
}
template <typename T>
inline bool casShared(T& word, T expected, T desired) {
    return __atomic_compare_exchange_n(&word, &expected, desired, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
}

// targetPid and serial side by side form one 64-bit word (offset 40), so that
// the addressee and the chunk it belongs to are read and released together.
using SlotWord = uint64_t __attribute__((may_alias));
static_assert(offsetof(SharedInstanceArea, targetPid) % 8 == 0 &&
                  offsetof(SharedInstanceArea, serial) == offsetof(SharedInstanceArea, targetPid) + 4,
              "targetPid and serial share one aligned word");

inline SlotWord* slotWord(SharedInstanceArea& area) { return reinterpret_cast<SlotWord*>(&area.targetPid); }
inline uint32_t slotTarget(uint64_t word) { return static_cast<uint32_t>(word); }
inline uint32_t slotSerial(uint64_t word) { return static_cast<uint32_t>(word >> 32); }
// The word of a released slot: no addressee, and a serial no earlier look at
// the slot can match.
inline uint64_t releasedSlot(uint64_t word) { return (uint64_t{slotSerial(word) ^ 0x80000000u} << 32); }

}  // namespace hux
