// Configuration values end to end: message overrides, reference expansion,
// the forced working directory, runtime discovery and argument expansion.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <set>
#include <sstream>

#include "support/harness.h"

using namespace hux::e2e;

namespace {

const Target kLinux{"linux-x64"};

std::vector<std::string> appFiles() { return {"lib/app.jar=" + appJarDir() + "/app.jar"}; }

// The "hux: argument: ..." lines a launch reports with HUX_DEBUG=1.
std::vector<std::string> reportedArguments(const std::string& err) {
    std::vector<std::string> out;
    std::istringstream in(err);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("hux: argument: ", 0) == 0) out.push_back(line.substr(15));
    }
    return out;
}

std::vector<std::string> sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
}

}  // namespace

TEST(Messages, OverridesChangeWhatARefusedInstancePrints) {
    TempDir dir;
    for (const Target& t : targets()) {
        SCOPED_TRACE(t.name);
        MutexHolder holder(t, "Msg.Test.hux.mutex");
        ASSERT_TRUE(holder.held());
        const std::string exe = dir.file(t.exeName("msg"));
        ASSERT_EQ(
            pack(t, exe, {"mainclass a.B", "appid Msg\\Test", "singleinstance true", "message 13=Already running."})
                .exitCode,
            0);
        RunResult r = runOn(t, exe);
        EXPECT_EQ(r.exitCode, 11);
        EXPECT_EQ(r.err, "Already running.\n");

        ASSERT_EQ(
            pack(t, exe,
                 {"mainclass a.B", "appid Msg\\Test", "singleinstance true", "message 13=First line\\nSecond line"})
                .exitCode,
            0);
        r = runOn(t, exe);
        EXPECT_EQ(r.err, "First line\nSecond line\n");

        // The external file's override comes first and wins.
        dir.write(t.exeName("msg") + ".cfg", "message 13=From the external file\r\n");
        r = runOn(t, exe);
        EXPECT_EQ(r.err, "From the external file\n");
        std::filesystem::remove(dir.file(t.exeName("msg") + ".cfg"));

        // Other messages too, with references expanded.
        ASSERT_EQ(
            pack(t, exe, {"mainclass a.B", "jre_order c", "message 1=No Java for %HUX_TEST_WHO%, 100%%"}).exitCode, 0);
        r = runOn(t, exe, {}, {.env = {{"HUX_TEST_WHO", "us"}}});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err, std::string("No Java for us, 100%\n") + kNoRuntimeAdvice);
    }
}

TEST(Values, ReferencesForcedDirectoryAndVersionMessages) {
    TempDir dir;
    const std::vector<std::string> jdks = installedJdks();
    ASSERT_FALSE(jdks.empty());
    const std::string& jdk = jdks.front();
    std::filesystem::create_directories(dir.file("app/sub"));
    const std::string exe = dir.file("app/values");
    auto packWith = [&](std::vector<std::string> lines) {
        lines.insert(lines.begin(), {"mainclass app.Main", "jre_order c", "jvmdll " + jvmLibraryOf(jdk)});
        ASSERT_EQ(pack(kLinux, exe, lines, appFiles()).exitCode, 0);
    };
    const std::string launchDir = dir.file("elsewhere");
    std::filesystem::create_directories(launchDir);

    packWith({"property app.home=${APPLICATION_HOME}lib", "property who=$HUX_TEST_WHO",
              "property raw=%{NOPE|fallback}%", "property kept=%HUX_SURELY_UNSET%"});
    RunResult r = runOn(kLinux, exe, {"property", "app.home", "property", "who", "property", "raw", "property", "kept"},
                        {.cwd = launchDir, .env = {{"HUX_TEST_WHO", "tester"}}});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(has(r.out, "property app.home=" + dir.file("app/") + "lib\n")) << r.out;
    EXPECT_TRUE(has(r.out, "property who=tester\n")) << r.out;
    EXPECT_TRUE(has(r.out, "property raw=fallback\n")) << r.out;
    EXPECT_TRUE(has(r.out, "property kept=%HUX_SURELY_UNSET%\n")) << r.out;

    // forcecwd is resolved against the executable's directory.
    for (const auto& [value, expected] :
         std::vector<std::pair<std::string, std::string>>{{"sub", dir.file("app/sub")},
                                                          {"..", dir.path()},
                                                          {"missing", launchDir},
                                                          {dir.file("app/sub"), dir.file("app/sub")}}) {
        SCOPED_TRACE(value);
        packWith({"forcecwd " + value, "property pwd=%PWD%"});
        r = runOn(kLinux, exe, {"property", "user.dir", "property", "pwd"},
                  {.cwd = launchDir, .env = {{"PWD", std::nullopt}}});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(has(r.out, "property user.dir=" + expected + "\n")) << r.out;
        EXPECT_TRUE(has(r.out, "property pwd=" + expected + "/\n")) << r.out;
    }

    // Version messages are formatted with the running version and the limits.
    packWith({"minjre 1.6", "maxjre 1.1"});
    r = runOn(kLinux, exe);
    EXPECT_EQ(r.exitCode, 12);
    EXPECT_TRUE(has(r.err, " is too high, version between 1.6 and 1.1 is required.\n")) << r.err;
    packWith({"minjre 99", "message 6=Need %s, have %s %n %d %s"});
    r = runOn(kLinux, exe);
    EXPECT_EQ(r.exitCode, 6);
    EXPECT_TRUE(has(r.err, ", have 99 %n %d \n")) << r.err;
}

TEST(Discovery, FindsInstalledRuntimesWithoutAndWithConfiguration) {
    TempDir dir;
    const std::string exe = dir.file("found");
    // No runtime configuration at all: the system's default runtime.
    ASSERT_EQ(pack(kLinux, exe, {"mainclass app.Main"}, appFiles()).exitCode, 0);
    RunResult r = runOn(kLinux, exe, {"property", "java.home"},
                        {.env = {{"JAVA_HOME", std::nullopt}, {"JRE_HOME", std::nullopt}}});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(has(r.out, "property java.home=/")) << r.out;
    // Through JAVA_HOME, for every installed JDK; HUX_DEBUG shows the choice.
    ASSERT_EQ(pack(kLinux, exe, {"mainclass app.Main", "jre_order e"}, appFiles()).exitCode, 0);
    for (const std::string& jdk : installedJdks()) {
        SCOPED_TRACE(jdk);
        r = runOn(kLinux, exe, {"property", "java.home"},
                  {.env = {{"JAVA_HOME", jdk}, {"JRE_HOME", ""}, {"HUX_DEBUG", "1"}}});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(has(r.out, "property java.home=" + std::filesystem::canonical(jdk).string())) << r.out;
        EXPECT_TRUE(has(r.err, "hux: ")) << r.err;
        EXPECT_TRUE(has(r.err, "hux: option: -Djava.class.path=" + exe + "\n")) << r.err;
    }
}

TEST(Wildcards, ExpansionOnEveryTarget) {
    TempDir dir;
    for (const std::string f : {"a.txt", "b.txt", "x a.txt", "src/d1/F.java", "src/d2/G.java", "src/top.java"})
        dir.write("work/" + f, "x");
    const std::string work = dir.file("work");
    for (const Target& t : targets()) {
        SCOPED_TRACE(t.name);
        const std::string exe = dir.file(t.exeName("wild"));
        auto arguments = [&](const std::string& mode, const std::vector<std::string>& args) {
            EXPECT_EQ(pack(t, exe, {"mainclass a.B", "jre_order c", "wildcard " + mode}).exitCode, 0);
            RunResult r = runOn(t, exe, args, {.cwd = work, .env = {{"HUX_DEBUG", "1"}}});
            EXPECT_EQ(r.exitCode, 1) << r.err;
            return reportedArguments(r.err);
        };
        const std::string sep = t.windows() ? "\\" : "/";
        // A pattern that matches nothing stays as typed, in every mode.
        EXPECT_EQ(arguments("all", {"q?z", "plain"}), (std::vector<std::string>{"q?z", "plain"}));
        // One level of directories in the middle of a pattern.
        EXPECT_EQ(sorted(arguments("ALL", {"src" + sep + "*" + sep + "*.java"})),
                  (std::vector<std::string>{"src" + sep + "d1" + sep + "F.java", "src" + sep + "d2" + sep + "G.java"}));
        EXPECT_EQ(sorted(arguments("all", {"*.txt"})), (std::vector<std::string>{"a.txt", "b.txt", "x a.txt"}));
        if (t.windows()) {
            // Unquoted patterns expand in mode 1; a quoted one stays literal
            // (Wine quotes an argument holding a blank) until mode 2.
            EXPECT_EQ(sorted(arguments("auto", {"*.txt"})), (std::vector<std::string>{"a.txt", "b.txt", "x a.txt"}));
            EXPECT_EQ(arguments("Auto", {"x *.txt"}), (std::vector<std::string>{"x *.txt"}));
            EXPECT_EQ(arguments("all", {"x *.txt"}), (std::vector<std::string>{"x a.txt"}));
        } else {
            // The shell has expanded what it could: a pattern still in argv was
            // quoted, so mode 1 passes it on.
            EXPECT_EQ(arguments("true", {"*.txt"}), (std::vector<std::string>{"*.txt"}));
        }
        // Without the key nothing is expanded.
        EXPECT_EQ(arguments("false", {"*.txt"}), (std::vector<std::string>{"*.txt"}));
    }
}
