// The Linux launcher's named objects (single-instance lock, shared areas) as
// other users and other environments meet them: throwaway users made with
// useradd, launches run as them through setpriv.
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "support/harness.h"
#include "platform/posix/names.h"

using namespace hux::e2e;
using hux::platform::posix::encodeObjectName;

namespace {

const Target kLinux{"linux-x64"};

// Whether `path` is there as an entry of its own (a dangling link counts).
bool entryExists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// Where the user's named objects are: the runtime directory the system made
// for them, else a directory below their home.
std::string objectDirectoryOf(const User& u) {
    const std::string run = "/run/user/" + std::to_string(u.uid);
    if (entryExists(run)) return run + "/hux";
    utsname n{};
    uname(&n);
    return u.home + "/.hux/" + encodeObjectName(n.nodename);
}

std::string uniqueName(const std::string& base) {
    std::random_device rd;
    return base + std::to_string(getpid()) + "x" + std::to_string(rd() % 1000000);
}

class NamedObjects : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "making users needs root";
        a_ = throwawayUser("huxobja");
        b_ = throwawayUser("huxobjb");
        ASSERT_TRUE(a_.ok && b_.ok) << "cannot make the throwaway users";
        const auto jdks = installedJdks();
        ASSERT_FALSE(jdks.empty());
        jdk_ = jdks.front();
        // Other users must be able to run what the test packs.
        chmod(dir_.path().c_str(), 0755);
    }
    std::string packApp(const std::string& name, std::vector<std::string> lines) {
        lines.insert(lines.begin(), {"mainclass inst.Main", "jre_order c", "jvmdll " + jvmLibraryOf(jdk_)});
        const std::string exe = dir_.file(name);
        std::filesystem::create_directories(std::filesystem::path(exe).parent_path());
        chmod(std::filesystem::path(exe).parent_path().c_str(), 0755);
        RunResult r = pack(kLinux, exe, lines, {"lib/instances.jar=" + appJarDir() + "/instances.jar"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        chmod(exe.c_str(), 0755);
        return exe;
    }
    User a_, b_;
    std::string jdk_;
    TempDir dir_;
};

}  // namespace

TEST_F(NamedObjects, LaunchesWithDifferentEnvironmentsMeet) {
    const std::string appId = uniqueName("Env\\App");
    const std::string exe = packApp("env", {"appid " + appId, "singleinstance true"});
    // A runtime directory of the user's own, seen by the first launch only.
    const std::string xdg = dir_.file("xdg");
    mkdir(xdg.c_str(), 0700);
    chown(xdg.c_str(), a_.uid, a_.gid);
    RunOptions first;
    first.env["XDG_RUNTIME_DIR"] = xdg;
    first.env["HOME"] = xdg;
    first.env["TMPDIR"] = xdg;
    Background running(as(a_, kLinux.command(exe, {"hub"})), first);
    ASSERT_TRUE(running.waitForOutput("ready\n", 60000)) << running.output();

    RunOptions second;
    second.env["XDG_RUNTIME_DIR"] = std::nullopt;
    second.env["HOME"] = "/";
    second.env["TMPDIR"] = std::nullopt;
    second.cwd = "/";
    RunResult r = run(as(a_, kLinux.command(exe, {"info"})), second);
    EXPECT_EQ(r.exitCode, 11) << r.out << r.err;
    EXPECT_TRUE(has(r.err, "already an instance of this program running")) << r.err;
    // Nothing of the user's landed in the environment's directories.
    EXPECT_TRUE(std::filesystem::is_empty(xdg));
    // Their place is private to them.
    struct stat st {};
    ASSERT_EQ(stat(objectDirectoryOf(a_).c_str(), &st), 0) << objectDirectoryOf(a_);
    EXPECT_EQ(st.st_uid, a_.uid);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    running.finish();
}

TEST_F(NamedObjects, AnotherUserCannotSquatTheFirstLaunch) {
    const std::string exe = packApp("squat", {"appid " + uniqueName("Squat\\App"), "singleinstance true"});
    const std::string tmp = "/tmp/hux-" + std::to_string(a_.uid);
    const std::string shm = "/dev/shm/hux." + std::to_string(a_.uid) + ".x";
    RunOptions options;
    options.env["XDG_RUNTIME_DIR"] = std::nullopt;
    const std::vector<std::vector<std::string>> squats = {
        {"sh", "-c", "rm -rf " + tmp + " && : > " + tmp + " && chmod 666 " + tmp},
        {"sh", "-c", "rm -rf " + tmp + " && mkdir -m 777 " + tmp},
        {"sh", "-c", "rm -rf " + tmp + " && ln -s /tmp " + tmp},
    };
    for (const auto& squat : squats) {
        SCOPED_TRACE(squat.back());
        run({"rm", "-rf", tmp});
        ASSERT_EQ(run(as(b_, squat)).exitCode, 0);
        run(as(b_, {"sh", "-c", ": > " + shm + " && chmod 666 " + shm}));
        RunResult r = run(as(a_, kLinux.command(exe, {"info"})), options);
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_TRUE(has(r.out, "instances=[")) << r.out;
    }
    run({"rm", "-rf", tmp, shm});
}

// A user with neither a runtime directory nor a home keeps their objects in
// the last-resort directory below /tmp, which another user can take first:
// that must not refuse the launch (it runs without the lock), while with the
// directory free a second launch is still refused.
TEST_F(NamedObjects, AUserWithoutAHomeCanStillNotBeKeptFromStarting) {
    const User c = throwawayUser("huxobjc", false);
    ASSERT_TRUE(c.ok);
    ASSERT_FALSE(entryExists(c.home));
    ASSERT_FALSE(entryExists("/run/user/" + std::to_string(c.uid)));
    const std::string exe = packApp("homeless", {"appid " + uniqueName("Homeless\\App"), "singleinstance true"});
    const std::string tmp = "/tmp/hux-" + std::to_string(c.uid);
    run({"rm", "-rf", tmp});
    {
        Background running(as(c, kLinux.command(exe, {"hub"})));
        ASSERT_TRUE(running.waitForOutput("ready\n", 60000)) << running.output();
        RunResult second = run(as(c, kLinux.command(exe, {"info"})));
        EXPECT_EQ(second.exitCode, 11) << second.out << second.err;
        EXPECT_EQ(running.finish().exitCode, 0);
    }
    const std::vector<std::string> squats = {
        "mkdir -m 777 " + tmp,
        ": > " + tmp + " && chmod 666 " + tmp,
        "ln -s /tmp " + tmp,
    };
    RunOptions debug;
    debug.env["HUX_DEBUG"] = "1";
    for (const std::string& squat : squats) {
        SCOPED_TRACE(squat);
        run({"rm", "-rf", tmp});
        ASSERT_EQ(run(as(b_, {"sh", "-c", squat})).exitCode, 0);
        RunResult r = run(as(c, kLinux.command(exe, {"info"})), debug);
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_TRUE(has(r.out, "instances=[")) << r.out;
        EXPECT_TRUE(has(r.err, "running without it")) << r.err;
    }
    run({"rm", "-rf", tmp});
}

TEST_F(NamedObjects, AnObjectThatIsNotTheUsersOwnIsNeverUsed) {
    const std::string appId = uniqueName("Planted\\App");
    const std::string exe = packApp("planted", {"appid " + appId, "singleinstance custom"});
    // Make the user's directory exist, then plant (as root, the only one who
    // could) objects that are not theirs under the names the launch uses.
    ASSERT_EQ(run(as(a_, kLinux.command(exe, {"info"}))).exitCode, 0);
    const std::string dir = objectDirectoryOf(a_);
    std::string mapping = appId;
    std::replace(mapping.begin(), mapping.end(), '\\', '.');
    const std::string area = dir + "/" + encodeObjectName(mapping + ".hux.mapping");
    const std::string planted(4096, '\x5a');
    struct Plant {
        const char* what;
        std::string command;
    };
    const std::string victim = dir_.file("victim");
    const std::vector<Plant> plants = {
        {"another user's file", "chown " + std::to_string(b_.uid) + " " + area},
        {"group and other bits", "chown " + std::to_string(a_.uid) + " " + area + " && chmod 666 " + area},
        {"a symlink", "rm -f " + area + " && ln -s " + victim + " " + area},
        {"a second link", "rm -f " + area + " && cp " + victim + " " + area + " && chown " + std::to_string(a_.uid) +
                              " " + area + " && ln " + area + " " + area + ".link"},
        {"a wrong size", "rm -f " + area + " " + area + ".link && head -c 100 " + victim + " > " + area + " && chown " +
                             std::to_string(a_.uid) + " " + area + " && chmod 600 " + area},
    };
    for (const Plant& p : plants) {
        SCOPED_TRACE(p.what);
        dir_.write("victim", planted);
        chmod(victim.c_str(), 0666);
        run({"sh", "-c", "rm -f " + area + " && cp " + victim + " " + area});
        ASSERT_EQ(run({"sh", "-c", p.command}).exitCode, 0);
        RunOptions debug;
        debug.env["HUX_DEBUG"] = "1";
        RunResult r = run(as(a_, kLinux.command(exe, {"info"})), debug);
        // The launch runs on its own area instead and says why.
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(has(r.err, "not used") || has(r.err, "cannot open")) << r.err;
        EXPECT_TRUE(has(r.out, "instances=[")) << r.out;
        // Not a byte of the planted object changed.
        const std::string target = std::string(p.what) == "a symlink" ? victim : area;
        const std::string now = readFile(target);
        EXPECT_EQ(now.substr(0, 100), planted.substr(0, 100));
        if (now.size() == planted.size()) {
            EXPECT_EQ(now, planted);
        }
    }
    run({"rm", "-f", area, area + ".link"});
}

TEST_F(NamedObjects, NothingIsLeftBehindAfterTenExecutables) {
    std::vector<std::string> names;
    const std::string dir = hux::platform::posix::objectDirectory();
    ASSERT_FALSE(dir.empty());
    for (int i = 0; i < 10; ++i) {
        // Half with an application id of their own, half on the executable's area.
        std::vector<std::string> lines{"singleinstance true"};
        const std::string appId = uniqueName("Leak\\App");
        if (i % 2) lines.push_back("appid " + appId);
        const std::string exe = packApp("copy" + std::to_string(i) + "/app", lines);
        char area[64];
        std::snprintf(area, sizeof area, "exe.%016llx.hux.area",
                      static_cast<unsigned long long>(hux::platform::posix::fnv1a64(exe)));
        std::string mapping = appId;
        std::replace(mapping.begin(), mapping.end(), '\\', '.');
        std::string mutex = i % 2 ? mapping : exe;
        std::replace(mutex.begin(), mutex.end(), ':', '.');
        names.push_back(dir + "/" + (i % 2 ? encodeObjectName(mapping + ".hux.mapping") : std::string(area)));
        names.push_back(dir + "/" + encodeObjectName(mutex + ".hux.mutex"));

        // While it runs its objects are there ...
        Background running(kLinux.command(exe, {"hub"}));
        ASSERT_TRUE(running.waitForOutput("ready\n", 60000)) << running.output();
        for (size_t k = names.size() - 2; k < names.size(); ++k) EXPECT_TRUE(entryExists(names[k])) << names[k];
        // ... and a refused second launch does not take them away.
        RunResult second = runOn(kLinux, exe, {"info"});
        EXPECT_EQ(second.exitCode, 11);
        for (size_t k = names.size() - 2; k < names.size(); ++k) EXPECT_TRUE(entryExists(names[k])) << names[k];
        EXPECT_EQ(running.finish().exitCode, 0);
    }
    for (const std::string& n : names) EXPECT_FALSE(entryExists(n)) << n << " was left behind";
}

// A launch killed outright leaves its objects; the next launch reuses them and
// removes them when it leaves.
TEST_F(NamedObjects, ACrashLeavesOnlyWhatTheNextLaunchRemoves) {
    const std::string dir = hux::platform::posix::objectDirectory();
    ASSERT_FALSE(dir.empty());
    const std::string appId = uniqueName("Crash\\App");
    const std::string exe = packApp("crash", {"appid " + appId, "singleinstance true"});
    std::string name = appId;
    std::replace(name.begin(), name.end(), '\\', '.');
    const std::vector<std::string> objects{dir + "/" + encodeObjectName(name + ".hux.mapping"),
                                           dir + "/" + encodeObjectName(name + ".hux.mutex")};
    {
        Background running(kLinux.command(exe, {"hub"}));
        ASSERT_TRUE(running.waitForOutput("ready\n", 60000)) << running.output();
        ASSERT_EQ(kill(running.pid(), SIGKILL), 0);
        running.finish();
    }
    for (const std::string& o : objects) EXPECT_TRUE(entryExists(o)) << o;
    RunResult next = runOn(kLinux, exe, {"info"});
    EXPECT_EQ(next.exitCode, 0) << next.err;  // the dead owner's lock is free
    EXPECT_TRUE(has(next.out, "instances=[")) << next.out;
    for (const std::string& o : objects) EXPECT_FALSE(entryExists(o)) << o << " was left behind";
}
