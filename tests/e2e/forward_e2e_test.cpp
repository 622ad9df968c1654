// Forward mode with real JVMs: later launches hand their arguments and working
// directory to the running instance and end without a virtual machine.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <regex>
#include <sstream>

#include "support/harness.h"
#include "platform/posix/names.h"

using namespace hux::e2e;

namespace {

const Target kLinux{"linux-x64"};

std::u16string utf16Of(const std::string& utf8) {
    std::u16string out;
    for (size_t i = 0; i < utf8.size();) {
        const unsigned char c = static_cast<unsigned char>(utf8[i]);
        const int n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        uint32_t cp = n == 1 ? c : n == 2 ? c & 0x1F : n == 3 ? c & 0x0F : c & 0x07;
        for (int k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        i += n;
        if (cp >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

// What the test application prints for a string: ASCII as it is, the rest,
// '|' and '\' as \uXXXX.
std::string escaped(const std::string& utf8) {
    std::string out;
    for (char16_t c : utf16Of(utf8)) {
        if (c >= 0x20 && c < 0x7f && c != '|' && c != '\\') {
            out.push_back(static_cast<char>(c));
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
            out += buf;
        }
    }
    return out;
}

// java.util.Arrays.hashCode of the strings.
int32_t javaHash(const std::vector<std::string>& args) {
    uint32_t result = 1;
    for (const std::string& a : args) {
        uint32_t h = 0;
        for (char16_t c : utf16Of(a)) h = 31 * h + c;
        result = 31 * result + h;
    }
    return static_cast<int32_t>(result);
}

std::string expectedLine(int n, const std::vector<std::string>& args, const std::string& dir) {
    std::string line = "launch " + std::to_string(n) + " n=" + std::to_string(args.size()) +
                       " hash=" + std::to_string(javaHash(args)) + " dir=" + escaped(dir) + " args=";
    for (size_t i = 0; i < args.size() && i < 10; ++i) line += "|" + escaped(args[i]);
    return line + "\n";
}

class ForwardE2E : public JdkTest {
protected:
    void SetUp() override {
        JdkTest::SetUp();
        if (HasFatalFailure()) return;
        options_.env["HUX_DEBUG"] = "1";
        options_.env["LC_ALL"] = "C.UTF-8";
    }
    // The forwarding application on `jdk`, on an application id of its own.
    void packFor(const std::string& jdk) {
        std::random_device rd;
        appId_ = "hux\\e2e\\forward." + std::to_string(getpid()) + "." + std::to_string(rd() % 1000000);
        exe_ = dir_.file("fwd" + std::to_string(rd() % 1000000));
        RunResult r = pack(kLinux, exe_,
                           {"mainclass inst.Main", "jre_order c", "jvmdll " + jvmLibraryOf(jdk), "appid " + appId_,
                            "singleinstance forward"},
                           {"lib/instances.jar=" + appJarDir() + "/instances.jar"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }
    void twentyLaunches();
    void launchAfterKilledHub();
    std::string appId_, exe_;
    RunOptions options_;
};

}  // namespace

void ForwardE2E::twentyLaunches() {
    Background hub(kLinux.command(exe_, {"forwardhub"}), options_);
    ASSERT_TRUE(hub.waitForOutput("ready ", 60000)) << hub.output();
    std::vector<std::string> many;
    for (int i = 0; i < 2000; ++i) many.push_back("arg" + std::to_string(i) + (i % 7 ? "" : " \xc3\xa9"));
    const std::vector<std::vector<std::string>> launches = {
        {"plain.txt"},
        {"\xc3\xa9t\xc3\xa9", "na\xc3\xafve", "\xc2\xa3\xc2\xb5"},     // Latin-1
        {"\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e.txt", "\xe4\xb8\xad"},  // CJK
        {"\xf0\x9f\x98\x80", "a\xf0\x9f\x8e\x89z"},                    // emoji
        {""},                                                          // one empty argument
        {},                                                            // none at all
        many,                                                          // 2,000
        {"with space", "quote\"d", "back\\slash", "pipe|bar"},
        {std::string(70000, 'L') + "\xe6\x97\xa5"},  // past the 65535 bytes of a short string
    };
    std::string expected;
    for (int i = 0; i < 20; ++i) {
        const std::vector<std::string>& args = launches[static_cast<size_t>(i) % launches.size()];
        const std::string cwd = dir_.file("dir" + std::to_string(i) + (i % 3 ? "" : " \xc3\xbc"));
        std::filesystem::create_directories(cwd);
        RunOptions o = options_;
        o.cwd = cwd;
        // The launch waits until the hub's receiver has printed it, and a
        // line past the pipe's 64 KiB blocks the receiver until it is read:
        // the hub's output is read while the launch runs.
        Background launch(kLinux.command(exe_, args), o);
        const std::string line = expectedLine(i + 1, args, cwd);
        EXPECT_TRUE(hub.waitForOutput(line, 30000)) << "launch " << i;
        RunResult r = launch.finish(60000);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(has(r.err, "forwarded the launch to the running instance " + std::to_string(hub.pid())))
            << "launch " << i << ": " << r.err;
        // It never started a virtual machine, so the application never ran.
        EXPECT_FALSE(has(r.out, "ready")) << r.out;
        expected += line;
    }
    ASSERT_TRUE(hub.waitForOutput("launch 20 ", 30000)) << hub.output();
    RunResult hubRun = hub.finish();
    std::string got;
    std::istringstream in(hubRun.out);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("launch ", 0) == 0 || line.rfind("other ", 0) == 0) got += line + "\n";
    EXPECT_EQ(got, expected);
}

void ForwardE2E::launchAfterKilledHub() {
    {
        Background hub(kLinux.command(exe_, {"forwardhub"}), options_);
        ASSERT_TRUE(hub.waitForOutput("ready ", 60000)) << hub.output();
        ASSERT_EQ(kill(hub.pid(), SIGKILL), 0);
        hub.finish();
    }
    Background next(kLinux.command(exe_, {"forwardhub"}), options_);
    ASSERT_TRUE(next.waitForOutput("ready ", 60000)) << next.output() << next.finish().err;
    const std::string pid = std::to_string(next.pid());
    EXPECT_TRUE(has(next.output(), "ready " + pid + " first=" + pid + "\n")) << next.output();
    // And it takes the next forwarded launch.
    RunResult r = runOn(kLinux, exe_, {"after"}, options_);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(next.waitForOutput("args=|after\n", 20000)) << next.output();
    RunResult done = next.finish();
    EXPECT_TRUE(has(done.err, "no running instance to forward the launch to")) << done.err;
}

// Later launches of the first instance's application, each from a directory
// of its own, with what users pass: Latin-1, CJK, emoji, an empty argument,
// none, 2,000 of them, one of 70,000 bytes.
TEST_F(ForwardE2E, TwentyLaunchesArriveOnceInOrderWithTheirDirectories) {
    for (const std::string& jdk : jdks_) {
        SCOPED_TRACE(jdk);
        packFor(jdk);
        twentyLaunches();
    }
}

// The hub killed (kill -9) just before a launch: that launch becomes the first.
TEST_F(ForwardE2E, ALaunchAfterTheHubWasKilledStartsAsTheFirst) {
    for (const std::string& jdk : jdks_) {
        SCOPED_TRACE(jdk);
        packFor(jdk);
        launchAfterKilledHub();
    }
}

// A hub that cannot take the launch in time (stopped, as Ctrl-Z stops a
// terminal's program): after the 5 s hand-over the launch runs on its own, and
// the hub, once resumed, does not open that launch a second time.
TEST_F(ForwardE2E, ALaunchTheHubDoesNotTakeInTimeRunsOnItsOwnAndOnlyThere) {
    packFor(jdks_.front());
    Background hub(kLinux.command(exe_, {"forwardhub"}), options_);
    ASSERT_TRUE(hub.waitForOutput("ready ", 60000)) << hub.output();
    ASSERT_EQ(kill(hub.pid(), SIGSTOP), 0);
    RunResult r = runOn(kLinux, exe_, {"info", "while stopped"}, options_);
    kill(hub.pid(), SIGCONT);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(has(r.err, "did not take the forwarded launch: starting as the first")) << r.err;
    EXPECT_TRUE(has(r.out, "first=" + std::to_string(hub.pid()) + " current=")) << r.out;
    // Resumed, the hub still takes later launches, and only those.
    RunResult next = runOn(kLinux, exe_, {"after"}, options_);
    EXPECT_EQ(next.exitCode, 0) << next.err;
    EXPECT_TRUE(hub.waitForOutput("args=|after\n", 20000)) << hub.output();
    const std::string out = hub.finish().out;
    EXPECT_FALSE(has(out, "while stopped")) << out;
    EXPECT_TRUE(has(out, "launch 1 n=1 ")) << out;
}

// The running instance killed (kill -9) while a forwarded launch is on its way
// to its receiver, which is not bound yet (an application still starting) or
// busy over an earlier launch for a minute: the launch never reports itself
// handed over, and runs on its own instead, as does the earlier launch whose
// receiver never returned.
TEST_F(ForwardE2E, ALaunchWhoseInstanceDiesBeforeItsReceiverHasItRunsOnItsOwn) {
    packFor(jdks_.front());
    const struct {
        const char* name;
        std::vector<std::string> hub;
        bool earlierLaunch;
    } cases[] = {
        {"receiver bound late", {"forwardlate", "60000"}, false},
        {"receiver busy", {"forwardslow", "60000"}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Background hub(kLinux.command(exe_, c.hub), options_);
        ASSERT_TRUE(hub.waitForOutput("ready ", 60000)) << hub.output();
        std::vector<std::unique_ptr<Background>> launches;
        if (c.earlierLaunch) {
            launches.push_back(std::make_unique<Background>(kLinux.command(exe_, {"info", "earlier"}), options_));
            ASSERT_TRUE(hub.waitForOutput("args=|info|earlier\n", 20000)) << hub.output();
        }
        launches.push_back(std::make_unique<Background>(kLinux.command(exe_, {"info", "later"}), options_));
        // A hand-over takes milliseconds; the launch then waits (5 s at
        // most) for the receiver's receipt, and the instance dies meanwhile.
        usleep(1500 * 1000);
        ASSERT_EQ(kill(hub.pid(), SIGKILL), 0);
        hub.finish();
        for (auto& launch : launches) {
            RunResult r = launch->finish(60000);
            EXPECT_EQ(r.exitCode, 0) << r.err;
            EXPECT_FALSE(has(r.err, "forwarded the launch to the running instance")) << r.err;
            EXPECT_TRUE(has(r.err, "ended before it confirmed the forwarded launch")) << r.err;
            // It ran the application itself.
            EXPECT_TRUE(has(r.out, "flushed ms=")) << r.out;
        }
    }
}

// An instance whose receiver is bound only after 8 s: a launch meanwhile
// waits 5 s, takes its launch back and runs on its own; the instance, once
// bound, never opens that launch too, and takes the next one.
TEST_F(ForwardE2E, ALaunchTheReceiverIsNotReadyForRunsOnItsOwnAndOnlyThere) {
    packFor(jdks_.front());
    Background hub(kLinux.command(exe_, {"forwardlate", "8000"}), options_);
    ASSERT_TRUE(hub.waitForOutput("ready ", 60000)) << hub.output();
    RunResult r = runOn(kLinux, exe_, {"info", "too early"}, options_);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(has(r.err, "took the forwarded launch back from instance " + std::to_string(hub.pid()))) << r.err;
    EXPECT_TRUE(has(r.out, "flushed ms=")) << r.out;
    ASSERT_TRUE(hub.waitForOutput("bound\n", 30000)) << hub.output();
    RunResult next = runOn(kLinux, exe_, {"after"}, options_);
    EXPECT_EQ(next.exitCode, 0) << next.err;
    EXPECT_TRUE(hub.waitForOutput("args=|after\n", 20000)) << hub.output();
    const std::string out = hub.finish().out;
    EXPECT_FALSE(has(out, "too early")) << out;
    EXPECT_TRUE(has(out, "launch 1 n=1 ")) << out;
}

namespace {

// The hub of an application id, read from its area as the launches map it.
uint32_t hubOf(const std::string& appId) {
    std::string name = appId;
    std::replace(name.begin(), name.end(), '\\', '.');
    const std::string path = linuxRuntimeDir() + "/" + hux::platform::posix::encodeObjectName(name + ".hux.mapping");
    uint32_t hub = 0;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    if (pread(fd, &hub, sizeof hub, 0) != static_cast<ssize_t>(sizeof hub)) hub = 0;
    close(fd);
    return hub;
}

// The tags of the launches an instance's receiver printed, in order.
std::vector<std::string> loggedTags(const std::string& out) {
    std::vector<std::string> tags;
    const std::string mark = "args=|forwardhub|";
    for (size_t at = out.find(mark); at != std::string::npos; at = out.find(mark, at + 1)) {
        const size_t from = at + mark.size();
        tags.push_back(out.substr(from, out.find('\n', from) - from));
    }
    return tags;
}

struct BurstLaunch {
    std::string tag;
    std::unique_ptr<Background> process;
    bool ended = false;
    bool ranHere = false;  // its own machine started (it prints "ready")
};

}  // namespace

// Bursts of forwarded launches, eight at a time, with the running instance
// killed (kill -9) at random points of each burst; launches that run on their
// own then become the next running instance. Every launch is either delivered
// (one receiver printed it, and it ended with 0 as forwarded) or ran on its
// own and no receiver printed it. The one launch a killed instance may have
// been inside onReceive with is the only one allowed to do both.
TEST_F(ForwardE2E, KillingTheRunningInstanceDuringABurstRunsNoLaunchTwiceAndLosesNone) {
    packFor(jdks_.front());
    constexpr int kBursts = 4, kLaunches = 100, kAtOnce = 50;
    std::mt19937 random(std::random_device{}());
    std::map<std::string, int> reasons;  // why launches ran on their own
    int duplicates = 0, lost = 0, insideOnReceive = 0, delivered = 0, ranHere = 0, kills = 0;
    for (int burst = 0; burst < kBursts; ++burst) {
        SCOPED_TRACE("burst " + std::to_string(burst));
        std::vector<std::unique_ptr<Background>> instances;  // every process that ran the application
        instances.push_back(std::make_unique<Background>(kLinux.command(exe_, {"forwardhub", "first"}), options_));
        ASSERT_TRUE(instances.back()->waitForOutput("ready ", 60000)) << instances.back()->output();
        std::vector<BurstLaunch> launches(kLaunches);
        std::vector<int> killAt{static_cast<int>(random() % 40) + 5, static_cast<int>(random() % 40) + 50};
        std::vector<std::string> lastLoggedByKilled;
        int next = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        for (;;) {
            int inFlight = 0;
            for (BurstLaunch& l : launches) {
                if (!l.process || l.ended || l.ranHere) continue;
                l.ended = l.process->poll();
                l.ranHere = has(l.process->output(), "ready ");
                if (!l.ended && !l.ranHere) ++inFlight;
            }
            if (next == kLaunches && inFlight == 0) break;
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "launches still running";
            if (next < kLaunches && inFlight < kAtOnce) {
                BurstLaunch& l = launches[static_cast<size_t>(next)];
                l.tag = "b" + std::to_string(burst) + "." + std::to_string(next);
                l.process = std::make_unique<Background>(kLinux.command(exe_, {"forwardhub", l.tag}), options_);
                if (std::find(killAt.begin(), killAt.end(), next) != killAt.end()) {
                    usleep(static_cast<useconds_t>(random() % 20000));
                    // The running instance is one of this test's processes.
                    const int hub = static_cast<int>(hubOf(appId_));
                    Background* victim = nullptr;
                    for (auto& i : instances)
                        if (i->pid() == hub) victim = i.get();
                    for (BurstLaunch& o : launches)
                        if (o.process && o.ranHere && o.process->pid() == hub) victim = o.process.get();
                    if (victim && kill(victim->pid(), SIGKILL) == 0) {
                        ++kills;
                        const std::vector<std::string> tags = loggedTags(victim->finish(5000).out);
                        if (!tags.empty()) lastLoggedByKilled.push_back(tags.back());
                    }
                }
                ++next;
            } else {
                usleep(2000);
            }
        }
        // Every launch has ended or runs its own machine: the instances'
        // receivers have printed all they will.
        std::map<std::string, int> logged;
        auto count = [&](Background& b) {
            for (const std::string& tag : loggedTags(b.finish().out)) ++logged[tag];
        };
        for (auto& i : instances) count(*i);
        for (BurstLaunch& l : launches)
            if (l.ranHere) count(*l.process);
        for (BurstLaunch& l : launches) {
            const RunResult r = l.process->finish();
            const int n = logged[l.tag];
            const bool forwarded =
                r.exitCode == 0 && has(r.err, "forwarded the launch to the running instance") && !l.ranHere;
            if (l.ranHere && n > 0) {
                if (n == 1 && std::find(lastLoggedByKilled.begin(), lastLoggedByKilled.end(), l.tag) !=
                                  lastLoggedByKilled.end()) {
                    ++insideOnReceive;
                } else {
                    ++duplicates;
                    ADD_FAILURE() << l.tag << " was printed " << n << " times and ran on its own";
                }
            } else if (l.ranHere) {
                ++ranHere;
                for (const char* why : {"ended before it confirmed", "took the forwarded launch back"})
                    if (has(r.err, why)) ++reasons[why];
            } else if (n == 1 && forwarded) {
                ++delivered;
            } else {
                ++lost;
                ADD_FAILURE() << l.tag << " printed " << n << " times, exit " << r.exitCode << ": " << r.err;
            }
        }
    }
    std::printf(
        "[ burst ] %d launches, %d kills: %d delivered, %d ran on their own, %d duplicates, %d lost, "
        "%d inside onReceive at a kill\n",
        kBursts * kLaunches, kills, delivered, ranHere, duplicates, lost, insideOnReceive);
    for (const auto& [why, n] : reasons) std::printf("[ burst ] %s: %d\n", why.c_str(), n);
    EXPECT_EQ(duplicates, 0);
    EXPECT_EQ(lost, 0);
    EXPECT_GE(kills, kBursts);
}

// The kind word of a confirmed object and the bytes the Java runtime's
// ObjectOutputStream writes for ForwardedLaunch(["one", "", "two words"],
// "C:\\fwd") (recorded from JDK 17).
const char* const kForwardedBytes =
    "02000000aced000573720020636f6d2e6d6f72646176696e2e6875782e466f727761726465644c61756e63686875784657440001"
    "0200025b0004617267737400135b4c6a6176612f6c616e672f537472696e673b4c0010776f726b696e674469726563746f727974"
    "00124c6a6176612f6c616e672f537472696e673b7870757200135b4c6a6176612e6c616e672e537472696e673badd256e7e91d7b"
    "470200007870000000037400036f6e6574000074000974776f20776f726473740006433a5c667764";

// The forwarding side between two Windows processes under Wine writes those
// bytes, as the Linux launcher does, and the hub receives them.
TEST(ForwardWine, TheForwardingSideWritesTheRuntimesBytes) {
    const Target windows{"windows-x64"};
    const std::string peer = windowsBuildDir() + "/bin/instance_peer.exe";
    if (access(peer.c_str(), R_OK) != 0) GTEST_SKIP() << "no Windows build";
    std::random_device rd;
    const std::string appId = "huxfwd" + std::to_string(getpid()) + "x" + std::to_string(rd() % 100000);
    // Nobody to hand over to yet.
    RunResult alone = runOn(windows, peer, {appId, "forward", "one"});
    EXPECT_EQ(alone.exitCode, 1) << alone.out;
    EXPECT_TRUE(has(alone.out, "not taken")) << alone.out;

    Background hub(windows.command(peer, {appId, "hub"}));
    ASSERT_TRUE(hub.waitForOutput("ready", 60000)) << hub.output();
    RunResult r = runOn(windows, peer, {appId, "forward", "one", "", "two words"});
    EXPECT_EQ(r.exitCode, 0) << r.out;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m, std::regex("forwarded len=196 (sum=[0-9a-f]+)\n([0-9a-f]+)\n"))) << r.out;
    EXPECT_EQ(m[2].str(), kForwardedBytes);
    // The hub's receiver sees an ordinary object: kind word 0, the rest as
    // written (the peer prints the FNV-1a hash of what arrives).
    uint64_t sum = 1469598103934665603ull;
    const std::string hex = m[2].str();
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        sum = (sum ^ (i < 8 ? 0u : std::stoul(hex.substr(i, 2), nullptr, 16))) * 1099511628211ull;
    char received[40];
    std::snprintf(received, sizeof received, "len=196 sum=%016llx", static_cast<unsigned long long>(sum));
    EXPECT_TRUE(hub.waitForOutput(received, 30000)) << hub.output();
}

namespace {

// The arguments and working directory of a ForwardedLaunch message as its
// receiver sees it (kind word 0 and serialisation stream, in hex), read as
// ObjectInputStream reads the stream: it must begin with the class
// descriptors of kForwardedBytes.
bool readForwardedLaunch(const std::string& hex, std::vector<std::u16string>& args, std::u16string& dir) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    const std::string recorded = "00000000" + std::string(kForwardedBytes).substr(8);
    const size_t prefixHex = recorded.find("7870", recorded.find("7572")) + 4;
    std::string prefix;
    for (size_t i = 0; i < prefixHex; i += 2)
        prefix.push_back(static_cast<char>(std::stoi(recorded.substr(i, 2), nullptr, 16)));
    if (bytes.compare(0, prefix.size(), prefix) != 0) return false;
    size_t at = prefix.size();
    auto take = [&](size_t n) {
        uint64_t v = 0;
        for (size_t k = 0; k < n && at < bytes.size(); ++k) v = (v << 8) | static_cast<unsigned char>(bytes[at++]);
        return v;
    };
    auto string = [&](std::u16string& out) {
        const int tag = static_cast<int>(take(1));
        if (tag != 0x74 && tag != 0x7c) return false;
        const uint64_t n = take(tag == 0x74 ? 2 : 8);
        if (n > bytes.size() - at) return false;
        const size_t end = at + static_cast<size_t>(n);
        out.clear();
        while (at < end) {  // modified UTF-8: one to three bytes per UTF-16 unit
            const unsigned c = static_cast<unsigned char>(bytes[at]);
            const size_t len = c < 0x80 ? 1 : c < 0xe0 ? 2 : 3;
            if (at + len > end) return false;
            unsigned u = len == 1 ? c : len == 2 ? c & 0x1f : c & 0x0f;
            for (size_t k = 1; k < len; ++k) u = (u << 6) | (static_cast<unsigned char>(bytes[at + k]) & 0x3f);
            out.push_back(static_cast<char16_t>(u));
            at += len;
        }
        return true;
    };
    const uint64_t count = take(4);
    args.assign(static_cast<size_t>(count), {});
    for (auto& a : args)
        if (!string(a)) return false;
    return string(dir) && at == bytes.size();
}

}  // namespace

// The Windows launcher itself, packed and run under Wine with forward mode,
// hands a Windows instance its Unicode arguments (Latin-1, CJK, emoji, an
// empty one) and its working directory, and ends with 0 without a runtime
// (none is installed under Wine).
TEST(ForwardWine, ThePackedLauncherHandsOverUnicodeArgumentsAndItsDirectory) {
    const Target windows{"windows-x64"};
    const std::string peer = windowsBuildDir() + "/bin/instance_peer.exe";
    if (access(peer.c_str(), R_OK) != 0) GTEST_SKIP() << "no Windows build";
    std::random_device rd;
    const std::string appId = "huxfwdexe" + std::to_string(getpid()) + "x" + std::to_string(rd() % 100000);
    TempDir dir;
    const std::string exe = dir.file("fwd.exe");
    ASSERT_EQ(pack(windows, exe, {"mainclass inst.Main", "appid " + appId, "singleinstance forward"},
                   {"lib/instances.jar=" + appJarDir() + "/instances.jar"})
                  .exitCode,
              0);
    Background hub(windows.command(peer, {appId, "hubdump"}));
    ASSERT_TRUE(hub.waitForOutput("ready", 60000)) << hub.output();

    const std::string cwd = dir.file("w \xc3\xbc \xe6\x97\xa5");
    std::filesystem::create_directories(cwd);
    const std::vector<std::string> args{"\xc3\xa9t\xc3\xa9", "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e.txt",
                                        "a\xf0\x9f\x98\x80z", "", "with space"};
    RunOptions o;
    o.cwd = cwd;
    o.env["HUX_DEBUG"] = "1";
    o.env["LC_ALL"] = "C.UTF-8";
    RunResult r = runOn(windows, exe, args, o);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(has(r.err, "forwarded the launch to the running instance")) << r.err;
    ASSERT_TRUE(hub.waitForOutput("data=", 30000)) << hub.output();
    const std::string out = hub.finish().out;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(out, m, std::regex("data=([0-9a-f]+)\r?\n"))) << out;
    std::vector<std::u16string> got;
    std::u16string gotDir;
    ASSERT_TRUE(readForwardedLaunch(m[1].str(), got, gotDir)) << m[1].str();
    ASSERT_EQ(got.size(), args.size());
    for (size_t i = 0; i < args.size(); ++i) EXPECT_TRUE(got[i] == utf16Of(args[i])) << "argument " << i;
    EXPECT_TRUE(gotDir == utf16Of(winePath(cwd))) << escaped(winePath(cwd));
}
