// Files another user put beside an executable kept in a directory others may
// write to (a sticky shared directory like /tmp): the victim's launch passes
// them over with one warning line instead of running the other user's code
// or writing where they chose. Two throwaway users made with useradd; the
// launches run as them through setpriv. A stand-in library records being
// loaded by writing a marker into the launch's working directory.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "support/harness.h"

using namespace hux::e2e;

namespace {

const Target kLinux{"linux-x64"};
// Run as the other user with $D the shared directory: a jar holding planted.txt.
const char kPlantJar[] =
    "mkdir $D/plugins && cd $D/plugins && echo planted > planted.txt && zip -q extra.jar planted.txt";

std::string recorder() { return buildDir() + "/test-runtimes/hux_test_loadrecorder.so"; }

class BesideTheExecutable : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "making users needs root";
        victim_ = throwawayUser("huxobja");
        other_ = throwawayUser("huxobjb");
        ASSERT_TRUE(victim_.ok && other_.ok) << "cannot make the throwaway users";
        const auto jdks = installedJdks();
        ASSERT_FALSE(jdks.empty());
        jdk_ = jdks.front();
        ASSERT_TRUE(exists(recorder())) << recorder();
        chmod(dir_.path().c_str(), 0755);
        // What either user may copy: the stand-in library.
        std::filesystem::copy_file(recorder(), dir_.file("recorder.so"));
        chmod(dir_.file("recorder.so").c_str(), 0644);
        // The victim's private working directory and a file of theirs that
        // nobody else may change.
        home_ = dir_.file("victim");
        mkdir(home_.c_str(), 0700);
        ASSERT_EQ(
            run({"sh", "-c", "echo '# mine' > " + home_ + "/profile && chown -R " + owner() + " " + home_}).exitCode,
            0);
    }
    std::string owner() const { return std::to_string(victim_.uid) + ":" + std::to_string(victim_.gid); }
    // The victim's executable in a fresh directory: shared (mode 1777, like
    // /tmp) or their own (mode 755).
    std::string place(const std::string& name, const std::vector<std::string>& lines, bool shared) {
        const std::string where = dir_.file(name);
        mkdir(where.c_str(), shared ? 01777 : 0755);
        chmod(where.c_str(), shared ? 01777 : 0755);
        if (!shared) chown(where.c_str(), victim_.uid, victim_.gid);
        std::vector<std::string> all{"mainclass app.Main"};
        all.insert(all.end(), lines.begin(), lines.end());
        const std::string packed = dir_.file(name + "-packed");
        EXPECT_EQ(pack(kLinux, packed, all, {"lib/app.jar=" + appJarDir() + "/app.jar"}).exitCode, 0);
        const std::string exe = where + "/tool";
        std::filesystem::copy_file(packed, exe);
        chown(exe.c_str(), victim_.uid, victim_.gid);
        chmod(exe.c_str(), 0755);
        return where;
    }
    RunResult launch(const std::string& where, const std::vector<std::string>& args = {}) {
        RunOptions options;
        options.cwd = home_;
        options.env["JAVA_HOME"] = jdk_;
        options.env["JRE_HOME"] = std::nullopt;
        options.env["HUX_DEBUG"] = std::nullopt;
        return run(as(victim_, kLinux.command(where + "/tool", args)), options);
    }
    bool marker() const { return exists(home_ + "/runtime-loaded.txt"); }
    std::string profile() const { return readFile(home_ + "/profile"); }

    User victim_, other_;
    std::string jdk_, home_;
    TempDir dir_;
};

}  // namespace

// What another user plants in the shared directory (run as them, with $D the
// directory and $R the stand-in library) never takes effect: the launch runs
// on a real runtime, writes nothing where they chose, and says once why,
// naming the first thing of theirs on the way from "/".
TEST_F(BesideTheExecutable, AnotherUsersFilesArePassedOver) {
    const std::string otherUid = "uid " + std::to_string(other_.uid);
    const struct {
        const char* name;
        std::vector<std::string> lines;  // the victim's embedded configuration
        std::string plant;               // run as the other user
        std::string warning;             // what the warning line holds
        std::vector<std::string> args{"resources", "planted.txt"};
    } cases[] = {
        {"cfg-jvmdll",
         {},
         "cp $R $D/evil.so && printf 'jvmdll '$D'/evil.so\\njre_order c\\n' > $D/tool.cfg",
         "tool.cfg': owned by " + otherUid},
        {"cfg-stdout", {}, "printf 'stdout " + home_ + "/profile\\n' > $D/tool.cfg", "tool.cfg': owned by " + otherUid},
        {"jre",
         {},
         "mkdir -p $D/jre/lib/server && cp $R $D/jre/lib/server/libjvm.so",
         "jre/jre' is owned by " + otherUid},
        {"jvmdll-relative",
         {"jvmdll rt/libjvm.so"},
         "mkdir $D/rt && cp $R $D/rt/libjvm.so",
         "rt' is owned by " + otherUid},
        // A link in a directory of theirs, where the victim's output was to go.
        {"target-link",
         {"forcecwd .", "stdout logs/out.log"},
         "mkdir $D/logs && ln -s " + home_ + "/profile $D/logs/out.log",
         "logs' is owned by " + otherUid},
        // A file of theirs waiting in the shared directory for the output.
        {"target-shared",
         {"forcecwd .", "stdout out.log"},
         "touch $D/out.log && chmod 666 $D/out.log",
         "' is writable by other users"},
        // Jars on the class path the victim's configuration names: by name, by
        // pattern, in a scanned directory, and one not there yet that the
        // shared directory would let them make later.
        {"classpath-jar", {"classpath plugins/extra.jar"}, kPlantJar, "plugins' is owned by " + otherUid},
        {"classpath-pattern",
         {"classpath %APPLICATION_HOME%plugins/*.jar"},
         kPlantJar,
         "plugins' is owned by " + otherUid},
        {"classpath-relative-pattern", {"classpath plugins/*.jar"}, kPlantJar, "plugins' is owned by " + otherUid},
        {"libs", {"libs plugins"}, kPlantJar, "plugins' is owned by " + otherUid},
        {"classpath-missing", {"classpath late.jar"}, "true", "' is writable by other users"},
        {"agentpath",
         {"option -agentpath:%APPLICATION_HOME%agent.so=opts"},
         "cp $R $D/agent.so",
         "agent.so': owned by " + otherUid},
        {"bootclasspath",
         {"option -Xbootclasspath/a:%APPLICATION_HOME%plugins/extra.jar"},
         kPlantJar,
         "plugins' is owned by " + otherUid},
        {"module-path",
         {"option -p %APPLICATION_HOME%plugins", "option --add-modules ALL-MODULE-PATH"},
         kPlantJar,
         "plugins': owned by " + otherUid},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string d = place(c.name, c.lines, true);
        ASSERT_EQ(run(as(other_, {"sh", "-c", "D=" + d + " R=" + dir_.file("recorder.so") + "; " + c.plant})).exitCode,
                  0);
        RunResult r = launch(d, c.args);
        EXPECT_FALSE(marker()) << "the other user's library ran\n" << r.err;
        EXPECT_FALSE(has(r.out, "each=")) << "the other user's jar was on the class path\n" << r.out;
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(has(r.out, "main entered")) << "the output went elsewhere\n" << r.out << r.err;
        EXPECT_EQ(profile(), "# mine\n");
        EXPECT_TRUE(has(r.err, "hux: warning: ignoring '")) << r.err;
        EXPECT_TRUE(has(r.err, c.warning)) << r.err;
        if (exists(d + "/out.log")) {
            EXPECT_EQ(readFile(d + "/out.log"), "");
        }
        std::filesystem::remove(home_ + "/runtime-loaded.txt");
    }
}

// The victim's own runtime below a directory that others may write to (or
// that a group with other members may write to) is not loaded either.
TEST_F(BesideTheExecutable, AnOwnRuntimeBelowADirectoryOthersMayWriteIsPassedOver) {
    const struct {
        const char* name;
        std::string mode;  // run as root on $D/jre/lib
        std::string warning;
    } cases[] = {
        {"other-write", "chmod 777 $D/jre/lib", "jre/lib' is writable by other users"},
        {"group-write", "chgrp " + std::to_string(other_.gid) + " $D/jre/lib && chmod 775 $D/jre/lib",
         "jre/lib' is writable by other users"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string d = place(c.name, {}, false);
        ASSERT_EQ(run(as(victim_, {"sh", "-c",
                                   "mkdir -p " + d + "/jre/lib/server && cp " + dir_.file("recorder.so") + " " + d +
                                       "/jre/lib/server/libjvm.so"}))
                      .exitCode,
                  0);
        ASSERT_EQ(run({"sh", "-c", "D=" + d + "; " + c.mode}).exitCode, 0);
        RunResult r = launch(d);
        EXPECT_FALSE(marker()) << r.err;
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(has(r.err, "directory '" + d)) << r.err;
        EXPECT_TRUE(has(r.err, c.warning)) << r.err;
        std::filesystem::remove(home_ + "/runtime-loaded.txt");
    }
}

// The victim's own files in their own directory behave as before, also when
// a umask of 002 made them writable by the victim's private group.
TEST_F(BesideTheExecutable, TheUsersOwnFilesAreUsed) {
    for (const bool groupWritable : {false, true}) {
        SCOPED_TRACE(groupWritable ? "group-writable" : "plain");
        const std::string d = place(groupWritable ? "own-g" : "own",
                                    {"stdout %APPLICATION_HOME%logs/out.log", "classpath plugins/*.jar"}, false);
        const std::string umask = groupWritable ? "umask 002; " : "umask 022; ";
        ASSERT_EQ(run(as(victim_, {"sh", "-c",
                                   umask + "D=" + d + "; cd $D && mkdir logs && printf 'argv args\\n' > tool.cfg && " +
                                       kPlantJar}))
                      .exitCode,
                  0);
        RunResult r = launch(d, {"args", "resources", "planted.txt"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_FALSE(has(r.err, "warning")) << r.err;
        EXPECT_TRUE(has(readFile(d + "/logs/out.log"), "arg[0]=args")) << r.out << r.err;
        EXPECT_TRUE(has(readFile(d + "/logs/out.log"), "each=")) << "their own plugin jar was left out";

        // Their own runtime there is loaded (the stand-in's creation fails).
        ASSERT_EQ(run(as(victim_, {"sh", "-c",
                                   umask + "mkdir -p " + d + "/jre/lib/server && cp " + dir_.file("recorder.so") + " " +
                                       d + "/jre/lib/server/libjvm.so"}))
                      .exitCode,
                  0);
        r = launch(d);
        EXPECT_TRUE(marker()) << r.err;
        EXPECT_EQ(r.exitCode, 4) << r.err;
    }
}

// Under Wine the same user runs everything, and a file's Unix permission
// bits are its access list: write access for others reads as an entry that
// lets Everyone write. Such a configuration or runtime beside the Windows
// executable is passed over; the same files without it are used.
TEST(BesideTheExecutableUnderWine, FilesEveryoneMayWriteArePassedOver) {
    if (!windowsStubAvailable()) GTEST_SKIP() << "no Windows stub";
    const Target win{"windows-x64"};
    const std::string dll = windowsBuildDir() + "/test-runtimes/hux_test_loadrecorder.dll";
    ASSERT_TRUE(exists(dll)) << dll;
    const struct {
        const char* name;
        std::string file;    // made beside the executable
        std::string opened;  // what is made writable by others
        std::string warning;
    } cases[] = {
        {"configuration", "tool.cfg", "tool.cfg", "tool.cfg': writable by other users (Everyone)"},
        {"private runtime", "jre/bin/server/jvm.dll", "jre/bin", "bin' is writable by other users (Everyone)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const bool open : {false, true}) {
            TempDir dir;
            const std::string exe = dir.file("app/tool.exe");
            std::filesystem::create_directories(dir.file("app"));
            ASSERT_EQ(
                pack(win, exe, {"mainclass app.Main", "jre_order cb"}, {"lib/app.jar=" + appJarDir() + "/app.jar"})
                    .exitCode,
                0);
            std::filesystem::create_directories(dir.file("app/jre/bin/server"));
            std::filesystem::copy_file(dll, dir.file("app/rt.dll"));
            if (c.file == "tool.cfg") {
                dir.write("app/tool.cfg", "jvmdll rt.dll\r\n");
            } else {
                std::filesystem::copy_file(dll, dir.file("app/" + c.file));
            }
            if (open) chmod(dir.file("app/" + c.opened).c_str(), c.file == "tool.cfg" ? 0666 : 0777);
            RunOptions options;
            options.cwd = dir.path();
            options.env["JAVA_HOME"] = std::nullopt;
            options.env["JRE_HOME"] = std::nullopt;
            RunResult r = runOn(win, exe, {}, options);
            EXPECT_EQ(exists(dir.file("runtime-loaded.txt")), !open) << r.err;
            EXPECT_EQ(r.exitCode, open ? 1 : 4) << r.err;  // 1: no runtime found
            EXPECT_EQ(has(r.err, c.warning), open) << r.err;
        }
    }
}
