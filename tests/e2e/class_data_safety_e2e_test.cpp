// The class-data cache never stops the application: damaged archives, an
// archive whose launch crashed, and caches that cannot take an archive, with
// the installed JDKs.
#include <pwd.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "support/harness.h"

using namespace hux::e2e;
namespace fs = std::filesystem;

namespace {

const Target kLinux{"linux-x64"};
constexpr char kFromArchive[] = "app.Main source: shared objects file";

std::string archiveIn(const std::string& dir) {
    for (const std::string& name : filesIn(dir))
        if (name.size() == 37 && name.substr(33) == ".jsa") return dir + "/" + name;
    return {};
}

void writeBytes(const std::string& path, const std::string& bytes) {
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// A file system mounted for one test, unmounted afterwards.
class Mount {
public:
    Mount(const std::string& source, const std::string& target, const char* type, unsigned long flags, const char* data)
        : target_(target) {
        mounted_ = mount(source.c_str(), target.c_str(), type, flags, data) == 0;
    }
    ~Mount() {
        if (mounted_) umount2(target_.c_str(), MNT_DETACH);
    }
    bool ok() const { return mounted_; }

private:
    std::string target_;
    bool mounted_ = false;
};

class ClassDataSafety : public ::testing::Test {
protected:
    // Packs the test application with `cds auto` for `jdk`, logging where
    // each class came from to `HUX_CLASS_LOG`.
    std::string packFor(const std::string& jdk) {
        const std::string exe = dir_.file("app-" + std::to_string(jdkMajorVersion(jdk)));
        RunResult r = pack(kLinux, exe,
                           {"mainclass app.Main", "jre_order c", "jvmdll " + jvmLibraryOf(jdk), "cds auto",
                            "assystemclassloader FALSE", "option -Xlog:class+load=info:file=${HUX_CLASS_LOG}"},
                           {"lib/app.jar=" + appJarDir() + "/app.jar"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        chmod(exe.c_str(), 0755);
        return exe;
    }
    RunOptions options(const std::string& cacheBase) {
        RunOptions o;
        o.env["XDG_CACHE_HOME"] = cacheBase;
        o.env["HUX_CLASS_LOG"] = dir_.file("classes.log");
        fs::remove(dir_.file("classes.log"));
        return o;
    }
    bool mappedArchive() { return has(readFile(dir_.file("classes.log")), kFromArchive); }
    TempDir dir_;
};

}  // namespace

TEST_F(ClassDataSafety, ADamagedArchiveIsRemovedAndWrittenAnew) {
    struct Damage {
        const char* name;
        std::string (*apply)(const std::string& bytes);
    };
    const Damage damages[] = {
        {"truncated to 4096 bytes", [](const std::string& b) { return b.substr(0, 4096); }},
        {"truncated to half", [](const std::string& b) { return b.substr(0, b.size() / 2); }},
        {"1% of the bytes after 4 KiB flipped",
         [](const std::string& b) {
             std::string out = b;
             std::mt19937 random(7);
             const size_t body = out.size() - 4096;
             for (size_t i = 0; i < body / 100; ++i)
                 out[4096 + random() % body] ^= static_cast<char>(1 << (random() % 8));
             return out;
         }},
    };
    for (const std::string& jdk : installedJdks()) {
        const std::string exe = packFor(jdk);
        for (const Damage& damage : damages) {
            SCOPED_TRACE(jdk + ", " + damage.name);
            const std::string base = dir_.file("cache-" + std::to_string(jdkMajorVersion(jdk)) + damage.name[0]);
            const std::string cache = base + "/hux";
            RunResult r = runOn(kLinux, exe, {}, options(base));
            ASSERT_EQ(r.exitCode, 0) << r.err;
            const std::string archive = archiveIn(cache);
            ASSERT_NE(archive, "");
            const std::string whole = readFile(archive);
            const std::string damaged = damage.apply(whole);
            writeBytes(archive, damaged);
            // Three launches: each runs the application, the first writes a
            // new archive, the next ones map it.
            for (int launch = 0; launch < 3; ++launch) {
                r = runOn(kLinux, exe, {"exit", "3"}, options(base));
                EXPECT_EQ(r.exitCode, 3) << "launch " << launch << ": " << r.err;
                EXPECT_EQ(r.err, "") << "launch " << launch;
                EXPECT_TRUE(has(r.out, "main entered")) << "launch " << launch;
                EXPECT_EQ(mappedArchive(), launch > 0) << "launch " << launch;
                EXPECT_NE(readFile(archive), damaged) << "launch " << launch;
            }
            EXPECT_EQ(filesIn(cache).size(), 2u);  // the archive and its record, nothing left over
        }
    }
}

TEST_F(ClassDataSafety, ALaunchThatDiesInItsFirstSecondsMarksTheArchiveBad) {
    for (const std::string& jdk : installedJdks()) {
        SCOPED_TRACE(jdk);
        const std::string exe = packFor(jdk);
        const std::string base = dir_.file("cache-" + std::to_string(jdkMajorVersion(jdk)));
        ASSERT_EQ(runOn(kLinux, exe, {}, options(base)).exitCode, 0);
        const std::string archive = archiveIn(base + "/hux");
        ASSERT_NE(archive, "");
        const std::string first = readFile(archive);
        {
            // Killed, as by a crash, with the archive mapped.
            Background dying(kLinux.command(exe, {"sleep", "60000"}), options(base));
            ASSERT_TRUE(dying.waitForOutput("sleeping"));
            EXPECT_TRUE(mappedArchive());
            kill(dying.pid(), SIGKILL);
            dying.finish();
        }
        RunResult r = runOn(kLinux, exe, {"exit", "3"}, options(base));
        EXPECT_EQ(r.exitCode, 3) << r.err;
        EXPECT_FALSE(mappedArchive());
        EXPECT_NE(readFile(archive), first);  // written anew
        EXPECT_EQ(filesIn(base + "/hux").size(), 2u);
        // Concurrent launches that live on do not mark each other's archive.
        {
            Background running(kLinux.command(exe, {"sleep", "4000"}), options(base));
            ASSERT_TRUE(running.waitForOutput("sleeping"));
            r = runOn(kLinux, exe, {}, options(base));
            EXPECT_TRUE(mappedArchive());
            EXPECT_EQ(running.finish().exitCode, 0);
        }
    }
}

TEST_F(ClassDataSafety, ACacheThatCannotTakeAnArchiveKeepsTheApplicationsExitCode) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting file systems needs root";
    const std::string jdk = installedJdks().front();
    const std::string exe = packFor(jdk);
    struct Case {
        const char* name;
        bool (*prepare)(const std::string& cache, std::unique_ptr<Mount>& mount);
    };
    const Case cases[] = {
        {"full file system",
         [](const std::string& cache, std::unique_ptr<Mount>& m) {
             m = std::make_unique<Mount>("tmpfs", cache, "tmpfs", 0, "size=64k,mode=0700");
             return m->ok();
         }},
        {"read-only bind mount",
         [](const std::string& cache, std::unique_ptr<Mount>& m) {
             m = std::make_unique<Mount>(cache, cache, nullptr, MS_BIND, nullptr);
             if (!m->ok()) return false;
             return mount(nullptr, cache.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string base = dir_.file(std::string("cache-") + c.name[0]);
        fs::create_directories(base + "/hux");
        chmod((base + "/hux").c_str(), 0700);
        std::unique_ptr<Mount> mounted;
        if (!c.prepare(base + "/hux", mounted)) {
            ADD_FAILURE() << "cannot mount here: " << strerror(errno);
            continue;
        }
        for (const char* code : {"3", "0"}) {
            RunResult r = runOn(kLinux, exe, {"exit", code}, options(base));
            EXPECT_EQ(r.exitCode, std::stoi(code)) << r.err;
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(filesIn(base + "/hux"), std::vector<std::string>{});
        }
        RunResult r = runOn(kLinux, exe, {}, options(base));  // main returns
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(has(r.out, "main done"));
    }
}

// A cache with room for an archive when the launch starts, filled by another
// writer while the application runs: the archive is thrown away quietly and
// the application's exit code stands.
TEST_F(ClassDataSafety, ACacheThatFillsWhileTheApplicationRunsKeepsItsExitCode) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting file systems needs root";
    for (const std::string& jdk : installedJdks()) {
        SCOPED_TRACE(jdk);
        const std::string exe = packFor(jdk);
        const std::string base = dir_.file("filling-" + std::to_string(jdkMajorVersion(jdk)));
        fs::create_directories(base);
        // Room for an archive when the launch looks (64 MiB and four times
        // the executable's size), and 2 MiB more.
        const auto room = (64u << 20) + 4 * fs::file_size(exe) + (2u << 20);
        const std::string data = "size=" + std::to_string(room) + ",mode=0700";
        Mount mounted("tmpfs", base, "tmpfs", 0, data.c_str());
        ASSERT_TRUE(mounted.ok()) << strerror(errno);
        for (int launch = 0; launch < 6; ++launch) {
            SCOPED_TRACE(launch);
            // The writer starts once the launch has looked at the free space.
            std::thread writer([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(400));
                std::ofstream fill(base + "/filler", std::ios::binary);
                const std::string block(1 << 20, 'f');
                while (fill.write(block.data(), static_cast<std::streamsize>(block.size())) && fill.flush()) {
                }
            });
            // Every other launch says under HUX_DEBUG what became of the archive.
            const bool debug = launch % 2 == 1;
            RunOptions o = options(base);
            if (debug) o.env["HUX_DEBUG"] = "1";
            RunResult r = runOn(kLinux, exe, {"sleep", "1500", "exit", "42"}, o);
            writer.join();
            EXPECT_EQ(r.exitCode, 42) << r.out << r.err;
            EXPECT_EQ(r.out, "main entered\nsleeping\nshutdown hook ran\n");
            if (debug) {
                EXPECT_TRUE(has(r.err, "it could not be written to the cache (full or unwritable), thrown away"))
                    << r.err;
            } else {
                EXPECT_EQ(r.err, "");
            }
            EXPECT_EQ(filesIn(base + "/hux"), std::vector<std::string>{});
            fs::remove(base + "/filler");
        }
    }
}

// Permissions root ignores: launches run as a throwaway user.
TEST_F(ClassDataSafety, ACacheTheUserCannotWriteOrDoesNotOwnIsNotUsed) {
    if (geteuid() != 0) GTEST_SKIP() << "making users needs root";
    if (!getpwnam("huxcache")) run({"useradd", "--no-create-home", "--shell", "/bin/sh", "huxcache"});
    const passwd* pw = getpwnam("huxcache");
    ASSERT_NE(pw, nullptr) << "cannot make the throwaway user";
    const uid_t uid = pw->pw_uid;
    const gid_t gid = pw->pw_gid;
    chmod(dir_.path().c_str(), 0755);
    const std::string exe = packFor(installedJdks().front());
    const auto as = [&](const std::vector<std::string>& command) {
        std::vector<std::string> argv{"setpriv", "--reuid=" + std::to_string(uid), "--regid=" + std::to_string(gid),
                                      "--clear-groups"};
        argv.insert(argv.end(), command.begin(), command.end());
        return argv;
    };
    struct Case {
        const char* name;
        mode_t mode;
        bool theirs;  // owned by the user who launches
    };
    const Case cases[] = {
        {"read-only (0500)", 0500, true},
        {"owned by another user", 0700, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string base = dir_.file(std::string("user-") + c.name[0]);
        fs::create_directories(base + "/hux");
        chown(base.c_str(), uid, gid);
        chmod((base + "/hux").c_str(), c.mode);
        chown((base + "/hux").c_str(), c.theirs ? uid : 0, c.theirs ? gid : 0);
        RunOptions o = options(base);
        o.env["HUX_CLASS_LOG"] = base + "/classes.log";
        RunResult r = run(as(kLinux.command(exe, {"exit", "3"})), o);
        EXPECT_EQ(r.exitCode, 3) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(filesIn(base + "/hux"), std::vector<std::string>{});
    }
}
