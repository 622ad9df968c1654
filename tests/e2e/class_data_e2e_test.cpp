// Class-data sharing for the loader's classes ("cds auto") with the installed
// JDKs: the first launch leaves an archive in the user's cache (a flattened
// executable's is dumped after it, in the background), the next one loads the
// application's classes out of it.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "support/harness.h"

using namespace hux::e2e;

namespace {

const Target kLinux{"linux-x64"};

// The archives in `dir`, without their records.
std::vector<std::string> archivesIn(const std::string& dir) {
    std::vector<std::string> names;
    for (const std::string& name : filesIn(dir))
        if (name.find(".sum") == std::string::npos) names.push_back(name);
    return names;
}

// Whether a name in `dir` ends in `suffix`.
bool holdsOneEndingIn(const std::string& dir, const std::string& suffix) {
    for (const std::string& name : filesIn(dir))
        if (name.size() > suffix.size() && name.substr(name.size() - suffix.size()) == suffix) return true;
    return false;
}

constexpr char kFromArchive[] = "app.Main source: shared objects file";

// Packs the test application flattened, with `cds auto` for the runtime
// library `library`, logging where each class came from to HUX_CLASS_LOG.
void packFlattened(const std::string& exe, const std::string& library) {
    ASSERT_EQ(pack(kLinux, exe,
                   {"mainclass app.Main", "jre_order c", "jvmdll " + library, "cds auto",
                    "option -Xlog:class+load=info:file=${HUX_CLASS_LOG}"},
                   {"lib/app.jar=" + appJarDir() + "/app.jar"}, {"--flatten"})
                  .exitCode,
              0);
}

// Whether a running process names `text` on its command line.
bool processNames(const std::string& text) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::string line = readFile(entry.path().string() + "/cmdline");
        if (has(line, text)) return true;
    }
    return false;
}

}  // namespace

TEST(ClassData, FirstLaunchWritesTheArchiveAndTheNextUsesIt) {
    const std::vector<std::string> jdks = installedJdks();
    ASSERT_FALSE(jdks.empty());
    for (const std::string& jdk : jdks) {
        SCOPED_TRACE(jdk);
        TempDir dir;
        // The class-loading log of each run goes to the file HUX_CLASS_LOG names.
        std::string log;
        RunOptions options;
        options.env["XDG_CACHE_HOME"] = dir.file("cache");
        auto logTo = [&](const std::string& name) {
            log = dir.file(name);
            options.env["HUX_CLASS_LOG"] = log;
        };
        const std::string exe = dir.file("app");
        ASSERT_EQ(pack(kLinux, exe,
                       {"mainclass app.Main", "jre_order c", "jvmdll " + jvmLibraryOf(jdk), "cds auto",
                        "assystemclassloader FALSE", "option -Xlog:class+load=info:file=${HUX_CLASS_LOG}"},
                       {"lib/app.jar=" + appJarDir() + "/app.jar"})
                      .exitCode,
                  0);
        // Written at exit, also when the application ends through System.exit.
        logTo("first.log");
        RunResult r = runOn(kLinux, exe, {"exit", "3"}, options);
        EXPECT_EQ(r.exitCode, 3) << r.err;
        EXPECT_EQ(r.err, "");
        const std::vector<std::string> written = archivesIn(dir.file("cache/hux"));
        ASSERT_EQ(written.size(), 1u);
        EXPECT_EQ(written[0].size(), 37u) << written[0];  // no temporary file left behind
        // Beside it, the record of its length and checksum, and nothing else.
        EXPECT_EQ(filesIn(dir.file("cache/hux")).size(), 2u);
        EXPECT_TRUE(std::filesystem::exists(dir.file("cache/hux/" + written[0].substr(0, 33) + ".sum")));
        EXPECT_EQ(readFile(log).find("app.Main source: shared objects file"), std::string::npos);

        logTo("second.log");
        r = runOn(kLinux, exe, {}, options);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_NE(r.out.find("main done"), std::string::npos);
        EXPECT_NE(readFile(log).find("app.Main source: shared objects file"), std::string::npos);
        EXPECT_EQ(archivesIn(dir.file("cache/hux")), written);

        // A changed executable does not meet the old archive: it gets its own,
        // which replaces the old one.
        ASSERT_EQ(
            pack(kLinux, exe,
                 {"mainclass app.Main", "jre_order c", "jvmdll " + jvmLibraryOf(jdk), "cds auto",
                  "assystemclassloader FALSE", "option -Xlog:class+load=info:file=${HUX_CLASS_LOG}", "property x=1"},
                 {"lib/app.jar=" + appJarDir() + "/app.jar"})
                .exitCode,
            0);
        logTo("changed.log");
        r = runOn(kLinux, exe, {}, options);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(readFile(log).find("app.Main source: shared objects file"), std::string::npos);
        const std::vector<std::string> replaced = archivesIn(dir.file("cache/hux"));
        ASSERT_EQ(replaced.size(), 1u);
        EXPECT_NE(replaced, written);
        EXPECT_EQ(replaced[0].substr(0, 17), written[0].substr(0, 17));
        logTo("changed-again.log");
        r = runOn(kLinux, exe, {}, options);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_NE(readFile(log).find("app.Main source: shared objects file"), std::string::npos);
    }
}

TEST(ClassData, AFlattenedApplicationsFirstLaunchLeavesItsArchiveToABackgroundDump) {
    for (const std::string& jdk : installedJdks()) {
        SCOPED_TRACE(jdk);
        TempDir dir;
        const std::string exe = dir.file("app"), cache = dir.file("cache/hux");
        packFlattened(exe, jvmLibraryOf(jdk));
        RunOptions options;
        options.env["XDG_CACHE_HOME"] = dir.file("cache");
        options.env["HUX_CLASS_LOG"] = dir.file("first.log");
        RunResult r = runOn(kLinux, exe, {"exit", "3"}, options);
        EXPECT_EQ(r.exitCode, 3) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_FALSE(holdsOneEndingIn(cache, ".jsa"));  // the launch did not wait for it
        const std::string archive = waitForDumpedArchive(cache);
        ASSERT_NE(archive, "");
        // The archive, its record and the executable's jar-named link: the
        // list and the dump's files are gone.
        EXPECT_EQ(filesIn(cache).size(), 3u);
        options.env["HUX_CLASS_LOG"] = dir.file("second.log");
        r = runOn(kLinux, exe, {}, options);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(has(readFile(dir.file("second.log")), kFromArchive));
    }
}

TEST(ClassData, AFailedDumpEndsQuietlyWithinItsLimitAndWaitsADay) {
    const std::string jdk = installedJdks().front();
    // A runtime whose library works and whose `java` fails or hangs at the dump.
    struct Case {
        const char* name;
        const char* java;
    };
    const Case cases[] = {{"fails", "echo broken >&2; exit 1"}, {"hangs", "sleep 300"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::filesystem::create_directories(dir.file("jdk/lib/server"));
        std::filesystem::create_symlink(jvmLibraryOf(jdk), dir.file("jdk/lib/server/libjvm.so"));
        dir.write("jdk/bin/java", "#!/bin/sh\necho run >> " + dir.file("runs") + "\n" + c.java + "\n");
        chmod(dir.file("jdk/bin/java").c_str(), 0755);
        const std::string exe = dir.file("app"), cache = dir.file("cache/hux");
        packFlattened(exe, dir.file("jdk/lib/server/libjvm.so"));
        RunOptions options;
        options.env["XDG_CACHE_HOME"] = dir.file("cache");
        options.env["HUX_CLASS_LOG"] = dir.file("classes.log");
        const auto start = std::chrono::steady_clock::now();
        RunResult r = runOn(kLinux, exe, {}, options);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.err, "");
        const auto failed = [&] { return holdsOneEndingIn(cache, ".failed"); };
        while (!failed() && std::chrono::steady_clock::now() - start < std::chrono::seconds(70))
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_TRUE(failed());
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(62));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_FALSE(processNames(dir.path()));  // neither the helper nor what it started
        // The next launch lists nothing and starts no dump.
        r = runOn(kLinux, exe, {}, options);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.err, "");
        std::this_thread::sleep_for(std::chrono::seconds(1));
        EXPECT_EQ(readFile(dir.file("runs")), "run\n");
        EXPECT_EQ(filesIn(cache).size(), 2u);  // the marker and the executable's link
    }
}
