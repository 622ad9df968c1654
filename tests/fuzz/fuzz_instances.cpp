// libFuzzer target: chunks with arbitrary header fields arriving in the
// instance channel's slot, as another process could leave them there.
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
        if (length < 0 || length != expected) __builtin_trap();
        if (length > 0) {
            volatile uint8_t sink = bytes[0] ^ bytes[length - 1];
            (void)sink;
        }
    }
    int32_t expected = -1;
};

struct Record {
    uint32_t sender;
    uint32_t messageId;
    int32_t chunkIndex;
    int32_t lastChunkIndex;
    int32_t chunkLength;
    uint32_t totalLength;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    alignas(8) static unsigned char block[4096];
    std::memset(block, 0, sizeof block);
    auto& area = *reinterpret_cast<hux::SharedInstanceArea*>(block);
    hux::InstanceChannel channel(block);
    Checker checker;
    while (size >= sizeof(Record)) {
        Record r;
        std::memcpy(&r, data, sizeof r);
        data += sizeof r;
        size -= sizeof r;
        area.senderPid = r.sender % 4;  // few senders, so that messages interleave
        area.messageId = r.messageId % 8;
        area.chunkIndex = r.chunkIndex;
        area.lastChunkIndex = r.lastChunkIndex;
        area.chunkLength = r.chunkLength;
        area.totalLength = r.totalLength;
        area.chunkCapacity = 1024;
        const size_t n = size < 1024 ? size : 1024;
        std::memcpy(area.chunkData, data, n);
        area.serial++;
        area.targetPid = channel.ownPid();
        area.busy = 1;
        checker.expected = static_cast<int32_t>(r.totalLength);
        channel.pumpOnce(&checker);
        if (area.busy != 0 || area.targetPid != 0) __builtin_trap();
    }
    return 0;
}
