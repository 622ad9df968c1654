// Class-data sharing for the loader's classes ("cds auto") with the installed
// JDKs: the first launch leaves an archive in the user's cache, the next one
// loads the application's classes out of it.
#include <gtest/gtest.h>

#include <filesystem>

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
