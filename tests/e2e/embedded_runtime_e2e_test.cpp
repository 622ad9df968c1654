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
#include <fstream>
#include <memory>
#include <thread>

#include "support/harness.h"

using namespace hux::e2e;
namespace fs = std::filesystem;

namespace {

const Target kLinux{"linux-x64"};
const Target kWindows{"windows-x64"};

// The one packed application and the JDK it was linked from, for the suite.
struct Packed {
    TempDir dir;
    std::string exe, jdk, hash;
};
Packed* shared = nullptr;

class EmbeddedRuntimeLaunch : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string jdk;
        for (const std::string& home : installedJdks())
            if (jdkMajorVersion(home) == 17 && fs::is_directory(home + "/jmods")) jdk = home;
        if (jdk.empty()) return;
        shared = new Packed;
        shared->jdk = jdk;
        chmod(shared->dir.path().c_str(), 0755);
        shared->exe = shared->dir.file("app");
        const RunResult r = pack(kLinux, shared->exe, {"mainclass app.Main"},
                                 {"lib/app.jar=" + appJarDir() + "/app.jar"}, {"--jlink", "--embed", "--jdk", jdk});
        if (r.exitCode != 0 || !has(r.out, "carrying its runtime")) {
            ADD_FAILURE() << r.out << r.err;
            delete shared;
            shared = nullptr;
        }
    }
    static void TearDownTestSuite() {
        delete shared;
        shared = nullptr;
    }
    void SetUp() override {
        if (!shared) GTEST_SKIP() << "needs JDK 17 with its jmods";
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
            fs::copy_file(shared->exe, exe);
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

    TempDir dir_;
    std::string cache_;
};

TEST_F(EmbeddedRuntimeLaunch, RunsWithNoOtherJavaAndUnpacksOnce) {
    RunResult r = launch();
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ASSERT_EQ(trees().size(), 1u);
    EXPECT_TRUE(has(r.out, "property java.home=" + home() + "\n")) << r.out;
    // The image carries the class-data archive the packer wrote for it,
    // which the JVM then maps (with -Xshare:on it would refuse to start
    // otherwise).
    EXPECT_TRUE(fs::exists(home() + "/lib/server/classes.jsa"));
    const std::string mapping = dir_.file("app-shared");
    fs::copy_file(shared->exe, mapping);
    dir_.write("app-shared.cfg", "jre_order r\noption -Xshare:on\n");
    r = runOn(kLinux, mapping, {"property", "java.home"}, alone());
    EXPECT_EQ(r.exitCode, 0) << r.err;

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
        launches.push_back(
            std::make_unique<Background>(kLinux.command(exeFor("r"), {"property", "java.home"}), alone()));
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

// The offset in an ELF library of the code of its exported `symbol`, from
// nm; 0 when nm cannot tell (text is loaded at its file offset in libjvm).
uint64_t symbolOffset(const std::string& library, const std::string& symbol) {
    const RunResult r = run({"nm", "-D", "--defined-only", library});
    const size_t at = r.out.find(" T " + symbol + "@");
    if (r.exitCode != 0 || at == std::string::npos) return 0;
    return std::stoull(r.out.substr(r.out.rfind('\n', at) + 1, at), nullptr, 16);
}

void flipByte(const std::string& file, uint64_t offset) {
    std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
    f.seekg(static_cast<std::streamoff>(offset));
    const char c = static_cast<char>(f.get() ^ 0xff);
    f.seekp(static_cast<std::streamoff>(offset));
    f.put(c);
}

// One flipped byte keeps the size the per-launch check looks at: the launch
// that meets it fails (the machine crashes coming up) or repairs the copy at
// once (the library does not load); the launch after it runs in any case.
TEST_F(EmbeddedRuntimeLaunch, AFlippedByteInTheLibraryIsRepairedByTheNextLaunch) {
    ASSERT_EQ(launch().exitCode, 0);
    const std::string library = home() + "/lib/server/libjvm.so";
    const std::string original = readFile(library);
    const uint64_t entry = symbolOffset(library, "JNI_CreateJavaVM");
    if (entry == 0) GTEST_SKIP() << "nm cannot find JNI_CreateJavaVM in " << library;
    const struct {
        const char* what;
        uint64_t offset;
    } damages[] = {{"the creation entry's code", entry + 4}, {"the dynamic symbols", 0x1000}};
    for (const auto& d : damages) {
        flipByte(library, d.offset);
        const RunResult first = launch();
        RecordProperty(std::string("exit code after damage to ") + d.what, first.exitCode);
        for (int i = 0; i < 2; ++i) {
            const RunResult r = launch();
            EXPECT_EQ(r.exitCode, 0) << d.what << ": " << r.err;
            EXPECT_TRUE(has(r.out, "property java.home=" + home() + "\n")) << d.what << ": " << r.out;
        }
        EXPECT_TRUE(readFile(library) == original) << d.what;
        for (const auto& e : fs::directory_iterator(home()))
            EXPECT_NE(e.path().filename().string().rfind(".hux-start", 0), 0u) << d.what << ": " << e.path();
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
        // One line tells the publisher why, with the path.
        EXPECT_EQ(r.err.rfind("hux: warning: not enough room to unpack the runtime into '" + runtimes() + "' (", 0), 0u)
            << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_TRUE(has(r.err, "; running on /")) << r.err;
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
        std::vector<std::string> argv{"setpriv",
                                      "--reuid=" + std::to_string(victim.uid),
                                      "--regid=" + std::to_string(victim.gid),
                                      "--init-groups",
                                      exe,
                                      "property",
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
    TempDir dir;
    fs::create_directories(dir.file("notruntime/lib"));
    // A JDK without jmods whose jlink cannot link from its run-time image.
    dir.write("nojmods/bin/jdeps", "#!/bin/sh\necho java.base\n");
    dir.write("nojmods/bin/jlink", "#!/bin/sh\nexit 1\n");
    for (const char* tool : {"jdeps", "jlink"}) chmod(dir.file(std::string("nojmods/bin/") + tool).c_str(), 0755);
    fs::create_directories(dir.file("nojlink/jmods"));
    dir.write("java17/lib/server/libjvm.so", "");
    dir.write("java17/release", "JAVA_VERSION=\"17.0.2\"\n");
    const std::string jar = "lib/app.jar=" + appJarDir() + "/app.jar";
    const struct {
        std::vector<std::string> args;
        int exitCode;
        std::string line;
    } cases[] = {
        {{"--runtime", dir.file("notruntime"), "--jlink"}, 2, "--runtime, --embed-runtime and --jlink each name"},
        {{"--embed"}, 2, "--embed goes with --jlink"},
        {{"--jdk", dir.file("nojmods")}, 2, "--jdk and --add-modules go with --jlink"},
        {{"--runtime", dir.file("notruntime")},
         1,
         "'" + dir.file("notruntime") + "' is not a runtime image for linux-x64 (it has no lib/server/libjvm.so)"},
        {{"--embed-runtime", dir.file("missing")},
         1,
         "the runtime image '" + dir.file("missing") + "' is not a folder"},
        {{"--jlink", "--jdk", dir.file("nojlink")}, 1, "the JDK at '" + dir.file("nojlink") + "' has no jlink"},
        {{"--jlink", "--jdk", dir.file("nojmods")},
         1,
         "jlink could not link java.base (exit 1); the JDK at '" + dir.file("nojmods") +
             "' has no jmods folder, which jlink before JDK 24 links from"},
        {{"-t", "windows-x64", "--jlink"}, 1, "--jlink for windows-x64 needs that system's JDK for its modules"},
        {{"hux-runtime/x=" + appJarDir() + "/app.jar"}, 1, "the archive name 'hux-runtime/x' is reserved"},
        {{"--jlink", "--train", "a"}, 2, "--train makes the cache of a runtime stored in the executable"},
        {{"--jlink", "--embed", "-t", "windows-x64", "--train", "a"}, 2, "packs for this machine's target"},
        {{"--jlink", "--embed", "--train", "'a"}, 2, "--train: an argument has no closing quote"},
        {{"--embed-runtime", dir.file("java17"), "--train", ""},
         1,
         "--train needs a runtime of Java 24 or later, for its ahead-of-time cache; '" + dir.file("java17") +
             "' is Java 17"},
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
    TempDir dir;
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
// `argv` run where no runtime is installed: empty folders over the system's
// runtimes and their alternatives, in a mount namespace of its own.
std::vector<std::string> withoutJava(const std::vector<std::string>& argv) {
    std::vector<std::string> wrapped = {"unshare",
                                        "-m",
                                        "--propagation",
                                        "private",
                                        "sh",
                                        "-c",
                                        "mount -t tmpfs tmpfs /usr/lib/jvm && mount -t tmpfs tmpfs /etc/alternatives "
                                        "&& exec \"$@\"",
                                        "sh"};
    wrapped.insert(wrapped.end(), argv.begin(), argv.end());
    return wrapped;
}

RunOptions inCache(const std::string& cache) {
    fs::create_directories(cache);
    chmod(cache.c_str(), 0700);
    RunOptions o;
    o.env["PATH"] = "/usr/bin:/bin";
    o.env["JAVA_HOME"] = std::nullopt;
    o.env["JRE_HOME"] = std::nullopt;
    o.env["XDG_CACHE_HOME"] = cache;
    o.env["HUX_DEBUG"] = std::nullopt;
    return o;
}

// An application that needs java.xml, java.sql, java.desktop and (by name
// only) java.logging, linked from each JDK here (17 from its jmods, 25 from
// its run-time image), runs where no Java is installed as `java -cp` runs it.
TEST(EmbeddedRuntimeModules, SeveralModulesRunWhereNoJavaIsInstalledAsJavaCpDoes) {
    if (geteuid() != 0) GTEST_SKIP() << "a mount namespace needs root";
    const std::string jar = appJarDir() + "/modules.jar";
    for (const std::string& jdk : installedJdks()) {
        TempDir dir;
        const std::string exe = dir.file("modules");
        // Linking and deflating some 90 MB takes a while on a small machine.
        RunOptions slow;
        slow.timeoutMs = 300000;
        const RunResult packed = run({toolPath(), "pack", "-o", exe, "-l", "mainclass modules.Main", "--jlink",
                                      "--embed", "--jdk", jdk, "lib/modules.jar=" + jar},
                                     slow);
        ASSERT_EQ(packed.exitCode, 0) << jdk << ": " << packed.out << packed.err;
        EXPECT_TRUE(has(packed.out, "hux pack: linking the runtime with java.base,")) << packed.out;
        for (const char* module : {"java.desktop", "java.sql", "java.xml", "java.logging"})
            EXPECT_TRUE(has(packed.out.substr(0, packed.out.find('\n')), module)) << jdk << ": " << packed.out;
        EXPECT_TRUE(has(packed.out, "--add-modules")) << packed.out;
        // Each name once: jlink's legal notices are links.
        const RunResult listing = run({toolPath(), "inspect", exe});
        size_t notices = 0;
        for (size_t at = listing.out.find("hux-runtime/legal/java.base/LICENSE"); at != std::string::npos;
             at = listing.out.find("hux-runtime/legal/java.base/LICENSE", at + 1))
            ++notices;
        EXPECT_EQ(notices, 1u) << listing.out;
        const RunResult expected = run({jdk + "/bin/java", "-cp", jar, "modules.Main"});
        ASSERT_EQ(expected.exitCode, 0) << expected.err;
        for (int launch = 0; launch < 2; ++launch) {
            const RunResult r = run(withoutJava({exe}), inCache(dir.file("cache")));
            EXPECT_EQ(r.exitCode, 0) << jdk << ": " << r.err;
            EXPECT_EQ(r.out, expected.out) << jdk;
            EXPECT_EQ(errorLines(r.err), "") << jdk;
        }
    }
}

// A module jar whose required modules are missing fails jdeps over all jars:
// then each jar is read alone, and the one that fails is named.
TEST(EmbeddedRuntimeModules, AJarJdepsCannotReadIsPassedOverByName) {
    const std::string moduleJar = "/usr/share/java/jaxb-api.jar";  // requires java.activation
    std::string jdk;
    for (const std::string& home : installedJdks())
        if (fs::is_directory(home + "/jmods")) jdk = home;
    if (jdk.empty() || !fs::exists(moduleJar)) GTEST_SKIP() << "needs a JDK with jmods and " << moduleJar;
    TempDir dir;
    RunOptions slow;
    slow.timeoutMs = 300000;
    const RunResult packed =
        run({toolPath(), "pack", "-o", dir.file("app"), "-l", "mainclass modules.Main", "--jlink", "--jdk", jdk,
             "lib/modules.jar=" + appJarDir() + "/modules.jar", "lib/jaxb-api.jar=" + moduleJar},
            slow);
    ASSERT_EQ(packed.exitCode, 0) << packed.out << packed.err;
    EXPECT_TRUE(has(packed.out, "(jdeps could not read jaxb-api.jar)")) << packed.out;
    for (const char* module : {"java.desktop", "java.sql"})
        EXPECT_TRUE(has(packed.out.substr(0, packed.out.find('\n')), module)) << packed.out;
}

// Debian's and Temurin's JDKs link lib/security/cacerts to /etc/ssl: the
// link is carried as the file it leads to, with one warning line.
TEST(EmbeddedRuntimeModules, AnImageWhoseCertificatesAreALinkIsCarriedAsTheFile) {
    if (geteuid() != 0) GTEST_SKIP() << "a mount namespace needs root";
    std::string jdk;
    for (const std::string& home : installedJdks())
        if (fs::is_symlink(home + "/lib/security/cacerts")) jdk = home;
    if (jdk.empty()) GTEST_SKIP() << "no JDK here whose cacerts is a link";
    TempDir dir;
    const std::string image = dir.file("image");
    ASSERT_EQ(run({jdk + "/bin/jlink", "--add-modules", "java.base", "--output", image}).exitCode, 0);
    fs::remove(image + "/lib/security/cacerts");
    fs::create_symlink(fs::read_symlink(jdk + "/lib/security/cacerts"), image + "/lib/security/cacerts");
    const std::string jar = appJarDir() + "/modules.jar";
    const std::string exe = dir.file("certificates");
    const RunResult packed =
        pack(kLinux, exe, {"mainclass modules.Main"}, {"lib/modules.jar=" + jar}, {"--embed-runtime", image});
    ASSERT_EQ(packed.exitCode, 0) << packed.out << packed.err;
    const std::string target = fs::canonical(image + "/lib/security/cacerts").string();
    EXPECT_TRUE(has(packed.err, "hux pack: warning: the runtime image's 'lib/security/cacerts' links to '" + target +
                                    "' outside the image: the executable carries a copy of that file"))
        << packed.err;
    EXPECT_EQ(std::count(packed.err.begin(), packed.err.end(), '\n'), 1) << packed.err;
    const RunResult expected = run({jdk + "/bin/java", "-cp", jar, "modules.Main", "certificates"});
    ASSERT_TRUE(has(expected.out, "trusted certificates ")) << expected.err;
    const RunResult r = run(withoutJava({exe, "certificates"}), inCache(dir.file("cache")));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, expected.out);
}

TEST(EmbeddedRuntimeWindows, UnpacksAndRunsFromTheUsersCache) {
    if (!windowsStubAvailable()) {
        if (std::getenv("HUX_REQUIRE_WINDOWS")) FAIL() << "the Windows build is required";
        GTEST_SKIP() << "no Windows build";
    }
    TempDir dir;
    const std::string image = dir.file("image");
    fs::create_directories(image + "/bin/server");
    fs::copy_file(windowsBuildDir() + "/test-runtimes/recording/jvm.dll", image + "/bin/server/jvm.dll");
    dir.write("image/release", "JAVA_VERSION=\"17.0.9\"\n");
    const std::string exe = dir.file("app.exe");
    RunResult r = pack(kWindows, exe, {"mainclass app.Main", "jre_order r"},
                       {"lib/app.jar=" + appJarDir() + "/app.jar"}, {"--embed-runtime", image});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(has(r.out, "carrying its runtime")) << r.out;
    // A first launch in this Wine prefix: its users' unpacked runtimes go.
    {
        std::error_code ec;
        for (const auto& user : fs::directory_iterator(winePrefix() + "/drive_c/users", ec))
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
    EXPECT_TRUE(has(r.err, "server\\jvm.dll\n")) << r.err;
    EXPECT_TRUE(has(readFile(dir.file("trace.txt")), "created")) << "the runtime ran";

    r = runOn(kWindows, exe, {}, o);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(has(r.err, ": ready\n")) << r.err;
    EXPECT_FALSE(has(r.err, "unpacking")) << r.err;
}

}  // namespace
