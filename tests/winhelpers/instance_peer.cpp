// Test helper: one instance of an application on the instance channel, with a
// receiver that prints what arrives (no virtual machine).
//   instance_peer <appid> hub            prints "ready", receives until input ends
//   instance_peer <appid> hubdump        as hub, and prints each message's bytes
//   instance_peer <appid> send <n>...    sends messages of n bytes to the hub
//   instance_peer <appid> self           sends a message to itself
//   instance_peer <appid> forward <arg>...  hands a ForwardedLaunch (working
//                                        directory C:\fwd) to the hub, as a
//                                        forwarded launch does, without a pump,
//                                        and prints the bytes it wrote
//   instance_peer - <mode>...            the same on the executable's own area
//   instance_peer probe <name>           opens the mapping <name> as another
//                                        process would and prints its first
//                                        word (the hub) and its access list
#include <windows.h>
#include <aclapi.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/shared_area.h"
#include "platform/text.h"
#include "platform/threads.h"
#include "services/forwarded_launch.h"
#include "services/instances.h"

using namespace hux;

namespace {

uint64_t fnv(const uint8_t* p, size_t n) {
    uint64_t h = 1469598103934665603ull;
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

std::vector<uint8_t> pattern(size_t n, int seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 131 + seed * 7 + (i >> 10));
    return v;
}

class Printer : public InstanceReceiver {
public:
    void deliver(uint32_t sender, int32_t length, const uint8_t* bytes) override {
        std::printf("recv from=%u len=%d sum=%016llx\n", sender, length,
                    static_cast<unsigned long long>(fnv(bytes, static_cast<size_t>(length))));
        if (dump) {
            std::printf("data=");
            for (int32_t i = 0; i < length; ++i) std::printf("%02x", bytes[i]);
            std::printf("\n");
        }
        std::fflush(stdout);
        count.fetch_add(1);
    }
    std::atomic<int> count{0};  // written by the delivering thread
    bool dump = false;
};

void printInstances(InstanceChannel& channel) {
    std::printf("pid=%u hub=%u instances=", channel.ownPid(), channel.hubPid());
    for (uint32_t pid : channel.instances()) std::printf("%u,", pid);
    std::printf("\n");
    std::fflush(stdout);
}

// The hub word and the access list of the mapping `name`: how many entries,
// and whether the only one grants this process's user.
int probe(const char* name) {
    HANDLE h = OpenFileMappingA(FILE_MAP_READ | READ_CONTROL, FALSE, name);
    if (!h) {
        std::printf("no mapping (error %lu)\n", GetLastError());
        return 1;
    }
    const auto* view = static_cast<const uint32_t*>(MapViewOfFile(h, FILE_MAP_READ, 0, 0, 0));
    MEMORY_BASIC_INFORMATION info{};
    if (view && VirtualQuery(view, &info, sizeof info))
        std::printf("hub=%u size=%zu\n", view[0], static_cast<size_t>(info.RegionSize));
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetSecurityInfo(h, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &sd) ==
            ERROR_SUCCESS &&
        dacl) {
        HANDLE token = nullptr;
        unsigned char user[512];
        DWORD size = 0;
        OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
        GetTokenInformation(token, TokenUser, user, sizeof user, &size);
        void* ace = nullptr;
        bool onlyUser =
            dacl->AceCount == 1 && GetAce(dacl, 0, &ace) &&
            static_cast<ACE_HEADER*>(ace)->AceType == ACCESS_ALLOWED_ACE_TYPE &&
            EqualSid(&static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart, reinterpret_cast<TOKEN_USER*>(user)->User.Sid);
        std::printf("aces=%u only the user=%s\n", dacl->AceCount, onlyUser ? "yes" : "no");
    } else {
        std::printf("no access list\n");
    }
    std::fflush(stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    if (std::strcmp(argv[1], "probe") == 0) return probe(argv[2]);
    const std::string name = std::string(argv[1]) + ".hux.mapping";
    platform::SharedArea area;
    if (std::strcmp(argv[1], "-") == 0 ? !area.openExecutableArea().ok() : !area.openNamed(name.c_str(), 4096).ok())
        return 3;
    auto* channel = new InstanceChannel(area.data());
    Printer printer;
    const std::string mode = argv[2];
    printer.dump = mode == "hubdump";
    if (mode != "forward") channel->startPump(&printer);
    printInstances(*channel);
    int rc = 0;
    if (mode == "forward") {
        std::vector<std::u16string> args;
        for (int i = 3; i < argc; ++i) args.push_back(platform::ansiToUtf16(argv[i], std::strlen(argv[i])));
        const ByteBuffer m = forwardedLaunchMessage(args, u"C:\\fwd");
        const bool taken = channel->handOver(m.data(), m.length(), 5000, 5000) == HandOverResult::Delivered;
        std::printf("%s len=%d sum=%016llx\n", taken ? "forwarded" : "not taken", m.length(),
                    static_cast<unsigned long long>(fnv(m.data(), static_cast<size_t>(m.length()))));
        for (int32_t i = 0; i < m.length(); ++i) std::printf("%02x", m.data()[i]);
        std::printf("\n");
        rc = taken ? 0 : 1;
    } else if (mode == "hub" || mode == "hubdump") {
        std::printf("ready\n");
        std::fflush(stdout);
        while (std::getchar() != EOF) {
        }
    } else if (mode == "send") {
        for (int i = 3; i < argc; ++i) {
            const std::vector<uint8_t> m = pattern(static_cast<size_t>(std::atoi(argv[i])), i);
            channel->enqueueMessage(channel->hubPid(), m.data(), static_cast<int32_t>(m.size()));
            std::printf("sent len=%zu sum=%016llx\n", m.size(),
                        static_cast<unsigned long long>(fnv(m.data(), m.size())));
        }
        for (int i = 0; i < 400 && !channel->queueEmpty(); ++i) platform::sleepMs(25);
        std::printf(channel->queueEmpty() ? "flushed\n" : "stuck\n");
    } else if (mode == "self") {
        const std::vector<uint8_t> m = pattern(3000, 1);
        channel->enqueueMessage(channel->ownPid(), m.data(), 3000);
        for (int i = 0; i < 400 && printer.count.load() == 0; ++i) platform::sleepMs(25);
        rc = printer.count.load() == 1 ? 0 : 1;
    }
    std::fflush(stdout);
    channel->stop();
    area.close();
    delete channel;
    return rc;
}
