// Instance registry and messaging between real launches: JVMs on Linux, and the
// channel protocol between two Windows processes under Wine.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <random>
#include <regex>
#include <set>
#include <sstream>

#include "harness.h"

using namespace hux::e2e;

namespace {

const Target kLinux{"linux-x64"};

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// An application id no other run shares, so that runs never meet in the area.
std::string uniqueAppId(const std::string& name) {
    std::random_device rd;
    return "hux\\e2e\\" + name + "." + std::to_string(getpid()) + "." + std::to_string(rd() % 1000000);
}

class InstancesE2E : public ::testing::Test {
protected:
    void SetUp() override {
        jdks_ = installedJdks();
        ASSERT_FALSE(jdks_.empty()) << "no JDK under /usr/lib/jvm";
        jdk_ = jdks_.front();
    }
    // Packs the instances test application; `extra` adds a class only this
    // executable has.
    std::string packApp(const std::string& name, const std::string& appId, const std::string& mode,
                        bool extra = false) {
        std::vector<std::string> lines{"mainclass inst.Main", "jre_order c", "jvmdll " + jvmLibraryOf(jdk_),
                                       "appid " + appId};
        if (!mode.empty()) lines.push_back("singleinstance " + mode);
        std::vector<std::string> files{"lib/instances.jar=" + appJarDir() + "/instances.jar"};
        if (extra) files.push_back("lib/instextra.jar=" + appJarDir() + "/instextra.jar");
        const std::string exe = dir_.file(name);
        RunResult r = pack(kLinux, exe, lines, files);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return exe;
    }
    std::vector<std::string> jdks_;
    std::string jdk_;
    Scratch dir_;
};

std::string lineWith(const std::string& out, const std::string& prefix) {
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(prefix, 0) == 0) return line;
    return "";
}

}  // namespace

TEST_F(InstancesE2E, CustomModeHubReceivesObjectsOfEverySize) {
  for (const std::string& jdk : jdks_) {
    SCOPED_TRACE(jdk);
    jdk_ = jdk;
    const std::string appId = uniqueAppId("sizes");
    const std::string exe = packApp("app", appId, "custom");
    const std::string sender = packApp("sender", appId, "custom", true);

    Background hub(kLinux.command(exe, {"hub"}));
    ASSERT_TRUE(hub.waitForOutput("ready\n")) << "hub did not start";
    const std::string hubPid = std::to_string(hub.pid());
    // The first launch is hub; its own pid is reported as hub, not listed twice.
    EXPECT_TRUE(hub.waitForOutput("first=" + hubPid + " current=" + hubPid + " instances=[" + hubPid + "]\n"));

    // A byte[] of n bytes serialises to n + 27 bytes; with the 4-byte kind word
    // the messages are 1024 (one chunk), 1025 (two chunks) and 1 MiB (1024 chunks).
    RunResult sent = runOn(kLinux, sender, {"send", "993", "994", "1048545", "1"});
    ASSERT_EQ(sent.exitCode, 0) << sent.err;
    EXPECT_TRUE(has(sent.out, "first=" + hubPid + " current=")) << sent.out;
    std::regex sentLine("sent len=(\\d+) sha=([0-9a-f]+)");
    EXPECT_EQ(std::distance(std::sregex_iterator(sent.out.begin(), sent.out.end(), sentLine), std::sregex_iterator()), 4)
        << sent.out;

    // Sending to one's own pid, then unbinding the receiver.
    RunResult self = runOn(kLinux, exe, {"self"});
    EXPECT_EQ(self.exitCode, 0) << self.err;
    const std::string current = lineWith(self.out, "current=").substr(8);
    // (Newer runtimes print their class-data-sharing note on standard output.)
    EXPECT_TRUE(has(self.out, "current=" + current + "\nself from=" + current + " obj=to myself\nself from=" + current +
                                  " obj=to myself\n"))
        << self.out;
    EXPECT_FALSE(has(self.out, "after unbind")) << self.out;

    // A class the receiver cannot resolve: printed, nothing delivered, and the
    // channel carries on.
    RunResult extra = runOn(kLinux, sender, {"sendextra"});
    EXPECT_EQ(extra.exitCode, 0) << extra.err;
    EXPECT_TRUE(hub.waitForOutput(" obj=after extra\n"));
    RunResult hubRun = hub.finish();
    EXPECT_EQ(hubRun.exitCode, 0);

    // Every size arrived intact, from the sender's pid, in order.
    std::string expected;
    for (std::sregex_iterator it(sent.out.begin(), sent.out.end(), sentLine), end; it != end; ++it)
        expected += "len=" + (*it)[1].str() + " sha=" + (*it)[2].str() + "\n";
    std::string got;
    std::regex recvLine("recv from=(\\d+) len=(\\d+) sha=([0-9a-f]+)");
    std::set<std::string> senders;
    for (std::sregex_iterator it(hubRun.out.begin(), hubRun.out.end(), recvLine), end; it != end; ++it) {
        got += "len=" + (*it)[2].str() + " sha=" + (*it)[3].str() + "\n";
        senders.insert((*it)[1].str());
    }
    EXPECT_EQ(got, expected) << hubRun.out;
    EXPECT_EQ(senders.size(), 1u);
    EXPECT_TRUE(has(hubRun.err, "java.lang.ClassNotFoundException: extra.Payload")) << hubRun.err;
    EXPECT_FALSE(has(hubRun.out, "extra payload")) << hubRun.out;
  }
}

TEST_F(InstancesE2E, WithoutCustomModeTheNativesAnswerMinusOne) {
    for (const std::string mode : {"true", "", "TRUE", "yes"}) {
        SCOPED_TRACE("mode " + mode);
        const std::string appId = uniqueAppId("off");
        const std::string exe = packApp("off", appId, mode);
        RunResult r = runOn(kLinux, exe, {"info"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        // getInstances works in every mode: the only launch is the hub.
        std::smatch m;
        ASSERT_TRUE(std::regex_search(r.out, m, std::regex("first=-1 current=-1 instances=\\[(\\d+)\\]\n"))) << r.out;
        // sendObject and flush return at once.
        ASSERT_TRUE(std::regex_search(r.out, m, std::regex("flushed ms=(\\d+)"))) << r.out;
        EXPECT_LT(std::stoi(m[1].str()), 40);
    }
}

namespace {

struct LoadSummary {
    std::map<std::string, int> got;  // by sender
    int bad = 0;
    int received = 0;
    int expected = 0;
};

LoadSummary summaryOf(const std::string& out) {
    LoadSummary s;
    std::regex line("summary from=(\\d+) got=(\\d+) bad=(\\d+)");
    for (std::sregex_iterator it(out.begin(), out.end(), line), end; it != end; ++it) {
        s.got[(*it)[1].str()] = std::stoi((*it)[2].str());
        s.bad += std::stoi((*it)[3].str());
    }
    std::smatch m;
    if (std::regex_search(out, m, std::regex("done received=(\\d+) expected=(\\d+)"))) {
        s.received = std::stoi(m[1].str());
        s.expected = std::stoi(m[2].str());
    }
    if (has(out, "\nbad ") || has(out, "\norder ")) s.bad += 1;
    return s;
}

}  // namespace

TEST_F(InstancesE2E, FourInstancesExchangeFiveHundredObjectsEach) {
    const std::string exe = packApp("load", uniqueAppId("load"), "custom");
    constexpr int kCount = 500;
    std::vector<std::unique_ptr<Background>> group;
    for (int i = 0; i < 4; ++i) group.push_back(std::make_unique<Background>(kLinux.command(exe, {"load", "500", "4", "60"})));
    int delivered = 0, sent = 0;
    for (auto& b : group) EXPECT_TRUE(b->waitForOutput("done received=", 120000));
    for (auto& b : group) {
        RunResult r = b->finish();
        EXPECT_EQ(r.exitCode, 0) << r.err;
        LoadSummary s = summaryOf(r.out);
        EXPECT_EQ(s.bad, 0) << r.out;
        EXPECT_EQ(s.got.size(), 3u) << r.out;
        for (const auto& [sender, got] : s.got) EXPECT_EQ(got, kCount) << "from " << sender;
        delivered += s.received;
        sent += s.expected;
    }
    std::printf("[ load ] delivered %d of %d objects\n", delivered, sent);
    RecordProperty("delivered", delivered);
    RecordProperty("sent", sent);
    EXPECT_EQ(delivered, sent);
}

TEST_F(InstancesE2E, KillingTheHubElectsASurvivorWithinOneSecond) {
    const std::string exe = packApp("kill", uniqueAppId("kill"), "custom");
    constexpr int kCount = 1500;
    std::vector<std::unique_ptr<Background>> group;
    group.push_back(std::make_unique<Background>(kLinux.command(exe, {"load", "1500", "4", "10"})));
    usleep(300 * 1000);  // the first launch registers (and becomes hub) before its VM starts
    for (int i = 0; i < 3; ++i)
        group.push_back(std::make_unique<Background>(kLinux.command(exe, {"load", "1500", "4", "10"})));
    const std::string hubPid = std::to_string(group[0]->pid());
    ASSERT_TRUE(group[1]->waitForOutput("hub " + hubPid + " at", 60000));
    // Kill the hub while the objects are flowing.
    ASSERT_TRUE(group[1]->waitForOutput("progress 300", 60000)) << "no traffic";
    const int64_t killedAt = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    ASSERT_EQ(kill(group[0]->pid(), SIGKILL), 0);
    group[0]->finish();

    std::set<std::string> survivors;
    for (int i = 1; i < 4; ++i) survivors.insert(std::to_string(group[i]->pid()));
    for (int i = 1; i < 4; ++i) EXPECT_TRUE(group[i]->waitForOutput("done received=", 120000));
    std::string newHub;
    for (int i = 1; i < 4; ++i) {
        RunResult r = group[i]->finish();
        EXPECT_EQ(r.exitCode, 0) << r.err;
        // The first hub change each survivor saw after the kill.
        std::regex line("hub (\\d+) at (\\d+)");
        bool changed = false;
        for (std::sregex_iterator it(r.out.begin(), r.out.end(), line), end; it != end; ++it) {
            if ((*it)[1].str() == hubPid) continue;
            changed = true;
            EXPECT_TRUE(survivors.count((*it)[1].str())) << r.out;
            if (newHub.empty()) newHub = (*it)[1].str();
            EXPECT_EQ((*it)[1].str(), newHub);
            const long long after = std::stoll((*it)[2].str()) - killedAt;
            EXPECT_LT(after, 1000);
            std::printf("[ kill ] survivor %d saw the new hub %lld ms after the kill\n", group[i]->pid(), after);
            break;
        }
        EXPECT_TRUE(changed) << r.out;
        // Survivors kept exchanging: every object between survivors arrived,
        // none corrupted, duplicated or out of order.
        LoadSummary s = summaryOf(r.out);
        EXPECT_EQ(s.bad, 0) << r.out;
        for (const std::string& other : survivors) {
            if (other == std::to_string(group[i]->pid())) continue;
            EXPECT_EQ(s.got[other], kCount) << "from " << other << "\n" << r.out;
        }
        std::printf("[ kill ] survivor %d: %d received (%d from the killed hub)\n", group[i]->pid(), s.received,
                    s.got[hubPid]);
    }
}

// The same channel between Windows processes under Wine: a helper program with
// a printing receiver stands in for the virtual machine.
TEST(InstancesWine, ProcessesExchangeMessagesAndASurvivorTakesOverTheHub) {
    const Target windows{"windows-x64"};
    const std::string peer = windowsBuildDir() + "/bin/instance_peer.exe";
    if (access(peer.c_str(), X_OK) != 0 && access(peer.c_str(), R_OK) != 0) GTEST_SKIP() << "no Windows build";
    std::random_device rd;
    const std::string appId = "huxwine" + std::to_string(getpid()) + "x" + std::to_string(rd() % 100000);

    Background hub(windows.command(peer, {appId, "hub"}));
    // Background output keeps the Windows line ends (CR LF).
    ASSERT_TRUE(hub.waitForOutput("ready", 60000)) << hub.output();
    std::smatch m;
    ASSERT_TRUE(std::regex_search(hub.output(), m, std::regex("pid=(\\d+) hub=(\\d+) instances=(\\d+),\r?\n")));
    const std::string hubPid = m[1].str();
    EXPECT_EQ(m[2].str(), hubPid);
    EXPECT_EQ(m[3].str(), hubPid);

    // 1024 bytes travel as one chunk, 1025 as two, 1 MiB as 1024.
    RunResult sent = runOn(windows, peer, {appId, "send", "1024", "1025", "1048576", "1"});
    EXPECT_EQ(sent.exitCode, 0) << sent.err;
    EXPECT_TRUE(has(sent.out, "hub=" + hubPid + " instances=" + hubPid + ",")) << sent.out;
    EXPECT_TRUE(has(sent.out, "flushed\n")) << sent.out;
    RunResult self = runOn(windows, peer, {appId, "self"});
    EXPECT_EQ(self.exitCode, 0) << self.out;

    // A second waiting instance takes over when the hub is killed, woken by
    // the hub's process handle.
    Background survivor(windows.command(peer, {appId, "hub"}));
    ASSERT_TRUE(survivor.waitForOutput("ready", 60000));
    ASSERT_TRUE(hub.waitForOutput("len=1 ", 30000)) << hub.output();
    kill(hub.pid(), SIGKILL);
    RunResult hubRun = hub.finish();
    std::string expected;
    std::regex sentLine("sent len=(\\d+) sum=([0-9a-f]+)");
    for (std::sregex_iterator it(sent.out.begin(), sent.out.end(), sentLine), end; it != end; ++it)
        expected += "len=" + (*it)[1].str() + " sum=" + (*it)[2].str() + "\n";
    std::string got;
    std::regex recvLine("recv from=\\d+ len=(\\d+) sum=([0-9a-f]+)");
    for (std::sregex_iterator it(hubRun.out.begin(), hubRun.out.end(), recvLine), end; it != end; ++it)
        got += "len=" + (*it)[1].str() + " sum=" + (*it)[2].str() + "\n";
    EXPECT_EQ(got, expected) << hubRun.out;

    usleep(1000 * 1000);
    RunResult late = runOn(windows, peer, {appId, "send", "5000"});
    const std::string survivorPid = survivor.output().substr(4, survivor.output().find(' ') - 4);
    EXPECT_TRUE(has(late.out, "hub=" + survivorPid + " ")) << late.out << survivor.output();
    EXPECT_TRUE(survivor.waitForOutput("len=5000 ", 30000)) << survivor.output();
}
