// The runtime search as a filter: candidates outside the version limits (read
// from their release file) or whose library does not load are passed over,
// and the search goes on; registrations without a usable CurrentVersion, per
// user and by distribution; the `java` on PATH.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "config/paths.h"
#include "platform/registry.h"
#include "platform/runtime_location.h"
#include "runtime/discovery.h"
#include "runtime/version_limits.h"
#include "support/test_registry.h"
#include "support/runtime_search.h"
#include "support/test_support.h"

using namespace hux;
using hux::test::EnvGuard;
using hux::test::has;
using hux::test::kBin;
using hux::test::kLib;
using hux::test::kLinuxLayout;
using hux::test::makeConfig;
using hux::test::TempTree;

namespace {

class RuntimeFilter : public test::RuntimeSearchTest {};

}  // namespace

TEST(ReleaseFile, FoundAboveTheLibraryInEveryLayout) {
    TempTree tree;
    const struct {
        const char* library;
        const char* release;  // where the release file is, or nullptr
        const char* content;
        const char* version;
    } cases[] = {
        {"a/lib/server/libjvm.so", "a/release", "JAVA_VERSION=\"17.0.15\"\n", "17.0.15"},
        {"b/bin/server/jvm.dll", "b/release", "JAVA_VERSION=\"25\"\r\nIMPLEMENTOR=\"x\"\r\n", "25"},
        {"c/jre/lib/amd64/server/libjvm.so", "c/release", "JAVA_VERSION=\"1.8.0_392\"\n", "1.8.0_392"},
        {"d/jre/lib/amd64/server/libjvm.so", "d/jre/release", "JAVA_VERSION=\"1.8.0_45\"\n", "1.8.0_45"},
        {"e/jre/bin/server/jvm.dll", "e/release", "OS_ARCH=\"amd64\"\nJAVA_VERSION=21.0.2\n", "21.0.2"},
        {"f/lib/server/libjvm.so", nullptr, nullptr, ""},
        // A directory named release is no file.
        {"h/lib/server/libjvm.so", nullptr, nullptr, ""},
        // The nearest release file is the runtime's, even without a version.
        {"g/lib/server/libjvm.so", "g/release", "IMPLEMENTOR=\"x\"\n", ""},
        {"g/lib/server/libjvm.so", "release", "JAVA_VERSION=\"99\"\n", ""},
    };
    tree.dir("h/release");
    for (const auto& c : cases) {
        const std::string library = tree.file(c.library);
        if (c.release) tree.file(c.release, c.content);
        EXPECT_EQ(runtimeReleaseVersion(ByteString(library.c_str())), c.version) << c.library;
    }
    // A library reached through ".." is not attributed to a lexical parent.
    tree.file("x/release", "JAVA_VERSION=\"11\"\n");
    tree.file("x/y/libjvm.so");
    EXPECT_EQ(runtimeReleaseVersion(ByteString(tree.path("x/y/../y/libjvm.so").c_str())), "");
}

TEST_F(RuntimeFilter, VersionLimitsPassCandidatesOverAndNameTheClosest) {
    const std::string old8 = runtime("old", "1.8.0_392");
    const std::string new21 = runtime("new", "21.0.2");
    env.set("JRE_HOME", tree.path("old"));
    env.set("JAVA_HOME", tree.path("new"));
    const struct {
        const char* limits;
        std::string chosen;
        int32_t failure;
        const char* closest;
    } cases[] = {
        {"", old8, kLaunchOk, ""},  // the first candidate fits: no change
        {"minjre 1.8", old8, kLaunchOk, ""},
        {"minjre 17", new21, kLaunchOk, ""},
        {"maxjre 11", old8, kLaunchOk, ""},
        {"minjre 21.0.2\nmaxjre 21", new21, kLaunchOk, ""},
        {"minjre 25", "", kVersionTooLow, "21.0.2"},
        {"maxjre 1.7", "", kVersionTooHigh, "1.8.0_392"},
        {"minjre 11\nmaxjre 17", "", kVersionTooLow, "1.8.0_392"},  // none between: the highest below
    };
    for (const auto& c : cases) {
        const RuntimeChoice choice = choose(std::string("jre_order e\n") + c.limits);
        EXPECT_EQ(choice.library, c.chosen) << c.limits;
        if (c.chosen.empty()) {
            EXPECT_EQ(choice.failure, c.failure) << c.limits;
            EXPECT_EQ(choice.closestVersion, c.closest) << c.limits;
        }
    }
    // A candidate without a release file is taken as before: the running
    // virtual machine is checked once it exists.
    std::filesystem::remove(tree.path("new/release"));
    EXPECT_EQ(choose("jre_order e\nminjre 25").library, new21);
}

// The debug lines' form of a path (one separator style).
static std::string shown(const std::string& path) { return std::string(hux::shownPath(path).view()); }

TEST_F(RuntimeFilter, LibrariesThatDoNotLoadArePassedOver) {
    const std::string broken = runtime("broken", "");
    const std::string noentry = runtime("noentry", "");
    const std::string good = runtime("good", "");
    env.set("JRE_HOME", tree.path("broken"));
    env.set("JAVA_HOME", tree.path("good"));
    std::string debug;
    EXPECT_EQ(choose("jre_order e", &debug).library, good);
    EXPECT_TRUE(has(debug, "hux: candidate " + shown(broken) + " (" + shown("JRE_HOME=" + tree.path("broken")) +
                               "): does not load: cannot open " + broken + "\n"))
        << debug;
    EXPECT_TRUE(has(debug, "hux: runtime library " + shown(good) + "\n")) << debug;

    // None loads: message 2, with the system's text of the last failure.
    env.set("JAVA_HOME", tree.path("noentry"));
    RuntimeChoice choice = choose("jre_order e", &debug);
    EXPECT_EQ(choice.library, "");
    EXPECT_EQ(choice.failure, kRuntimeNotValid);
    EXPECT_EQ(choice.loadError, "cannot open " + broken);
    EXPECT_TRUE(has(debug, "hux: candidate " + shown(noentry) + " (" + shown("JAVA_HOME=" + tree.path("noentry")) +
                               "): exports no JNI_CreateJavaVM\n"))
        << debug;

    // The same library offered twice is tried once.
    env.set("JAVA_HOME", tree.path("broken"));
    choice = choose("jre_order e", &debug);
    EXPECT_TRUE(has(debug, "hux: candidate " + shown(broken) + " (" + shown("JAVA_HOME=" + tree.path("broken")) +
                               "): tried already\n"))
        << debug;

    // A runtime passed over for its version outweighs one that does not load.
    tree.file("broken/release", "JAVA_VERSION=\"25\"\n");
    runtime("low", "11.0.1");
    env.set("JAVA_HOME", tree.path("low"));
    choice = choose("jre_order e\nminjre 17", &debug);
    EXPECT_EQ(choice.failure, kVersionTooLow);
    EXPECT_EQ(choice.closestVersion, "11.0.1");
    EXPECT_TRUE(has(debug, "(" + shown("JAVA_HOME=" + tree.path("low")) + "): version 11.0.1 is below minjre 17\n"))
        << debug;
    EXPECT_TRUE(has(debug, "hux: no runtime library found\n")) << debug;
}

TEST_F(RuntimeFilter, UnusableRuntimeResultFillsTheMessageTexts) {
    runtime("broken", "");
    env.set("JAVA_HOME", tree.path("broken"));
    auto config = makeConfig("jre_order e\nminjre 9\nmaxjre 30", tree.path("app.exe"), tree.path("work/"));
    ByteString version, min, max;
    testing::internal::CaptureStderr();
    EXPECT_EQ(unusableRuntimeResult(*config, chooseRuntime(*config), version, min, max), kRuntimeNotValid);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "cannot open " + tree.path("broken/" + kBin + "server/" + kLib) + "\n");
    EXPECT_EQ(min, "9");
    EXPECT_EQ(max, "30");

    resetRuntimeSearchForTesting();
    runtime("high", "31.0.1");
    env.set("JAVA_HOME", tree.path("high"));
    testing::internal::CaptureStderr();
    EXPECT_EQ(unusableRuntimeResult(*config, chooseRuntime(*config), version, min, max), kVersionTooHigh);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(version, "31.0.1");
}

TEST_F(RuntimeFilter, JavaOnPathIsASystemCandidate) {
    if (!kLinuxLayout) GTEST_SKIP() << "a java launcher is made here as a script";
    runtime("pathjdk", "99.0.1");
    const std::string java = tree.file("pathjdk/bin/java", "#!/bin/sh\n");
    std::filesystem::permissions(java, std::filesystem::perms::owner_exec, std::filesystem::perm_options::add);
    // Reached through a link, as /usr/bin/java is.
    tree.dir("links");
    std::filesystem::create_symlink(java, tree.path("links/java"));
    env.set("PATH", tree.path("nowhere") + ":" + tree.path("links"));
    ByteString launcher;
    ASSERT_TRUE(platform::javaLauncherOnPath(launcher));
    EXPECT_EQ(launcher, std::filesystem::canonical(java).string());
    // The system's own runtimes (if any) are below 99 and passed over.
    std::string debug;
    EXPECT_EQ(choose("jre_order s\nminjre 99", &debug).library,
              std::filesystem::canonical(tree.path("pathjdk")).string() + "/" + kBin + "server/" + kLib)
        << debug;
    EXPECT_TRUE(has(debug, "(java on PATH " + std::filesystem::canonical(java).string() + ")")) << debug;
    env.set("PATH", tree.path("nowhere"));
    EXPECT_FALSE(platform::javaLauncherOnPath(launcher));
}

TEST_F(RuntimeFilter, RegistrationsWithoutCurrentVersionPerUserAndByDistribution) {
    if (!test::registryAvailable() || !test::userRegistryAvailable()) GTEST_SKIP() << "no registry";
    const char* jdk = "SOFTWARE\\JavaSoft\\JDK";
    test::registryDeleteTree("SOFTWARE\\JavaSoft");
    test::deleteRegistryTree("SOFTWARE\\JavaSoft");
    test::deleteRegistryTree("SOFTWARE\\Eclipse Adoptium");
    test::deleteRegistryTree("SOFTWARE\\Azul Systems");
    const std::string jdk11 = runtime("jdk11", "11.0.22");
    const std::string jdk17 = runtime("jdk17", "17.0.10");
    const std::string jdk21 = runtime("jdk21", "21.0.2");
    for (const auto& [version, home] : {std::pair{"11", "jdk11"}, std::pair{"21", "jdk21"}, std::pair{"17", "jdk17"}})
        ASSERT_TRUE(
            test::registrySetString((std::string(jdk) + "\\" + version).c_str(), "JavaHome", tree.path(home).c_str()));
    // No CurrentVersion: the highest version subkey that fits.
    EXPECT_EQ(choose("jre_order s").library, jdk21);
    EXPECT_EQ(choose("jre_order s\nmaxjre 17").library, jdk17);
    // A stale CurrentVersion is passed over; a valid one comes first.
    ASSERT_TRUE(test::registrySetString(jdk, "CurrentVersion", "9"));
    EXPECT_EQ(choose("jre_order s\nmaxjre 11").library, jdk11);
    ASSERT_TRUE(test::registrySetString(jdk, "CurrentVersion", "11"));
    std::string debug;
    EXPECT_EQ(choose("jre_order s\nminjre 17", &debug).library, jdk21);
    EXPECT_TRUE(has(debug, "(registry key HKLM\\SOFTWARE\\JavaSoft\\JDK\\11): version 11.0.22 is below minjre 17\n"))
        << debug;
    test::registryDeleteTree("SOFTWARE\\JavaSoft");

    // A per-user registration (HKEY_CURRENT_USER).
    const std::string user = std::string(jdk) + "\\17";
    const std::string home17 = tree.path("jdk17");
    ASSERT_TRUE(test::setRegistryValue(user.c_str(), "JavaHome", platform::kRegString, home17.c_str(),
                                       static_cast<uint32_t>(home17.size() + 1)));
    EXPECT_EQ(choose("jre_order s", &debug).library, jdk17) << debug;
    test::deleteRegistryTree("SOFTWARE\\JavaSoft");

    // Distributions' own keys, highest version first.
    struct Value {
        const char* key;
        const char* name;
        std::string home;
    };
    const Value values[] = {
        {"SOFTWARE\\Eclipse Adoptium\\JDK\\17.0.10.7\\hotspot\\MSI", "Path", tree.path("jdk17")},
        {"SOFTWARE\\Eclipse Adoptium\\JDK\\11.0.22.7\\hotspot\\MSI", "Path", tree.path("jdk11")},
        {"SOFTWARE\\Azul Systems\\Zulu\\zulu-21", "InstallationPath", tree.path("jdk21")},
    };
    for (const Value& v : values)
        ASSERT_TRUE(test::setRegistryValue(v.key, v.name, platform::kRegString, v.home.c_str(),
                                           static_cast<uint32_t>(v.home.size() + 1)));
    EXPECT_EQ(choose("jre_order s").library, jdk17);
    EXPECT_EQ(choose("jre_order s\nmaxjre 11").library, jdk11);
    EXPECT_EQ(choose("jre_order s\nminjre 21", &debug).library, jdk21);
    EXPECT_TRUE(has(debug,
                    "(registry key HKCU\\SOFTWARE\\Eclipse Adoptium\\JDK\\17.0.10.7\\hotspot\\MSI): version "
                    "17.0.10 is below minjre 21\n"))
        << debug;
    test::deleteRegistryTree("SOFTWARE\\Eclipse Adoptium");
    test::deleteRegistryTree("SOFTWARE\\Azul Systems");
}
