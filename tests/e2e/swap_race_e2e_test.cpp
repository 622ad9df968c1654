// Another user racing the victim's launch: while it runs, they swap names in a
// directory of theirs (or in one that everyone may write) with
// renameat2(RENAME_EXCHANGE) in a tight loop, so that a check sees the real
// runtime or jar and the load a planted one. Bounded loops of real launches
// by a throwaway victim (through setpriv); the planted code must run in none.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "support/harness.h"

using namespace hux::e2e;
namespace fs = std::filesystem;

namespace {

const Target kLinux{"linux-x64"};
constexpr int kMostLaunches = 150;
constexpr auto kMostTime = std::chrono::seconds(40);

// The other user's process: exchanges each pair of names, over and over
// (pausing `pauseUs` after each), until it is killed.
class Swapper {
public:
    Swapper(const User& who, const std::vector<std::pair<std::string, std::string>>& pairs, useconds_t pauseUs = 0) {
        pid_ = fork();
        if (pid_ != 0) return;
        if (setgroups(0, nullptr) != 0 || setgid(who.gid) != 0 || setuid(who.uid) != 0) _exit(1);
        for (;;) {
            for (const auto& p : pairs)
                renameat2(AT_FDCWD, p.first.c_str(), AT_FDCWD, p.second.c_str(), RENAME_EXCHANGE);
            if (pauseUs) usleep(pauseUs);
        }
    }
    ~Swapper() { stop(); }
    bool running() const { return pid_ > 0; }
    void stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
};

class SwapRace : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "making users needs root";
        victim_ = throwawayUser("huxswapv");
        other_ = throwawayUser("huxswapa");
        ASSERT_TRUE(victim_.ok && other_.ok) << "cannot make the throwaway users";
        for (const std::string& home : installedJdks())
            if (jdkMajorVersion(home) == 17) jdk_ = home;
        ASSERT_FALSE(jdk_.empty()) << "needs JDK 17";
        chmod(dir_.path().c_str(), 0755);
        // The victim's private working directory, where the stand-in library
        // leaves its marker when it is loaded.
        home_ = dir_.file("victim");
        mkdir(home_.c_str(), 0700);
        ASSERT_EQ(chown(home_.c_str(), victim_.uid, victim_.gid), 0);
    }
    std::string user(const User& u) const { return std::to_string(u.uid) + ":" + std::to_string(u.gid); }
    // Runs `script` as root, or as `who`.
    void sh(const std::string& script, const User* who = nullptr) {
        const std::vector<std::string> command{"sh", "-c", script};
        ASSERT_EQ(run(who ? as(*who, command) : command).exitCode, 0) << script;
    }
    RunResult launch(const std::string& exe, const std::vector<std::string>& args, RunOptions o) {
        o.cwd = home_;
        o.env["JAVA_HOME"] = jdk_;
        o.env["JRE_HOME"] = std::nullopt;
        o.env["HUX_DEBUG"] = std::nullopt;
        return run(as(victim_, kLinux.command(exe, args)), o);
    }
    // Whether the planted library ran in the last launch (the marker is
    // removed for the next).
    bool plantedLibraryRan() {
        const bool ran = exists(home_ + "/runtime-loaded.txt");
        fs::remove(home_ + "/runtime-loaded.txt");
        return ran;
    }

    User victim_, other_;
    std::string jdk_, home_;
    TempDir dir_;
};

}  // namespace

// The victim's executable in a sticky shared directory, with their own links
// there to a runtime and to a class-path jar that lead through a directory of
// the other user's: its links point to a real JDK and to a root's jar, which
// the other user keeps exchanging with a folder holding a planted libjvm.so
// and with a jar of their own.
TEST_F(SwapRace, LinksThroughAnotherUsersDirectoryAreNeverFollowed) {
    const std::string shared = dir_.file("shared"), atk = dir_.file("atk");
    mkdir(shared.c_str(), 01777);
    chmod(shared.c_str(), 01777);
    sh("cp " + appJarDir() + "/lib1.jar " + dir_.file("root.jar") + " && chmod 644 " + dir_.file("root.jar"));
    sh("mkdir " + atk + " && chown " + user(other_) + " " + atk);
    // What the other user plants, copied where they can read it (the build
    // folder may be anyone's private one).
    const std::string supply = dir_.file("supply");
    sh("mkdir -m 755 " + supply + " && cp " + loadRecorder(kLinux) + " " + supply + "/libjvm.so && cp " + appJarDir() +
       "/top.jar " + supply + "/top.jar && chmod 644 " + supply + "/libjvm.so " + supply + "/top.jar");
    sh("cd " + atk + " && ln -s " + jdk_ + " jre && mkdir -p planted/lib/server && cp " + supply +
           "/libjvm.so planted/lib/server/libjvm.so && ln -s " + dir_.file("root.jar") + " cur && cp " + supply +
           "/top.jar theirs.jar",
       &other_);
    const std::string packed = dir_.file("packed"), exe = shared + "/tool";
    ASSERT_EQ(pack(kLinux, packed, {"mainclass app.Main", "classpath plugin.jar"},
                   {"lib/app.jar=" + appJarDir() + "/app.jar"})
                  .exitCode,
              0);
    sh("cp " + packed + " " + exe + " && chmod 755 " + exe + " && ln -s " + atk + "/jre " + shared + "/jre && ln -s " +
           atk + "/cur " + shared + "/plugin.jar",
       &victim_);

    // Before the race: the links are refused, naming the other user's directory.
    RunResult r = launch(exe, {"class", "lib.Dup"}, {});
    const std::string why = "directory '" + atk + "' is owned by uid " + std::to_string(other_.uid);
    EXPECT_TRUE(has(r.err, "hux: warning: ignoring '" + shared + "/./jre/lib/server/libjvm.so': " + why)) << r.err;
    EXPECT_TRUE(has(r.err, "hux: warning: ignoring '" + shared + "/plugin.jar': " + why)) << r.err;

    Swapper swapper(other_, {{atk + "/jre", atk + "/planted"}, {atk + "/cur", atk + "/theirs.jar"}});
    ASSERT_TRUE(swapper.running());
    int launches = 0, plantedLibrary = 0, plantedClass = 0, ranOnRealRuntime = 0;
    const auto end = std::chrono::steady_clock::now() + kMostTime;
    while (launches < kMostLaunches && std::chrono::steady_clock::now() < end) {
        r = launch(exe, {"class", "lib.Dup"}, {});
        ++launches;
        if (plantedLibraryRan()) ++plantedLibrary;
        if (has(r.out, "says=dup from the top level")) ++plantedClass;
        if (has(r.out, "main entered")) ++ranOnRealRuntime;
    }
    swapper.stop();
    std::printf("%d launches: the planted library ran in %d, the planted class in %d; %d ran on a real runtime\n",
                launches, plantedLibrary, plantedClass, ranOnRealRuntime);
    EXPECT_EQ(plantedLibrary, 0);
    EXPECT_EQ(plantedClass, 0);
    EXPECT_EQ(ranOnRealRuntime, launches);
}

// The victim's cache below a directory of their own that lies in one that
// everyone may write (not sticky): the other user exchanges the victim's
// directory with a copy of it whose unpacked runtime holds a planted
// libjvm.so of the same size.
TEST_F(SwapRace, ACacheBelowADirectoryOthersMayWriteIsNotUsed) {
    std::string jmods = jdk_ + "/jmods";
    if (!fs::is_directory(jmods)) GTEST_SKIP() << "needs JDK 17 with its jmods";
    // The executable lies elsewhere: the cache is not beside it.
    const std::string exe = dir_.file("bin/app");
    fs::create_directories(dir_.file("bin"));
    RunResult r = pack(kLinux, exe, {"mainclass app.Main"}, {"lib/app.jar=" + appJarDir() + "/app.jar"},
                       {"--jlink", "--embed", "--jdk", jdk_});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    chmod(exe.c_str(), 0755);
    // Unpacked once where nobody else may write, then moved below the open one.
    const std::string own = dir_.file("own"), open = dir_.file("open");
    sh("mkdir -m 755 " + own + " && mkdir -m 700 " + own + "/vic && chown " + user(victim_) + " " + own + "/vic");
    RunOptions o;
    o.env["XDG_CACHE_HOME"] = own + "/vic/cache";
    r = launch(exe, {"property", "java.home"}, o);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ASSERT_TRUE(has(r.out, "property java.home=" + own + "/vic/cache/hux/runtimes/")) << r.out;
    sh("mkdir -m 777 " + open + " && chmod 777 " + open + " && mv " + own + "/vic " + open + "/vic && cp -a " + open +
       "/vic " + open + "/copy && chown -R " + user(other_) + " " + open + "/copy && chmod -R a+rX " + open + "/copy");
    // The libraries the JVM opens by name as it starts, the same sizes as the real ones.
    const std::string lib = open + "/copy/cache/hux/runtimes/*/lib/";
    sh("for lib in " + lib + "server/libjvm.so " + lib + "libjava.so " + lib + "libnio.so " + lib +
       "libzip.so; do size=$(stat -c %s $lib); cp " + loadRecorder(kLinux) + " $lib && truncate -s $size $lib; done");

    o.env["XDG_CACHE_HOME"] = open + "/vic/cache";
    // Slow enough that hux's checks often see one tree and the JVM's loads the other.
    Swapper swapper(other_, {{open + "/vic", open + "/copy"}}, 15000);
    ASSERT_TRUE(swapper.running());
    int launches = 0, planted = 0, fromCache = 0, ran = 0;
    const auto end = std::chrono::steady_clock::now() + kMostTime;
    while (launches < kMostLaunches && std::chrono::steady_clock::now() < end) {
        r = launch(exe, {"property", "java.home"}, o);
        ++launches;
        if (plantedLibraryRan()) ++planted;
        if (has(r.out, "property java.home=" + open)) ++fromCache;
        if (r.exitCode == 0) ++ran;
    }
    swapper.stop();
    std::printf("%d launches: the planted library ran in %d; %d used the cache, %d ran\n", launches, planted, fromCache,
                ran);
    EXPECT_EQ(planted, 0);
    EXPECT_EQ(fromCache, 0);
    EXPECT_EQ(ran, launches);
}
