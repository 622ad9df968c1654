// libFuzzer target: the instance channel's area as another process could
// leave it. Every header word, the slot (busy word, addressee, serial and
// chunk fields) and the tables past the registry take arbitrary values between
// the channel's passes; chunks addressed to the channel carry arbitrary
// header fields.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "services/instance_area.h"
#include "services/instances.h"

namespace {

class Checker : public hux::InstanceReceiver {
public:
    void deliver(uint32_t, int32_t length, const uint8_t* bytes) override {
        // A completed message has exactly the length its chunks announced.
        if (length < 0 || (expected >= 0 && length != expected)) __builtin_trap();
        if (length > 0) {
            volatile uint8_t sink = bytes[0] ^ bytes[length - 1];
            (void)sink;
        }
    }
    int32_t expected = -1;  // -1: any length the last chunk announced
};

struct Record {
    uint8_t kind;  // what this record does
    uint32_t sender;
    uint32_t messageId;
    int32_t chunkIndex;
    int32_t lastChunkIndex;
    int32_t chunkLength;
    uint32_t totalLength;
};

// Few senders and ids, so that messages interleave; pids that no process has.
constexpr uint32_t kNoProcess = 0x7ffffff0;

bool take(const uint8_t*& data, size_t& size, void* out, size_t n) {
    if (size < n) return false;
    std::memcpy(out, data, n);
    data += n;
    size -= n;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    alignas(8) static unsigned char block[4096];
    std::memset(block, 0, sizeof block);
    auto& area = *reinterpret_cast<hux::SharedInstanceArea*>(block);
    hux::InstanceChannel channel(block);
    Checker checker;
    const uint32_t own = channel.ownPid();
    Record r;
    while (take(data, size, &r, sizeof r)) {
        switch (r.kind % 4) {
            case 0: {
                // Overwrite a stretch of the header and slot (everything before
                // the chunk data) with the next bytes, as a stray writer would.
                const size_t at = r.sender % offsetof(hux::SharedInstanceArea, chunkData);
                size_t n = r.messageId % 32;
                if (at + n > offsetof(hux::SharedInstanceArea, chunkData))
                    n = offsetof(hux::SharedInstanceArea, chunkData) - at;
                if (!take(data, size, block + at, n)) return 0;
                // The hub, when it names a process, names none that runs.
                if (area.hubPid != own && area.hubPid != 0) area.hubPid = kNoProcess + (area.hubPid & 7);
                checker.expected = -1;
                channel.pumpOnce(&checker);
                break;
            }
            case 1: {
                // Overwrite the tables past the chunk data.
                const size_t base = offsetof(hux::SharedInstanceArea, instanceCount);
                const size_t at = base + r.sender % (sizeof(hux::SharedInstanceArea) - base);
                size_t n = r.messageId % 64;
                if (at + n > sizeof(hux::SharedInstanceArea)) n = sizeof(hux::SharedInstanceArea) - at;
                if (!take(data, size, block + at, n)) return 0;
                channel.isLivePump(static_cast<uint32_t>(r.chunkIndex));
                // The registry lock word is its own matter (a held lock is
                // taken over after a second); here it is free.
                area.hubMutex = 0;
                channel.instances();
                break;
            }
            default: {
                // A chunk addressed to this channel.
                area.senderPid = kNoProcess + r.sender % 4;
                area.messageId = r.messageId % 8;
                area.chunkIndex = r.chunkIndex;
                area.lastChunkIndex = r.lastChunkIndex;
                area.chunkLength = r.chunkLength;
                area.totalLength = r.totalLength;
                area.chunkCapacity = 1024;
                const size_t n = size < 1024 ? size : 1024;
                std::memcpy(area.chunkData, data, n);
                area.serial++;
                area.targetPid = own;
                area.busy = 1;
                checker.expected = r.totalLength <= 0x7fffffffu ? static_cast<int32_t>(r.totalLength) : -1;
                channel.pumpOnce(&checker);
                if (area.busy != 0 || area.targetPid != 0) __builtin_trap();
                break;
            }
        }
    }
    return 0;
}
