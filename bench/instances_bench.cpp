// Instance channel benchmark (Linux): two processes on one shared area.
// Measures the round trip of a small message (about the size of a small
// serialised object) and the throughput of 1 MiB messages, and the same over a
// loopback TCP connection in the same run, and prints the ratios.
//
//   instances_bench [round trips] [MiB]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/shared_area.h"
#include "platform/threads.h"
#include "services/instances.h"

using namespace hux;

namespace {

using Clock = std::chrono::steady_clock;
double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

constexpr int32_t kSmall = 120;  // a short string or boxed number, serialised, with the kind word
constexpr int32_t kLarge = 1 << 20;

// ---- the channel ----

// Echoes small messages; acknowledges a large one with one byte.
class Echo : public InstanceReceiver {
public:
    explicit Echo(InstanceChannel*& channel) : channel_(channel) {}
    void deliver(uint32_t sender, int32_t length, const uint8_t* bytes) override {
        if (length == kLarge) {
            const uint8_t ack = 1;
            channel_->enqueueMessage(sender, &ack, 1);
        } else {
            channel_->enqueueMessage(sender, bytes, length);
        }
    }

private:
    InstanceChannel*& channel_;
};

class Waiter : public InstanceReceiver {
public:
    void deliver(uint32_t, int32_t, const uint8_t*) override {
        std::lock_guard<std::mutex> g(m);
        ++arrived;
        cv.notify_all();
    }
    void waitFor(int n) {
        std::unique_lock<std::mutex> g(m);
        cv.wait(g, [&] { return arrived >= n; });
    }
    std::mutex m;
    std::condition_variable cv;
    int arrived = 0;
};

struct Result {
    double roundTripUs;
    double mibPerSecond;
};

Result benchChannel(const std::string& appId, int rounds, int mib) {
    pid_t child = fork();
    if (child == 0) {
        platform::SharedArea area;
        if (!area.openNamed(appId.c_str(), 4096)) _exit(3);
        InstanceChannel* channel = nullptr;
        Echo echo(channel);
        channel = new InstanceChannel(area.data());
        channel->startPump(&echo);
        pause();  // until the parent ends it
        _exit(0);
    }
    platform::SharedArea area;
    if (!area.openNamed(appId.c_str(), 4096)) std::exit(3);
    platform::sleepMs(100);  // the child registers first and becomes hub
    Waiter waiter;
    InstanceChannel channel(area.data());
    channel.startPump(&waiter);
    const uint32_t peer = static_cast<uint32_t>(child);

    std::vector<uint8_t> small(kSmall, 7), large(kLarge, 9);
    int expected = 0;
    for (int i = 0; i < 50; ++i) {  // warm-up
        channel.enqueueMessage(peer, small.data(), kSmall);
        waiter.waitFor(++expected);
    }
    Clock::time_point t = Clock::now();
    for (int i = 0; i < rounds; ++i) {
        channel.enqueueMessage(peer, small.data(), kSmall);
        waiter.waitFor(++expected);
    }
    Result r{};
    r.roundTripUs = secondsSince(t) * 1e6 / rounds;
    t = Clock::now();
    for (int i = 0; i < mib; ++i) channel.enqueueMessage(peer, large.data(), kLarge);
    expected += mib;
    waiter.waitFor(expected);
    r.mibPerSecond = mib / secondsSince(t);
    channel.stop();
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return r;
}

// ---- the loopback TCP baseline ----

bool readAll(int fd, void* p, size_t n) {
    auto* b = static_cast<uint8_t*>(p);
    while (n > 0) {
        ssize_t k = read(fd, b, n);
        if (k <= 0) return false;
        b += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

bool writeAll(int fd, const void* p, size_t n) {
    auto* b = static_cast<const uint8_t*>(p);
    while (n > 0) {
        ssize_t k = write(fd, b, n);
        if (k <= 0) return false;
        b += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

// Length-prefixed messages, handled as the channel's echo handles them.
void tcpEcho(int fd) {
    std::vector<uint8_t> buf;
    for (;;) {
        int32_t n;
        if (!readAll(fd, &n, 4)) return;
        buf.resize(static_cast<size_t>(n));
        if (!readAll(fd, buf.data(), buf.size())) return;
        if (n == kLarge) {
            const int32_t one = 1;
            const uint8_t ack = 1;
            writeAll(fd, &one, 4);
            writeAll(fd, &ack, 1);
        } else {
            writeAll(fd, &n, 4);
            writeAll(fd, buf.data(), buf.size());
        }
    }
}

Result benchTcp(int rounds, int mib) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    listen(listener, 1);
    pid_t child = fork();
    if (child == 0) {
        int fd = accept(listener, nullptr, nullptr);
        int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        tcpEcho(fd);
        _exit(0);
    }
    close(listener);
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    std::vector<uint8_t> small(kSmall, 7), large(kLarge, 9), back(kLarge);
    auto roundTrip = [&](const std::vector<uint8_t>& m) {
        const int32_t n = static_cast<int32_t>(m.size());
        int32_t k;
        writeAll(fd, &n, 4);
        writeAll(fd, m.data(), m.size());
        readAll(fd, &k, 4);
        readAll(fd, back.data(), static_cast<size_t>(k));
    };
    for (int i = 0; i < 50; ++i) roundTrip(small);
    Clock::time_point t = Clock::now();
    for (int i = 0; i < rounds; ++i) roundTrip(small);
    Result r{};
    r.roundTripUs = secondsSince(t) * 1e6 / rounds;
    t = Clock::now();
    for (int i = 0; i < mib; ++i) {
        const int32_t n = kLarge;
        writeAll(fd, &n, 4);
        writeAll(fd, large.data(), large.size());
    }
    for (int i = 0; i < mib; ++i) {
        int32_t k;
        readAll(fd, &k, 4);
        readAll(fd, back.data(), static_cast<size_t>(k));
    }
    r.mibPerSecond = mib / secondsSince(t);
    close(fd);
    waitpid(child, nullptr, 0);
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 2000;
    const int mib = argc > 2 ? std::atoi(argv[2]) : 20;
    const std::string appId = "hux.bench." + std::to_string(getpid()) + ".hux.mapping";
    const Result channel = benchChannel(appId, rounds, mib);
    const Result tcp = benchTcp(rounds, mib);
    std::printf("small message round trip (%d bytes, %d rounds): channel %.1f us, loopback TCP %.1f us, ratio %.2f\n",
                kSmall, rounds, channel.roundTripUs, tcp.roundTripUs, channel.roundTripUs / tcp.roundTripUs);
    std::printf("1 MiB messages one way (%d): channel %.1f MiB/s, loopback TCP %.1f MiB/s, ratio %.3f\n", mib,
                channel.mibPerSecond, tcp.mibPerSecond, channel.mibPerSecond / tcp.mibPerSecond);
    return 0;
}
