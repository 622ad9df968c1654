// Runtime discovery as a filter, with the real JDKs on Linux: a runtime
// outside minjre/maxjre or whose library does not load is passed over and the
// search goes on; the failure messages come only when none fits.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/harness.h"

using namespace hux::e2e;

namespace {

const Target kLinux{"linux-x64"};

// JAVA_VERSION of a JDK's release file.
std::string releaseVersion(const std::string& home) {
    std::istringstream in(readFile(home + "/release"));
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("JAVA_VERSION=\"", 0) == 0) return line.substr(14, line.find('"', 14) - 14);
    }
    return "";
}

class DiscoveryFilter : public ::testing::Test {
protected:
    void SetUp() override {
        for (const std::string& jdk : installedJdks()) {
            if (jdkMajorVersion(jdk) == 17) jdk17_ = jdk;
            if (jdkMajorVersion(jdk) == 25) jdk25_ = jdk;
        }
        // The system's default runtime (the `s` source) is the JDK 17 here.
        std::error_code ec;
        const auto system = std::filesystem::canonical("/usr/lib/jvm/default-java", ec);
        if (jdk17_.empty() || jdk25_.empty() || ec || system != std::filesystem::canonical(jdk17_))
            GTEST_SKIP() << "needs JDK 17 as the system runtime and JDK 25";
    }
    std::string packApp(const std::string& name, std::vector<std::string> lines) {
        lines.insert(lines.begin(), "mainclass app.Main");
        const std::string exe = dir_.file(name);
        RunResult r = pack(kLinux, exe, lines, {"lib/app.jar=" + appJarDir() + "/app.jar"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return exe;
    }
    RunResult launch(const std::string& exe, const std::string& javaHome) {
        RunOptions o;
        o.env["HUX_DEBUG"] = "1";
        o.env["JRE_HOME"] = std::nullopt;
        o.env["JAVA_HOME"] = javaHome;
        return runOn(kLinux, exe, {"property", "java.version"}, o);
    }
    TempDir dir_;
    std::string jdk17_, jdk25_;
};

}  // namespace

TEST_F(DiscoveryFilter, MinjrePassesTheSystemRuntimeOverForJavaHome) {
    // Without limits the system runtime comes first, as before.
    RunResult r = launch(packApp("plain", {}), jdk25_);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(has(r.out, "property java.version=" + releaseVersion(jdk17_) + "\n")) << r.out;

    r = launch(packApp("newer", {"minjre 25"}), jdk25_);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(has(r.out, "property java.version=" + releaseVersion(jdk25_) + "\n")) << r.out;
    EXPECT_TRUE(has(r.err,
                    "hux: candidate /usr/lib/jvm/default-java/lib/server/libjvm.so (system runtime "
                    "/usr/lib/jvm/default-java): version " +
                        releaseVersion(jdk17_) + " is below minjre 25\n"))
        << r.err;
    EXPECT_TRUE(has(r.err, "hux: runtime library " + jdk25_ + "/lib/server/libjvm.so\n")) << r.err;

    // maxjre the other way round: JDK 25 named first by jvmdll is passed over.
    r = launch(packApp("older", {"maxjre 21", "jvmdll " + jvmLibraryOf(jdk25_)}), "");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(has(r.out, "property java.version=" + releaseVersion(jdk17_) + "\n")) << r.out;
    EXPECT_TRUE(has(r.err, "(jvmdll): version " + releaseVersion(jdk25_) + " is above maxjre 21\n")) << r.err;
}

TEST_F(DiscoveryFilter, NoCandidateFitsNamesTheClosest) {
    const struct {
        const char* what;
        std::vector<std::string> lines;
        int code;
        std::string message;
    } cases[] = {
        {"too low",
         {"minjre 99"},
         6,
         "Java virtual machine version " + releaseVersion(jdk25_) + " is too low, require 99 or higher.\n"},
        {"too high",
         {"maxjre 11"},
         12,
         "Java virtual machine version " + releaseVersion(jdk17_) +
             " is too high, version between  and 11 is required.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RunResult r = launch(packApp("none", c.lines), jdk25_);
        EXPECT_EQ(r.exitCode, c.code) << r.err;
        // The message, then the line that says what to do.
        EXPECT_TRUE(r.err.find("\n" + c.message + "hux: this application needs Java ") != std::string::npos ||
                    r.err.rfind(c.message + "hux: this application needs Java ", 0) == 0)
            << r.err;
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(DiscoveryFilter, LibrariesThatDoNotLoadOrRuntimesTooOldArePassedOver) {
    // A private runtime whose library is no library, before a good JAVA_HOME.
    dir_.write("jre/lib/server/libjvm.so", "this is not a library");
    const std::string garbage = dir_.file("./jre/lib/server/libjvm.so");
    RunResult r = launch(packApp("invalid", {"jre_order be"}), jdk25_);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(has(r.out, "property java.version=" + releaseVersion(jdk25_) + "\n")) << r.out;
    // The debug line shows the path without its "." part; the system's text names it as loaded.
    EXPECT_TRUE(has(
        r.err, "hux: candidate " + dir_.file("jre/lib/server/libjvm.so") + " (private jre): does not load: " + garbage))
        << r.err;

    // Alone it ends the launch as before: the system's text, then message 2.
    r = launch(packApp("only-invalid", {"jre_order b"}), jdk25_);
    EXPECT_EQ(r.exitCode, 2) << r.err;
    EXPECT_TRUE(has(r.err, garbage + ": ")) << r.err;
    EXPECT_TRUE(has(r.err, "\nJava Runtime Environment not valid.\n")) << r.err;

    // A runtime that says it is Java 8 (a release file, and a library that
    // would load) is passed over by minjre without being loaded.
    std::filesystem::remove_all(dir_.file("jre"));
    std::filesystem::create_directories(dir_.file("jre/lib/server"));
    std::filesystem::create_symlink(jvmLibraryOf(jdk17_), dir_.file("jre/lib/server/libjvm.so"));
    dir_.write("jre/release", "JAVA_VERSION=\"1.8.0_392\"\n");
    r = launch(packApp("old", {"jre_order bs", "minjre 11"}), "");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(has(r.err, "(private jre): version 1.8.0_392 is below minjre 11\n")) << r.err;
    EXPECT_TRUE(has(r.out, "property java.version=" + releaseVersion(jdk17_) + "\n")) << r.out;
}
