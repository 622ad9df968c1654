// An application that carries its runtime: packed once with `hux pack --jlink
// --embed` from the real JDK 17, then launched with no other Java in reach.
// The runtime is unpacked into the user's cache once; concurrent first
// launches, a launch killed half way, a full disk, a damaged copy and a cache
// directory of another user never make a launch use half a runtime. Under
// Wine the recording runtime stands in for the image.
#include <pwd.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <thread>

#include "harness.h"

using namespace hux::e2e;
namespace fs = std::filesystem;

namespace {

const Target kLinux{"linux-x64"};
const Target kWindows{"windows-x64"};

// The one packed application and the JDK it was linked from, for the suite.
struct Packed {
    Scratch dir;
    std::string exe, jdk, hash;
};
Packed* packed = nullptr;

class EmbeddedRuntimeLaunch : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string jdk;
        for (const std::string& home : installedJdks())
            if (jdkMajorVersion(home) == 17 && fs::is_directory(home + "/jmods")) jdk = home;
        if (jdk.empty()) return;
        packed = new Packed;
        packed->jdk = jdk;
        chmod(packed->dir.path().c_str(), 0755);
        packed->exe = packed->dir.file("app");
        const RunResult r = pack(kLinux, packed->exe, {"mainclass app.Main"}, {"lib/app.jar=" + appJarDir() + "/app.jar"},
                                 {"--jlink", "--embed", "--jdk", jdk});
        if (r.exitCode != 0 || !has(r.out, "carrying its runtime")) {
            ADD_FAILURE() << r.out << r.err;
            delete packed;
            packed = nullptr;
        }
    }
    static void TearDownTestSuite() {
        delete packed;
        packed = nullptr;
    }
    void SetUp() override {
        if (!packed) GTEST_SKIP() << "needs JDK 17 with its jmods";
        cache_ = dir_.file("cache");
        fs::create_directories(cache_);
        chmod(cache_.c_str(), 0700);
    }

    // A launch with no Java in reach but the embedded runtime.
    RunOptions alone(const std::string& order = "r") const {
        RunOptions o;
        o.env["PATH"] = "/nonexistent";
        o.env["JAVA_HOME"] = std::nullopt;
        o.env["JRE_HOME"] = std::nullopt;
        o.env["XDG_CACHE_HOME"] = cache_;
        o.env["HUX_DEBUG"] = std::nullopt;
        o.cwd = dir_.path();
        exeFor(order);
        return o;
    }
    // The packed executable, with a configuration file beside a copy of it
    // when a search order is asked for.
    std::string exeFor(const std::string& order) const {
        const std::string exe = dir_.file("app-" + (order.empty() ? std::string("default") : order));
        if (!fs::exists(exe)) {
            fs::copy_file(packed->exe, exe);
            if (!order.empty()) dir_.write("app-" + order + ".cfg", "jre_order " + order + "\n");
        }
        return exe;
    }
    RunResult launch(const std::string& order = "r", RunOptions o = {}) {
        if (o.env.empty()) o = alone(order);
        return runOn(kLinux, exeFor(order), {"property", "java.home"}, o);
    }
    std::string runtimes() const { return cache_ + "/hux/runtimes"; }
    // The unpacked copies and the temporary trees in the cache.
    std::vector<std::string> trees() const {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(runtimes(), ec)) names.push_back(e.path().filename().string());
        return names;
    }
    std::string home() const {
        for (const std::string& name : trees())
            if (name.size() == 32) return runtimes() + "/" + name;
        return "";
    }

    Scratch dir_;
    std::string cache_;
};

TEST_F(EmbeddedRuntimeLaunch, RunsWithNoOtherJavaAndUnpacksOnce) {
    RunResult r = launch();
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ASSERT_EQ(trees().size(), 1u);
    EXPECT_TRUE(has(r.out, "property java.home=" + home() + "\n")) << r.out;

    // A later launch finds it ready: the same copy, nothing unpacked.
    const auto before = fs::last_write_time(home() + "/lib/modules");
    RunOptions o = alone();
    o.env["HUX_DEBUG"] = "1";
    r = launch("r", o);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(has(r.err, "hux: embedded runtime " + home() + ": ready\n")) << r.err;
    EXPECT_FALSE(has(r.err, "unpacking")) << r.err;
    EXPECT_EQ(fs::last_write_time(home() + "/lib/modules"), before);

    // The default order takes it right after the private jre, before the
    // system's runtime (which is there).
    o = alone("");
    o.env["PATH"] = "/usr/bin:/bin";
    o.env["HUX_DEBUG"] = "1";
    r = launch("", o);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(has(r.err, "hux: runtime search order cbrsie\n")) << r.err;
    EXPECT_TRUE(has(r.out, "property java.home=" + home() + "\n")) << r.out;
}

TEST_F(EmbeddedRuntimeLaunch, TenFirstLaunchesAtOnceAllStart) {
    std::vector<std::unique_ptr<Background>> launches;
    for (int i = 0; i < 10; ++i)
        launches.push_back(std::make_unique<Background>(kLinux.command(exeFor("r"), {"property", "java.home"}), alone()));
    for (auto& l : launches) {
        const RunResult r = l->finish(120000);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(has(r.out, "property java.home=" + runtimes() + "/")) << r.out;
    }
    EXPECT_EQ(trees().size(), 1u) << "one copy, no temporary tree left";
}

TEST_F(EmbeddedRuntimeLaunch, ALaunchKilledHalfWayLeavesNothingALaterOneUses) {
    RunOptions o = alone();
    o.env["HUX_TEST_UNPACK_PAUSE"] = "60";
    {
        Background paused(kLinux.command(exeFor("r"), {"property", "java.home"}), o);
        ASSERT_TRUE(paused.waitForOutput("hux: test: unpack paused\n"));
        kill(paused.pid(), SIGKILL);
        paused.finish();
    }
    EXPECT_EQ(home(), "") << "no copy under its final name";
    ASSERT_EQ(trees().size(), 1u);
    EXPECT_TRUE(has(trees()[0], ".tmp")) << trees()[0];

    const RunResult r = launch();
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ASSERT_NE(home(), "");
    EXPECT_TRUE(has(r.out, "property java.home=" + home() + "\n")) << r.out;
    EXPECT_TRUE(fs::exists(home() + "/.hux-complete"));
}

TEST_F(EmbeddedRuntimeLaunch, ADamagedCopyIsNoticedAndUnpackedAgain) {
    ASSERT_EQ(launch().exitCode, 0);
    const std::string library = home() + "/lib/server/libjvm.so";
    const struct {
        const char* what;
        std::string file;
    } damages[] = {{"the library", library}, {"the module image", home() + "/lib/modules"}};
    for (const auto& d : damages) {
        const auto size = fs::file_size(d.file);
        fs::resize_file(d.file, size / 2);
        const RunResult r = launch();
        EXPECT_EQ(r.exitCode, 0) << d.what << ": " << r.err;
        EXPECT_EQ(fs::file_size(d.file), size) << d.what;
        EXPECT_EQ(trees().size(), 1u) << d.what;
    }
}

// A small file system of its own as the cache, mounted for the test.
class SmallDisk {
public:
    SmallDisk(const std::string& at, const std::string& size) : at_(at) {
        fs::create_directories(at);
        mounted_ = mount("tmpfs", at.c_str(), "tmpfs", 0, ("size=" + size + ",mode=0700").c_str()) == 0;
    }
    ~SmallDisk() {
        if (mounted_) umount2(at_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }

private:
    std::string at_;
    bool mounted_ = false;
};

TEST_F(EmbeddedRuntimeLaunch, AFullDiskFallsBackOrFailsWithOneLineNeverHalfARuntime) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting needs root";
    // The unpacked image's size, from a launch with room.
    ASSERT_EQ(launch().exitCode, 0);
    uint64_t image = 0;
    for (const auto& e : fs::recursive_directory_iterator(home()))
        if (e.is_regular_file()) image += e.file_size();
    fs::remove_all(runtimes());
    {
        // Too small from the start: refused before writing.
        SmallDisk disk(cache_, "8m");
        ASSERT_TRUE(disk.mounted());
        RunResult r = launch();
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_TRUE(has(r.err, "hux: not enough room to unpack the runtime into '" + runtimes() + "' (")) << r.err;
        EXPECT_TRUE(has(r.err, "Java Runtime Environment not found.")) << r.err;
        EXPECT_TRUE(trees().empty());
        // With the system's runtime after it, the launch goes on with that.
        RunOptions o = alone("");
        o.env["PATH"] = "/usr/bin:/bin";
        r = launch("", o);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_FALSE(has(r.out, runtimes())) << r.out;
    }
    {
        // Room for one copy and a half: concurrent first launches run out of
        // space while writing. Each either runs or fails with its line; none
        // leaves a tree behind, and a later launch runs.
        SmallDisk disk(cache_, std::to_string((image * 3 / 2 + (16 << 20)) >> 10) + "k");
        ASSERT_TRUE(disk.mounted());
        std::vector<std::unique_ptr<Background>> launches;
        for (int i = 0; i < 4; ++i)
            launches.push_back(
                std::make_unique<Background>(kLinux.command(exeFor("r"), {"property", "java.home"}), alone()));
        int failed = 0;
        for (auto& l : launches) {
            const RunResult r = l->finish(120000);
            if (r.exitCode == 0) continue;
            ++failed;
            EXPECT_EQ(r.exitCode, 1) << r.err;
            EXPECT_TRUE(has(r.err, "hux: cannot unpack the runtime into '" + runtimes() + "'") ||
                        has(r.err, "hux: not enough room to unpack the runtime"))
                << r.err;
        }
        RecordProperty("launches that ran out of room", failed);
        for (const std::string& name : trees()) EXPECT_EQ(name.size(), 32u) << "left behind: " << name;
        const RunResult r = launch();
        EXPECT_EQ(r.exitCode, 0) << r.err;
    }
}

TEST_F(EmbeddedRuntimeLaunch, AnotherUsersDirectoryInTheCacheIsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "making users needs root";
    const User victim = throwawayUser("huxobja"), other = throwawayUser("huxobjb");
    ASSERT_TRUE(victim.ok && other.ok);
    chmod(dir_.path().c_str(), 0755);
    const std::string exe = exeFor("r");
    const struct {
        const char* what;
        const char* ownerOfRuntimes;  // "victim" or "other"
        int exitCode;
    } cases[] = {{"the victim's own cache", "victim", 0}, {"runtimes of another user", "other", 1}};
    for (const auto& c : cases) {
        fs::remove_all(cache_);
        fs::create_directories(runtimes());
        const User& owner = std::string(c.ownerOfRuntimes) == "victim" ? victim : other;
        ASSERT_EQ(chown(cache_.c_str(), victim.uid, victim.gid), 0);
        ASSERT_EQ(chown((cache_ + "/hux").c_str(), victim.uid, victim.gid), 0);
        ASSERT_EQ(chown(runtimes().c_str(), owner.uid, owner.gid), 0);
        chmod(cache_.c_str(), 0700);
        chmod((cache_ + "/hux").c_str(), 0700);
        chmod(runtimes().c_str(), 0755);
        std::vector<std::string> argv{"setpriv", "--reuid=" + std::to_string(victim.uid),
                                      "--regid=" + std::to_string(victim.gid), "--init-groups", exe, "property",
                                      "java.home"};
        const RunResult r = run(argv, alone());
        EXPECT_EQ(r.exitCode, c.exitCode) << c.what << ": " << r.err;
        if (c.exitCode != 0) {
            EXPECT_TRUE(has(r.err, "hux: cannot unpack the runtime: '" + runtimes() +
                                       "' is not a private directory of the user's own\n"))
                << r.err;
            EXPECT_TRUE(trees().empty()) << c.what << ": nothing written into the other user's directory";
        } else {
            EXPECT_TRUE(has(r.out, "property java.home=" + runtimes() + "/")) << r.out;
        }
    }
}

// The packer's runtime options: a refusal is one line and writes nothing.
TEST(ShippedRuntimePacking, RefusalsAreOneLineAndWriteNothing) {
    Scratch dir;
    fs::create_directories(dir.file("notruntime/lib"));
    dir.write("nojmods/bin/jlink", "");
    fs::create_directories(dir.file("nojlink/jmods"));
    const std::string jar = "lib/app.jar=" + appJarDir() + "/app.jar";
    const struct {
        std::vector<std::string> args;
        int exitCode;
        std::string line;
    } cases[] = {
        {{"--runtime", dir.file("notruntime"), "--jlink"}, 2, "--runtime, --embed-runtime and --jlink each name"},
        {{"--embed"}, 2, "--embed goes with --jlink"},
        {{"--jdk", dir.file("nojmods")}, 2, "--jdk and --add-modules go with --jlink"},
        {{"--runtime", dir.file("notruntime")}, 1,
         "'" + dir.file("notruntime") + "' is not a runtime image for linux-x64 (it has no lib/server/libjvm.so)"},
        {{"--embed-runtime", dir.file("missing")}, 1, "the runtime image '" + dir.file("missing") + "' is not a folder"},
        {{"--jlink", "--jdk", dir.file("nojlink")}, 1, "the JDK at '" + dir.file("nojlink") + "' has no jlink"},
        {{"--jlink", "--jdk", dir.file("nojmods")}, 1, "the JDK at '" + dir.file("nojmods") + "' has no jmods folder"},
        {{"-t", "windows-x64", "--jlink"}, 1, "--jlink for windows-x64 needs that system's JDK for its modules"},
        {{"hux-runtime/x=" + appJarDir() + "/app.jar"}, 1, "the archive name 'hux-runtime/x' is reserved"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> cmd{toolPath(), "pack", "-o", dir.file("out/app"), "-l", "mainclass app.Main", jar};
        fs::create_directories(dir.file("out"));
        cmd.insert(cmd.end(), c.args.begin(), c.args.end());
        const RunResult r = run(cmd);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.line << r.err;
        EXPECT_TRUE(has(r.err, c.line)) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_TRUE(fs::is_empty(dir.file("out"))) << c.line;
    }
}

// --jlink writes jre/ beside the executable; --runtime copies an image there.
TEST(ShippedRuntimePacking, TheJreFolderBesideRunsWithNoOtherJava) {
    std::string jdk;
    for (const std::string& home : installedJdks())
        if (jdkMajorVersion(home) == 17 && fs::is_directory(home + "/jmods")) jdk = home;
    if (jdk.empty()) GTEST_SKIP() << "needs JDK 17 with its jmods";
    Scratch dir;
    fs::create_directories(dir.file("a"));
    fs::create_directories(dir.file("b"));
    const std::string jar = "lib/app.jar=" + appJarDir() + "/app.jar";
    RunResult r = pack(kLinux, dir.file("a/app"), {"mainclass app.Main", "jre_order b"}, {jar},
                       {"--jlink", "--jdk", jdk, "--add-modules", "java.logging"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(has(r.out, "hux pack: wrote " + dir.file("a/app") + " (")) << r.out;
    EXPECT_TRUE(has(r.out, ") and " + dir.file("a/jre") + "/ (")) << r.out;
    EXPECT_TRUE(has(readFile(dir.file("a/jre/release")), "java.logging")) << "the module asked for is there";
    r = pack(kLinux, dir.file("b/app"), {"mainclass app.Main", "jre_order b"}, {jar}, {"--runtime", dir.file("a/jre")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(fs::status(dir.file("b/jre/bin/java")).permissions() & fs::perms::owner_exec, fs::perms::owner_exec);
    for (const char* app : {"a", "b"}) {
        RunOptions o;
        o.env["PATH"] = "/nonexistent";
        o.env["JAVA_HOME"] = std::nullopt;
        o.env["JRE_HOME"] = std::nullopt;
        r = runOn(kLinux, dir.file(std::string(app) + "/app"), {"property", "java.home"}, o);
        EXPECT_EQ(r.exitCode, 0) << app << r.err;
        EXPECT_TRUE(has(r.out, "property java.home=" + dir.file(std::string(app) + "/jre"))) << r.out;
    }
}

// Under Wine: the recording runtime as the image, unpacked into the user's
// local application data and started from there, then found ready.
TEST(EmbeddedRuntimeWindows, UnpacksAndRunsFromTheUsersCache) {
    if (!windowsStubAvailable()) {
        if (std::getenv("HUX_REQUIRE_WINDOWS")) FAIL() << "the Windows build is required";
        GTEST_SKIP() << "no Windows build";
    }
    Scratch dir;
    const std::string image = dir.file("image");
    fs::create_directories(image + "/bin/server");
    fs::copy_file(windowsBuildDir() + "/test-runtimes/recording/jvm.dll", image + "/bin/server/jvm.dll");
    dir.write("image/release", "JAVA_VERSION=\"17.0.9\"\n");
    const std::string exe = dir.file("app.exe");
    RunResult r = pack(kWindows, exe, {"mainclass app.Main", "jre_order r"}, {"lib/app.jar=" + appJarDir() + "/app.jar"},
                       {"--embed-runtime", image});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(has(r.out, "carrying its runtime")) << r.out;
    // A first launch in this Wine prefix: its users' unpacked runtimes go.
    if (const char* prefix = std::getenv("WINEPREFIX")) {
        std::error_code ec;
        for (const auto& user : fs::directory_iterator(std::string(prefix) + "/drive_c/users", ec))
            fs::remove_all(user.path() / "AppData/Local/hux/runtimes", ec);
    }
    RunOptions o;
    o.cwd = dir.path();
    o.env["HUX_DEBUG"] = "1";
    o.env["JAVA_HOME"] = std::nullopt;
    o.env["JRE_HOME"] = std::nullopt;
    o.env["HUX_DOUBLE_TRACE"] = winePath(dir.file("trace.txt"));
    o.env["HUX_DOUBLE_SCRIPT"] = "return";
    r = runOn(kWindows, exe, {}, o);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(has(r.err, "hux: embedded runtime: unpacking 2 files")) << r.err;
    EXPECT_TRUE(has(r.err, "\\hux\\runtimes\\")) << r.err;
    EXPECT_TRUE(has(r.err, "server/jvm.dll\n")) << r.err;
    EXPECT_TRUE(has(readFile(dir.file("trace.txt")), "created")) << "the runtime ran";

    r = runOn(kWindows, exe, {}, o);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(has(r.err, ": ready\n")) << r.err;
    EXPECT_FALSE(has(r.err, "unpacking")) << r.err;
}

}  // namespace
