// Runtime discovery over real directory trees, and the version limits.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "config/runtime_advice.h"
#include "config/paths.h"
#include "platform/registry.h"
#include "platform/runtime_location.h"
#include "runtime/discovery.h"
#include "runtime/version_limits.h"
#include "support/runtime_search.h"
#include "support/test_support.h"

using namespace hux;
using hux::test::EnvGuard;
using hux::test::kBin;
using hux::test::kLib;
using hux::test::kLinuxLayout;
using hux::test::makeConfig;
using hux::test::TempTree;

namespace {

class Discovery : public test::RuntimeSearchTest {};

}  // namespace

TEST(SearchOrder, IsLowerCasedAndFallsBackToTheDefault) {
    const struct {
        const char* lines;
        const char* order;
    } cases[] = {
        {"", "cbsie"},          {"jre_order xyz", "cbsie"}, {"jre_order C", "c"}, {"jre_order cx", "cx"},
        {"jre_order cc", "cc"}, {"jre_order EbS", "ebs"},   {"jre_order R", "r"},  // the embedded runtime alone; the
                                                                                   // default has no r without one
    };
    for (const auto& c : cases) {
        auto config = makeConfig(c.lines, "/x/app.exe", "/x/");
        EXPECT_EQ(runtimeSearchOrder(*config), c.order) << c.lines;
    }
}

TEST_F(Discovery, EveryLetterSearchesItsOwnSource) {
    const std::string libC = tree.file("rtc/" + kLib);
    const std::string jreB = tree.file("jre/" + kBin + "server/" + kLib);
    tree.file("rte/" + kBin + "server/" + kLib);
    env.set("JAVA_HOME", tree.path("rte"));
    const std::string c = "jvmdll " + libC + "\n";
    const std::string expectB = tree.path("./jre/" + kBin + "server/" + kLib);
    const std::string expectE = tree.path("rte/" + kBin + "server/" + kLib);

    EXPECT_EQ(find(c + "jre_order c"), libC);
    EXPECT_EQ(find(c + "jre_order C"), libC);
    EXPECT_EQ(find(c + "jre_order b"), expectB);
    EXPECT_EQ(find(c + "jre_order e"), expectE);
    EXPECT_EQ(find(c + "jre_order ebc"), expectE);
    EXPECT_EQ(find(c + "jre_order xyz"), libC);  // the default order starts with c
    EXPECT_EQ(find("jre_order xyz"), expectB);   // c yields nothing, b is next
    EXPECT_EQ(find("jre_order cx"), "");         // x is skipped; only jvmdll is searched
    EXPECT_EQ(find("jre_order i"), "");          // no registration of that kind here
    EXPECT_EQ(find(c + "jre_order xc"), libC);
}

TEST_F(Discovery, RelativeLibraryPathsResolveUnderTheHomeDirectoryOnly) {
    // A runtime planted in the working directory is never taken: not through
    // jvmdll, not through a relative jre, not through the default "./jre/".
    const std::string rel = "rt/" + kBin + "server/" + kLib;
    tree.file("work/" + rel);
    tree.file("work/jre/" + kBin + "server/" + kLib);
    tree.file("work/mine/" + kBin + "server/" + kLib);
    EXPECT_EQ(find("jre_order c\njvmdll " + rel), "");
    EXPECT_EQ(find("jre_order b"), "");
    EXPECT_EQ(find("jre_order b\njre mine"), "");
    EXPECT_EQ(find("jre_order b\njre ./mine/"), "");
    // Under the executable's directory they are found.
    tree.file(rel);
    EXPECT_EQ(find("jre_order c\njvmdll " + rel), tree.path(rel));
    tree.file("mine/" + kBin + "server/" + kLib);
    EXPECT_EQ(find("jre_order b\njre mine"), tree.path("mine/" + kBin + "server/" + kLib));
    EXPECT_EQ(find("jre_order c\njvmdll rt/missing/" + kLib), "");
    // The file is taken whatever its name, without probing below it.
    const std::string other = tree.file("odd-name.bin");
    EXPECT_EQ(find("jre_order c\njvmdll " + other), other);
}

TEST_F(Discovery, RuntimeDirectoryProbeOrder) {
    // jre unset: "./jre/" under the home directory; the server subdirectory is
    // found through the listing without a preference.
    tree.file("jre/" + kBin + "server/" + kLib);
    EXPECT_EQ(find("jre_order b"), tree.path("./jre/" + kBin + "server/" + kLib));

    // A configured jre directory; a library in the directory itself comes first.
    tree.file("private/" + kBin + "server/" + kLib);
    EXPECT_EQ(find("jre_order b\njre private"), tree.path("private/" + kBin + "server/" + kLib));
    tree.file("private/" + kLib);
    EXPECT_EQ(find("jre_order b\njre private"), tree.path("private/" + kLib));

    // The preferred VM subdirectory is tried before the listing.
    tree.file("pref/" + kBin + "first/" + kLib);
    tree.file("pref/" + kBin + "second/" + kLib);
    EXPECT_EQ(find("jre_order b\njre pref\nvm second"), tree.path("pref/" + kBin + "second/" + kLib));
    // A one-character preference is none.
    const std::string got = find("jre_order b\njre pref\nvm s");
    EXPECT_TRUE(got == tree.path("pref/" + kBin + "first/" + kLib) ||
                got == tree.path("pref/" + kBin + "second/" + kLib))
        << got;

    // The "../jre" prefix below a missing directory may climb out of it on Windows.
    EXPECT_EQ(find("jre_order b\njre nowhere/deeper"), "");
}

TEST_F(Discovery, EnvironmentVariables) {
    tree.file("home/" + kBin + "server/" + kLib);
    tree.dir("empty-runtime");
    env.set("JAVA_HOME", tree.path("home"));
    if (env.setEmpty("JRE_HOME")) {
        EXPECT_EQ(find("jre_order e"), tree.path("home/" + kBin + "server/" + kLib));
    }
    env.set("JRE_HOME", tree.path("empty-runtime"));
    EXPECT_EQ(find("jre_order e"), tree.path("home/" + kBin + "server/" + kLib));
    env.set("JRE_HOME", tree.path("home/"));
    EXPECT_EQ(find("jre_order e"), tree.path("home/" + kBin + "server/" + kLib));
    env.unset("JAVA_HOME");
    env.unset("JRE_HOME");
    EXPECT_EQ(find("jre_order e"), "");
}

TEST_F(Discovery, AJavaHomeThatGivesNoRuntimeIsNamedWithTheReason) {
    tree.dir("empty");
    tree.file("old/" + kBin + "server/" + kLib);
    tree.file("old/release", "JAVA_VERSION=\"11.0.2\"\n");
    tree.file("broken/" + kBin + "server/" + kLib);
    tree.file("good/" + kBin + "server/" + kLib);
    const struct {
        const char* what;
        std::string lines, jreHome, javaHome;
        std::string problem;  // empty: a runtime is chosen, or no variable is set
    } cases[] = {
        {"missing", "jre_order e", "", tree.path("nowhere"),
         "JAVA_HOME names no usable runtime ('" + tree.path("nowhere") + "' does not exist)"},
        {"no library", "jre_order e", "", tree.path("empty"),
         "JAVA_HOME names no usable runtime ('" + tree.path("empty") + "' holds no " + kLib + ")"},
        {"too old", "jre_order e\nminjre 17", "", tree.path("old"),
         "JAVA_HOME names no usable runtime ('" + tree.path("old") + "' is Java 11.0.2, below minjre 17)"},
        {"too new", "jre_order e\nmaxjre 1.8", "", tree.path("old"),
         "JAVA_HOME names no usable runtime ('" + tree.path("old") + "' is Java 11.0.2, above maxjre 1.8)"},
        {"tried already by jvmdll", "jre_order ce\nminjre 17\njvmdll " + tree.path("old/" + kBin + "server/" + kLib),
         "", tree.path("old"),
         "JAVA_HOME names no usable runtime ('" + tree.path("old") + "' is Java 11.0.2, below minjre 17)"},
        {"does not load", "jre_order eb", "", tree.path("broken"),
         "JAVA_HOME names no usable runtime ('" + tree.path("broken") +
             "' holds a runtime library that does not load)"},
        {"JRE_HOME alone", "jre_order e", tree.path("empty"), "",
         "JRE_HOME names no usable runtime ('" + tree.path("empty") + "' holds no " + kLib + ")"},
        {"JRE_HOME passed over, JAVA_HOME good", "jre_order e", tree.path("empty"), tree.path("good"), ""},
        {"neither set", "jre_order e", "", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.jreHome.empty())
            env.unset("JRE_HOME");
        else
            env.set("JRE_HOME", c.jreHome);
        if (c.javaHome.empty())
            env.unset("JAVA_HOME");
        else
            env.set("JAVA_HOME", c.javaHome);
        resetRuntimeSearchForTesting();
        auto config = makeConfig(c.lines, tree.path("app.exe"), tree.path("work/"));
        const RuntimeChoice& choice = chooseRuntime(*config);
        EXPECT_EQ(choice.library.empty() ? std::string(choice.homeProblem.view()) : "", c.problem);
    }
    // The advice line says so instead of telling the user to set the variable.
    auto config = makeConfig("minjre 17", tree.path("app.exe"), tree.path("work/"));
    EXPECT_EQ(
        runtimeAdvice(*config, 6, ByteString("JAVA_HOME names no usable runtime ('/j' is Java 11, below minjre 17)")),
        "hux: this application needs Java 17 or later, and JAVA_HOME names no usable runtime ('/j' is Java 11, "
        "below minjre 17): point it at a runtime of that version, or install one (HUX_DEBUG=1 shows where hux "
        "looked)");
}

TEST_F(Discovery, OutcomeIsRememberedForTheProcess) {
    auto config = makeConfig("jre_order b", tree.path("app.exe"), tree.path("work/"));
    EXPECT_EQ(findRuntimeLibrary(*config), "");
    tree.file("jre/" + kLib);
    EXPECT_EQ(findRuntimeLibrary(*config), "");  // not searched again

    resetRuntimeSearchForTesting();
    const ByteString first = findRuntimeLibrary(*config);
    EXPECT_EQ(first, tree.path("./jre/" + kLib));
    std::filesystem::remove_all(tree.path("jre"));
    EXPECT_EQ(findRuntimeLibrary(*config), first);
}

static std::string shown(const std::string& path) { return std::string(shownPath(path).view()); }

TEST_F(Discovery, DebugSwitchReportsCandidates) {
    const std::string lines = "jre_order c\njvmdll " + tree.path("missing/" + kLib);
    testing::internal::CaptureStderr();
    find(lines);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    env.set("HUX_DEBUG", "1");
    testing::internal::CaptureStderr();
    find(lines);
    const std::string out = testing::internal::GetCapturedStderr();
    EXPECT_NE(out.find("hux: runtime search order c\n"), std::string::npos) << out;
    // Paths in the debug lines in one separator style.
    EXPECT_NE(out.find("hux: candidate " + shown(tree.path("missing/" + kLib)) + " (jvmdll): missing\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("hux: no runtime library found\n"), std::string::npos) << out;
}

TEST_F(Discovery, DebugLinesNameEachCandidatesSource) {
    tree.file("home/readme.txt");
    tree.file("jre/readme.txt");
    env.set("HUX_DEBUG", "1");
    const bool canBeEmpty = env.setEmpty("JRE_HOME");  // not where empty means unset
    env.set("JAVA_HOME", tree.path("home"));
    testing::internal::CaptureStderr();
    EXPECT_EQ(find("jre_order ebi"), "");
    std::string out = testing::internal::GetCapturedStderr();
    EXPECT_NE(out.find(canBeEmpty ? "hux: JRE_HOME: empty\n" : "hux: JRE_HOME: not set\n"), std::string::npos) << out;
    EXPECT_NE(out.find("hux: candidate " + shown(tree.path("home/" + kLib)) + " (" +
                       shown("JAVA_HOME=" + tree.path("home")) + "): missing\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find(" (private jre): missing\n"), std::string::npos) << out;
    // Registry keys are named only where there is a registry.
    testing::internal::CaptureStderr();
    find("jre_order si");
    out += testing::internal::GetCapturedStderr();
    EXPECT_EQ(out.find("registry") != std::string::npos, platform::hasRegistry()) << out;
    if (platform::hasRegistry()) {
        EXPECT_NE(out.find("hux: registry key HKLM\\SOFTWARE\\JavaSoft\\JDK: no CurrentVersion\n"), std::string::npos)
            << out;
    }
}

TEST_F(Discovery, InstalledRuntimes) {
    if (!kLinuxLayout) GTEST_SKIP() << "the installed runtimes are Linux ones";
    int tried = 0;
    for (const char* home : {"/usr/lib/jvm/java-17-openjdk-amd64", "/usr/lib/jvm/temurin-25-jdk-amd64"}) {
        const std::string library = std::string(home) + "/lib/server/libjvm.so";
        if (!std::filesystem::exists(library)) continue;
        ++tried;
        env.set("JAVA_HOME", home);
        EXPECT_EQ(find("jre_order e"), library);
        env.unset("JAVA_HOME");
        EXPECT_EQ(find("jre_order c\njvmdll " + library), library);
    }
    if (tried == 0) GTEST_SKIP() << "no JDK installed";
}

TEST_F(Discovery, SystemDefaultRuntimeWithoutConfiguration) {
    const std::string found = find("");
    if (!kLinuxLayout) {
        EXPECT_EQ(found, "");  // no registrations in a fresh prefix
        return;
    }
    std::error_code ec;
    std::string home;
    if (std::filesystem::exists("/usr/lib/jvm/default-java/lib/server/libjvm.so")) {
        home = "/usr/lib/jvm/default-java";
    } else {
        const auto java = std::filesystem::canonical("/etc/alternatives/java", ec);
        if (ec) GTEST_SKIP() << "no system runtime";
        home = java.parent_path().parent_path().string();
    }
    EXPECT_EQ(found, home + "/lib/server/libjvm.so");
}

TEST_F(Discovery, RegistryRegistrations) {
    if (!test::registryAvailable()) GTEST_SKIP() << "no registry";
    const char* jre = "SOFTWARE\\JavaSoft\\JRE";
    const char* ibm = "SOFTWARE\\IBM\\Java2 Runtime Environment";
    test::registryDeleteTree("SOFTWARE\\JavaSoft");
    test::registryDeleteTree("SOFTWARE\\IBM");
    const std::string server = tree.file("rt/bin/server/jvm.dll");
    tree.file("rt/bin/client/jvm.dll");
    ASSERT_TRUE(test::registrySetString(jre, "CurrentVersion", "1.8"));
    ASSERT_TRUE(test::registrySetString("SOFTWARE\\JavaSoft\\JRE\\1.8", "RuntimeLib", server.c_str()));
    EXPECT_EQ(find("jre_order s"), server);
    // With a preference the registered library is not taken directly: its bin
    // directory is probed, the preferred subdirectory first.
    EXPECT_EQ(find("jre_order s\nvm client"), tree.path("rt/bin/client/jvm.dll"));

    // No RuntimeLib: JavaHome is probed.
    test::registryDeleteTree("SOFTWARE\\JavaSoft");
    ASSERT_TRUE(test::registrySetString("SOFTWARE\\JavaSoft\\Java Runtime Environment", "CurrentVersion", "9"));
    ASSERT_TRUE(test::registrySetString("SOFTWARE\\JavaSoft\\Java Runtime Environment\\9", "JavaHome",
                                        tree.path("rt").c_str()));
    const std::string viaHome = find("jre_order s");
    EXPECT_EQ(viaHome.rfind(tree.path("rt/bin\\"), 0), 0u) << viaHome;

    // A value that does not fit the 260-byte buffer counts as absent.
    ASSERT_TRUE(test::registrySetString(ibm, "CurrentVersion", "x"));
    const std::string longPath = "C:\\" + std::string(300, 'a') + "\\jvm.dll";
    ASSERT_TRUE(test::registrySetString("SOFTWARE\\IBM\\Java2 Runtime Environment\\x", "RuntimeLib", longPath.c_str()));
    ASSERT_TRUE(
        test::registrySetString("SOFTWARE\\IBM\\Java2 Runtime Environment\\x", "JavaHome", tree.path("rt").c_str()));
    EXPECT_EQ(find("jre_order i").rfind(tree.path("rt/bin\\"), 0), 0u);
    test::registryDeleteTree("SOFTWARE\\JavaSoft");
    test::registryDeleteTree("SOFTWARE\\IBM");
    EXPECT_EQ(find("jre_order si"), "");
}

TEST_F(Discovery, CurrentInstallersKeyComesAfterTheClassicKeys) {
    if (!test::registryAvailable()) GTEST_SKIP() << "no registry";
    test::registryDeleteTree("SOFTWARE\\JavaSoft");
    const std::string jdk = tree.file("jdk/bin/server/jvm.dll");
    tree.file("jdk/bin/client/jvm.dll");
    ASSERT_TRUE(test::registrySetString("SOFTWARE\\JavaSoft\\JDK", "CurrentVersion", "21"));
    ASSERT_TRUE(test::registrySetString("SOFTWARE\\JavaSoft\\JDK\\21", "RuntimeLib", jdk.c_str()));
    EXPECT_EQ(find("jre_order s"), jdk);
    // The same RuntimeLib rule: with a preference the bin directory is probed.
    EXPECT_EQ(find("jre_order s\nvm client"), tree.path("jdk/bin/client/jvm.dll"));
    // A version without RuntimeLib is found through JavaHome.
    ASSERT_TRUE(test::registrySetString("SOFTWARE\\JavaSoft\\JDK", "CurrentVersion", "25"));
    ASSERT_TRUE(test::registrySetString("SOFTWARE\\JavaSoft\\JDK\\25", "JavaHome", tree.path("jdk").c_str()));
    EXPECT_EQ(find("jre_order s").rfind(tree.path("jdk/bin\\"), 0), 0u);

    // The debug lines name the registration a missing library came from
    // (the other versions, which the search would go on to, are gone).
    test::registryDeleteTree("SOFTWARE\\JavaSoft\\JDK\\21");
    test::registryDeleteTree("SOFTWARE\\JavaSoft\\JDK\\25");
    ASSERT_TRUE(test::registrySetString("SOFTWARE\\JavaSoft\\JDK", "CurrentVersion", "26"));
    const std::string gone = tree.path("gone/bin/server/jvm.dll");
    ASSERT_TRUE(test::registrySetString("SOFTWARE\\JavaSoft\\JDK\\26", "RuntimeLib", gone.c_str()));
    env.set("HUX_DEBUG", "1");
    testing::internal::CaptureStderr();
    EXPECT_EQ(find("jre_order s"), "");
    const std::string out = testing::internal::GetCapturedStderr();
    env.unset("HUX_DEBUG");
    EXPECT_NE(out.find("hux: registry key HKLM\\SOFTWARE\\JavaSoft\\JRE: no CurrentVersion\n"), std::string::npos)
        << out;
    // The candidate's path in one separator style; each distribution key
    // tried is told, absent ones too.
    EXPECT_NE(
        out.find("hux: candidate " + shown(gone) + " (registry key HKLM\\SOFTWARE\\JavaSoft\\JDK\\26): missing\n"),
        std::string::npos)
        << out;
    for (const char* root : {"HKLM", "HKCU"})
        for (const char* vendor : {"Eclipse Adoptium", "Azul Systems\\Zulu", "Microsoft\\JDK", "IBM\\Semeru"})
            EXPECT_NE(out.find(std::string("hux: registry key ") + root + "\\SOFTWARE\\" + vendor +
                               ": no InstallationPath or JavaHome\n"),
                      std::string::npos)
                << root << " " << vendor << "\n"
                << out;
    EXPECT_EQ(out.find("/"), std::string::npos) << out;

    // A registration under a classic key wins.
    const std::string jre = tree.file("jre8/bin/server/jvm.dll");
    ASSERT_TRUE(test::registrySetString("SOFTWARE\\JavaSoft\\Java Runtime Environment", "CurrentVersion", "1.8"));
    ASSERT_TRUE(
        test::registrySetString("SOFTWARE\\JavaSoft\\Java Runtime Environment\\1.8", "RuntimeLib", jre.c_str()));
    EXPECT_EQ(find("jre_order s"), jre);
    test::registryDeleteTree("SOFTWARE\\JavaSoft");
}

TEST(VersionScan, CountsLikeTheScanPattern) {
    const struct {
        const char* text;
        int32_t count;
        int32_t first;
    } cases[] = {
        {"", -1, 0},
        {"   ", -1, 0},
        {"1.8.0_181", 4, 1},
        {"11.0.9.1", 3, 11},
        {"25", 1, 25},
        {"17.0.15", 3, 17},
        {"ea", 0, 0},
        {" +9.1", 2, 9},
        {"-1.2", 2, -1},
        {"1.x", 1, 1},
        {"1. 7", 2, 1},
        {"99999999999", 1, INT32_MAX},
        {"-99999999999", 1, INT32_MIN},
        {"-", 0, 0},
    };
    for (const auto& c : cases) {
        int32_t parts[4] = {0, 0, 0, 0};
        EXPECT_EQ(scanVersion(c.text, parts), c.count) << '"' << c.text << '"';
        if (c.count > 0) {
            EXPECT_EQ(parts[0], c.first) << c.text;
        }
    }
    int32_t parts[4];
    ASSERT_EQ(scanVersion("1.6.0_45", parts), 4);
    EXPECT_EQ(parts[3], 45);
    ASSERT_EQ(scanVersion("1. 7", parts), 2);
    EXPECT_EQ(parts[1], 7);
}

TEST(VersionLimits, ComparesOverTheShorterText) {
    const struct {
        const char* version;
        const char* min;
        const char* max;
        int32_t result;
    } cases[] = {
        {"1.6.0_45", "1.7", "", kVersionTooLow},
        {"1.7.0_01", "1.7", "", kLaunchOk},
        {"1.8.0_181", "", "9.0", kLaunchOk},
        {"11.0.2", "", "9.0", kVersionTooHigh},
        {"11.0.2", "1.8", "9.0", kVersionTooHigh},
        {"9", "", "9.0", kLaunchOk},
        {"9.0.4", "", "9.0", kLaunchOk},
        {"25", "17", "", kLaunchOk},
        {"25", "", "21", kVersionTooHigh},
        {"17.0.15", "17.0.16", "", kVersionTooLow},
        {"17.0.15", "11", "17.0", kLaunchOk},
        {"11.0.9.1", "11.0.9_2", "", kLaunchOk},  // three comparable components
        {"11.0.9.1", "11.0.10", "", kVersionTooLow},
        {"ea-build", "1.7", "9.0", kLaunchOk},  // not a number: passes both limits
        {"", "1.7", "9.0", kLaunchOk},
        {"1.8", "x", "y", kLaunchOk},
        {"1.8", "", "", kLaunchOk},
    };
    for (const auto& c : cases)
        EXPECT_EQ(compareVersionLimits(c.version, c.min, c.max), c.result)
            << c.version << " min " << c.min << " max " << c.max;
}

TEST(VersionLimits, WithoutLimitsTheVmIsNotAsked) {
    auto config = makeConfig("", "/x/app.exe", "/x/");
    JvmHost host;  // no virtual machine
    ByteString version, min, max;
    EXPECT_EQ(checkRuntimeVersion(*config, host, version, min, max), kLaunchOk);
    auto limited = makeConfig("minjre 1.7", "/x/app.exe", "/x/");
    EXPECT_EQ(checkRuntimeVersion(*limited, host, version, min, max), kVersionUnknown);
    EXPECT_EQ(min, "1.7");
}
