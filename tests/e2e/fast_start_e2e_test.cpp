// The fast routes of `hux pack`: `--fast` (flattened, the JDK's own loader, a
// class-data archive) on an installed JDK, and `--train`, which makes the
// ahead-of-time cache of a carried JDK 24+ runtime at pack time.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/harness.h"

using namespace hux::e2e;
namespace fs = std::filesystem;

namespace {

const Target kLinux{"linux-x64"};

}  // namespace

TEST(FastStart, OneSwitchFlattensKeepsTheJdkLoaderAndMapsAnArchive) {
    const std::vector<std::string> jdks = installedJdks();
    ASSERT_FALSE(jdks.empty());
    const std::string jdk = jdks.back();
    TempDir dir;
    const std::string exe = dir.file("app");
    ASSERT_EQ(pack(kLinux, exe,
                   {"mainclass app.Main", "jre_order c", "jvmdll " + jvmLibraryOf(jdk),
                    "option -Xlog:class+load=info:file=${HUX_CLASS_LOG}"},
                   {"lib/app.jar=" + appJarDir() + "/app.jar"}, {"--fast"})
                  .exitCode,
              0);
    const RunResult listing = run({toolPath(), "inspect", exe});
    EXPECT_TRUE(has(listing.out, "cds auto")) << listing.out;
    EXPECT_TRUE(has(listing.out, "assystemclassloader false")) << listing.out;
    EXPECT_TRUE(has(listing.out, "app/Main.class")) << listing.out;
    EXPECT_FALSE(has(listing.out, "lib/app.jar")) << listing.out;

    RunOptions options;
    options.env["XDG_CACHE_HOME"] = dir.file("cache");
    for (const char* launch : {"first", "second"}) {
        SCOPED_TRACE(launch);
        options.env["HUX_CLASS_LOG"] = dir.file(std::string(launch) + ".log");
        const RunResult r = runOn(kLinux, exe, {"loader", "resource", "data.txt"}, options);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.err, "");
        // As under java -cp: the JDK's application loader, jar: URLs.
        EXPECT_TRUE(has(r.out, "loader=jdk.internal.loader.ClassLoaders$AppClassLoader")) << r.out;
        EXPECT_TRUE(has(r.out, "system=jdk.internal.loader.ClassLoaders$AppClassLoader")) << r.out;
        EXPECT_TRUE(has(r.out, "url=jar:file:")) << r.out;
        // The first launch's classes are archived after it, in the background.
        if (std::string(launch) == "first") {
            EXPECT_NE(waitForDumpedArchive(dir.file("cache/hux")), "");
        }
    }
    // The first launch listed the classes, the second maps them from the archive.
    EXPECT_FALSE(has(readFile(dir.file("first.log")), "app.Main source: shared objects file"));
    EXPECT_TRUE(has(readFile(dir.file("second.log")), "app.Main source: shared objects file"));
}

TEST(FastStart, CarriedRuntimeTrainedAtPackTimeMapsItsCacheFromTheFirstLaunch) {
    std::string jdk;
    for (const std::string& home : installedJdks())
        if (jdkMajorVersion(home) >= 24) jdk = home;
    if (jdk.empty()) GTEST_SKIP() << "needs a JDK 24 or later";
    TempDir dir;
    const std::string exe = dir.file("app");
    const RunResult packed =
        pack(kLinux, exe, {"mainclass app.Main", "option -Xlog:class+load=info:file=${HUX_CLASS_LOG}"},
             {"lib/app.jar=" + appJarDir() + "/app.jar"},
             {"--jlink", "--embed", "--jdk", jdk, "--train", "loader resource 'data.txt'"});
    ASSERT_EQ(packed.exitCode, 0) << packed.err;
    EXPECT_FALSE(has(packed.err, "training")) << packed.err;
    const std::string cache = dir.file("cache");
    fs::create_directories(cache);
    chmod(cache.c_str(), 0700);
    RunOptions alone;  // no Java in reach but the carried one
    alone.env["PATH"] = "/nonexistent";
    alone.env["JAVA_HOME"] = std::nullopt;
    alone.env["XDG_CACHE_HOME"] = cache;
    alone.env["HUX_DEBUG"] = std::nullopt;
    // `mapped`: whether app.Main came out of the cache.
    auto launch = [&](const std::string& path, const std::string& name, bool mapped) {
        SCOPED_TRACE(name);
        const std::string log = dir.file(name + ".log");
        alone.env["HUX_CLASS_LOG"] = log;
        const RunResult r = runOn(kLinux, path, {"loader", "resource", "data.txt"}, alone);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(has(r.out, "system=jdk.internal.loader.ClassLoaders$AppClassLoader")) << r.out;
        EXPECT_TRUE(has(r.out, "url=jar:file:")) << r.out;
        EXPECT_TRUE(has(r.out, "content=")) << r.out;
        EXPECT_EQ(has(readFile(log), "app.Main source: shared objects file"), mapped) << readFile(log).substr(0, 400);
    };
    launch(exe, "first", true);
    launch(exe, "second", true);
    // A copy elsewhere has a new time; the jar the cache checks is the
    // unpacked one, so the cache serves it too.
    fs::create_directories(dir.file("elsewhere"));
    fs::copy_file(exe, dir.file("elsewhere/app"));
    chmod(dir.file("elsewhere/app").c_str(), 0755);
    launch(dir.file("elsewhere/app"), "copied", true);
    // An option line that decides about sharing keeps the cache out (the
    // machine would not start with both).
    dir.write("elsewhere/app.cfg", "option -Xshare:off\n");
    launch(dir.file("elsewhere/app"), "unshared", false);
    // A cache the machine refuses (its header spoilt, the size kept) is
    // passed over without a word.
    std::string aot;
    for (const auto& entry : fs::recursive_directory_iterator(cache))
        if (entry.path().filename() == "app.aot") aot = entry.path().string();
    ASSERT_FALSE(aot.empty());
    {
        std::fstream f(aot, std::ios::in | std::ios::out | std::ios::binary);
        f.write("\0\0\0\0\0\0\0\0", 8);
    }
    launch(exe, "refused", false);
}
