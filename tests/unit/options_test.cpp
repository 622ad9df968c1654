// The virtual machine's option list, the class paths and the export lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/environment.h"
#include "platform/files.h"
#include "runtime/jvm_host.h"
#include "runtime/options.h"
#include "services/wildcard.h"
#include "archive/archive_store.h"
#include "support/test_support.h"

using namespace hux;
using hux::test::EnvGuard;
using hux::test::makeConfig;
using hux::test::TempTree;

namespace {

using V = std::vector<std::string>;
const std::string kSep(1, platform::pathListSeparator());

std::string envValue(const char* name) {
    ByteString value;
    return platform::getEnv(name, value) ? std::string(value.view()) : std::string("<unset>");
}

// What the launcher hands in: the argument expansion's matcher and the
// archive's look for nested archives.
OptionInputs inputs() {
    OptionInputs in;
    in.matchPattern = expandPattern;
    in.holdsNestedArchives = holdsNestedArchives;
    return in;
}

ByteString buildClassPath(const LaunchConfig& config, ClassPathFlavour flavour) {
    return hux::buildClassPath(config, flavour, inputs());
}

V optionList(const LaunchConfig& config) {
    JvmHost host;
    appendVmOptions(config, host, inputs());
    V out;
    for (int32_t i = 0; i < host.optionCount(); ++i) out.emplace_back(host.option(i));
    return out;
}

V splitPath(const std::string& path) {
    V out;
    size_t start = 0;
    for (;;) {
        const size_t end = path.find(kSep[0], start);
        out.push_back(path.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return out;
        start = end + 1;
    }
}

class Options : public ::testing::Test {
protected:
    void SetUp() override {
        env.unset("CLASSPATH");
        env.unset("CLASS_PATH");
        env.unset("HUX_DEBUG");
        setElevationOverrideForTesting(0);
    }
    void TearDown() override { setElevationOverrideForTesting(-1); }
    std::unique_ptr<LaunchConfig> config(const std::string& lines) {
        return makeConfig(lines, tree.path("app/app.exe"), tree.path("work/"));
    }
    TempTree tree;
    EnvGuard env;
};

}  // namespace

TEST_F(Options, ExactListForEveryKey) {
    const std::string r = tree.root();
    tree.file("app/lib/a.jar");
    tree.file("ext/e.jar");
    tree.dir("app/conf");
    tree.file("work/workonly.jar");
    tree.file("app/jl/j.jar");
    tree.file("libs/l.JAR");
    tree.file("libs/notes.txt");
    env.set("CLASSPATH", "cp1");
    setElevationOverrideForTesting(1);
    auto c = config(
        "option -Xmx64m\n"
        "option -Xmx64m\n"
        "option -Dx=a b\n"
        "java_classpath lib/a.jar;;lib/missing.jar\n"
        "java_classpath " +
        r +
        "ext/*.jar\n"
        "classpath conf;workonly.jar\n"
        "classpath " +
        r +
        "nomatch/*.zip\n"
        "java_libs jl\n"
        "libs " +
        r +
        "libs\n"
        "libs missing;other\n"
        "assystemclassloader no\n"
        "export HUX_T_OPT=1\n"
        "property p=v\n"
        "mainclass x.Main\n");
    const V expected = {
        "-Xmx64m",
        "-Xmx64m",
        "-Dx=a b",
        "-Djava.class.path=" + r + "app/app.exe" + kSep + r + "app/lib/a.jar" + kSep + r + "app/lib/missing.jar" +
            kSep + r + "ext/e.jar" + kSep + r + "app/jl/j.jar",
        "-Dhux.class.path=" + kSep + r + "app/conf" + kSep + r + "work/workonly.jar" + kSep + r + "libs/l.JAR" + kSep +
            "cp1",
        "-Dhux.app.path=" + r + "app/app.exe",
        "-Dapplication.home=" + r + "app/",
        "-Djava.system.class.loader=com.mordavin.hux.CarvossClassLoader",
        "-Dhux.is.elevated=true",
    };
    EXPECT_EQ(optionList(*c), expected);
}

TEST_F(Options, ModuleOptionsWrittenAsForJavaReachTheMachineInItsForm) {
    EXPECT_EQ(std::string(vmOptionForm("--add-opens java.base/java.lang=ALL-UNNAMED").view()),
              "--add-opens=java.base/java.lang=ALL-UNNAMED");
    EXPECT_EQ(std::string(vmOptionForm("--add-exports \t a/b=c").view()), "--add-exports=a/b=c");
    EXPECT_EQ(std::string(vmOptionForm("-p mods:more").view()), "--module-path=mods:more");
    EXPECT_EQ(std::string(vmOptionForm("--add-modules ALL-SYSTEM").view()), "--add-modules=ALL-SYSTEM");
    // Everything else as written: the "=" form, other options, a name alone.
    for (const char* same : {"--add-opens=java.base/java.lang=ALL-UNNAMED", "-Dx=a b", "-Xmx64m", "--add-opens",
                             "--add-opens ", "-XX:+UseG1GC", "--add-opensx a", "-pa b"})
        EXPECT_EQ(std::string(vmOptionForm(same).view()), same);
    const V list = optionList(*config("option --add-reads a=b\noption -Dp=q r\n"));
    ASSERT_GE(list.size(), 2u);
    EXPECT_EQ(list[0], "--add-reads=a=b");
    EXPECT_EQ(list[1], "-Dp=q r");
}

// The user's own files beside the executable and files elsewhere stay in
// place and in order; empty list elements go.
TEST_F(Options, OptionsNamingFilesKeepTrustedOnes) {
    auto c = config("");
    tree.file("app/a.jar");
    const std::string s(1, hux::platform::pathListSeparator());
    const std::string a = tree.path("app/a.jar"), late = tree.path("app/late.jar");
    const struct {
        std::string option, expected;
    } cases[] = {
        {"-Xbootclasspath/a:" + a + s + s + "/elsewhere/b.jar", "-Xbootclasspath/a:" + a + s + "/elsewhere/b.jar"},
        {"--module-path=" + late + s + a, "--module-path=" + late + s + a},
        {"--upgrade-module-path=" + s, ""},
        {"-javaagent:" + a + "=x=y", "-javaagent:" + a + "=x=y"},
        {"-agentpath:/elsewhere/lib.so", "-agentpath:/elsewhere/lib.so"},
        {"-Xbootclasspath/p:x", "-Xbootclasspath/p:x"},
    };
    for (const auto& k : cases)
        EXPECT_EQ(std::string(withTrustedFiles(*c, ByteString(k.option)).view()), k.expected) << k.option;
}

TEST_F(Options, SystemClassLoaderSwitchAndElevation) {
    const std::string loader = "-Djava.system.class.loader=com.mordavin.hux.CarvossClassLoader";
    for (const char* value : {"false", "False", "FALSE"}) {
        const V list = optionList(*config(std::string("assystemclassloader ") + value));
        EXPECT_EQ(std::count(list.begin(), list.end(), loader), 0) << value;
    }
    for (const char* value : {"no", "0", "", "falsey"}) {
        const V list = optionList(*config(std::string("assystemclassloader ") + value));
        EXPECT_EQ(std::count(list.begin(), list.end(), loader), 1) << value;
    }
    setElevationOverrideForTesting(1);
    EXPECT_EQ(optionList(*config("")).back(), "-Dhux.is.elevated=true");
    setElevationOverrideForTesting(0);
    EXPECT_EQ(optionList(*config("")).back(), loader);
}

TEST_F(Options, ClassPathElements) {
    tree.file("app/a.jar");
    tree.file("app/b.jar");
    const std::string r = tree.root();
    EXPECT_EQ(std::string(buildClassPath(*config("classpath a.jar;;b.jar;"), ClassPathFlavour::Hux).view()),
              kSep + r + "app/a.jar" + kSep + r + "app/b.jar");
    // Absolute names stay as written; a pattern gives its matches, or nothing.
    EXPECT_EQ(std::string(buildClassPath(*config("classpath " + r + "x.jar"), ClassPathFlavour::Hux).view()),
              kSep + r + "x.jar");
    EXPECT_EQ(std::string(buildClassPath(*config("classpath " + r + "app/none*.jar"), ClassPathFlavour::Hux).view()),
              "");
    const V matches = splitPath(
        std::string(buildClassPath(*config("java_classpath " + r + "app/?.JAR"), ClassPathFlavour::Java).view()));
    ASSERT_EQ(matches.size(), 3u);
    EXPECT_EQ(std::min(matches[1], matches[2]), r + "app/a.jar");
    EXPECT_EQ(std::max(matches[1], matches[2]), r + "app/b.jar");

    // A relative pattern matches beside the executable when anything matches
    // there, else in the working directory, as a relative entry resolves.
    tree.file("app/ext/own.jar");
    tree.file("work/ext/planted.jar");
    tree.file("work/only/w.jar");
    EXPECT_EQ(std::string(buildClassPath(*config("classpath ext/*.jar;only/*.jar"), ClassPathFlavour::Hux).view()),
              kSep + r + "app/ext/own.jar" + kSep + r + "work/only/w.jar");

    // Both environment variables, even when empty.
    env.set("CLASS_PATH", "cp2");
    EXPECT_EQ(std::string(buildClassPath(*config(""), ClassPathFlavour::Hux).view()), kSep + "cp2");
    if (env.setEmpty("CLASSPATH")) {
        EXPECT_EQ(std::string(buildClassPath(*config(""), ClassPathFlavour::Hux).view()), kSep + kSep + "cp2");
    }
    // The java flavour ignores them.
    EXPECT_EQ(std::string(buildClassPath(*config(""), ClassPathFlavour::Java).view()), tree.path("app/app.exe"));
}

TEST_F(Options, ExecutablePathHoldingTheSeparator) {
    if (kSep != ":") GTEST_SKIP() << "the separator cannot appear in a path here";
    auto c = makeConfig("", "/opt/a:b/app", "/tmp/");
    EXPECT_EQ(buildClassPath(*c, ClassPathFlavour::Java), "/proc/self/exe");
}

TEST_F(Options, ArchiveScanIsDepthFirst) {
    tree.file("libs/x.JAR");
    tree.file("libs/y.zip");
    tree.file("libs/z.txt");
    tree.file("libs/jar");
    tree.file("libs/sub/w1.jar");
    tree.file("libs/sub/deeper/w2.Zip");
    auto elsewhere = makeConfig("", "/opt/elsewhere/app", "/tmp/");
    ByteString text;
    scanArchiveDirectory(*elsewhere, ByteString(tree.path("libs").c_str()), text);
    V found = splitPath(std::string(text.view()));
    ASSERT_FALSE(found.empty());
    EXPECT_EQ(found.front(), "");  // every element has the separator in front
    found.erase(found.begin());
    const std::string base = tree.path("libs/");
    V expected = {base + "x.JAR", base + "y.zip", base + "sub/w1.jar", base + "sub/deeper/w2.Zip"};
    V sortedFound = found;
    std::sort(sortedFound.begin(), sortedFound.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(sortedFound, expected);
    // The subdirectory's archives sit together at the subdirectory's position.
    const auto w1 = std::find(found.begin(), found.end(), base + "sub/w1.jar");
    const auto w2 = std::find(found.begin(), found.end(), base + "sub/deeper/w2.Zip");
    ASSERT_TRUE(w1 != found.end() && w2 != found.end());
    EXPECT_EQ(std::abs(static_cast<int>(w1 - w2)), 1);

    ByteString none;
    scanArchiveDirectory(*elsewhere, ByteString(tree.path("missing").c_str()), none);
    EXPECT_EQ(none, "");
    ByteString withSlash;
    scanArchiveDirectory(*elsewhere, ByteString(tree.path("libs/sub/deeper/").c_str()), withSlash);
    EXPECT_EQ(withSlash, kSep + base + "sub/deeper/w2.Zip");
}

TEST_F(Options, ExportLines) {
    env.set("JAVA_TOOL_OPTIONS", "-Dinherited=1");
    env.set("HUX_T_GONE", "old");
    env.unset("HUX_T_SET");
    env.unset("HUX_T_NOEQ");
    applyExportLines(*config("export HUX_T_SET=a=b\nexport HUX_T_NOEQ\nexport HUX_T_GONE="));
    EXPECT_EQ(envValue("JAVA_TOOL_OPTIONS"), "<unset>");
    EXPECT_EQ(envValue("HUX_T_SET"), "a=b");
    EXPECT_EQ(envValue("HUX_T_NOEQ"), "<unset>");
    EXPECT_EQ(envValue("HUX_T_GONE"), "<unset>");

    env.set("JAVA_TOOL_OPTIONS", "-Dinherited=1");
    applyExportLines(*config("export java_tool_options=-Dmine=1"));
    EXPECT_EQ(envValue("JAVA_TOOL_OPTIONS"), "-Dmine=1");

    env.set("JAVA_TOOL_OPTIONS", "-Dinherited=1");
    applyExportLines(*config("export JAVA_TOOL_OPTIONS=-Dmine=2"));
    EXPECT_EQ(envValue("JAVA_TOOL_OPTIONS"), "-Dmine=2");
}

TEST_F(Options, DebugSwitchListsTheOptions) {
    auto c = config("option -Dk=v");
    testing::internal::CaptureStderr();
    optionList(*c);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    env.set("HUX_DEBUG", "1");
    testing::internal::CaptureStderr();
    const V list = optionList(*c);
    const std::string out = testing::internal::GetCapturedStderr();
    std::string expected;
    for (const std::string& option : list) expected += "hux: option: " + option + "\n";
    EXPECT_EQ(out, expected);
}

TEST_F(Options, StackSizeOptionsReadAsTheVirtualMachineReadsThem) {
    EXPECT_EQ(stackSizeOption("-Xss16m"), 16u << 20);
    EXPECT_EQ(stackSizeOption("-Xss512K"), 512u << 10);
    EXPECT_EQ(stackSizeOption("-Xss2g"), 2ull << 30);
    EXPECT_EQ(stackSizeOption("-Xss1048576"), 1u << 20);
    EXPECT_EQ(stackSizeOption("-XX:ThreadStackSize=2048"), 2u << 20);  // counted in KiB
    EXPECT_EQ(stackSizeOption("-XX:ThreadStackSize=1m"), 1ull << 30);
    for (const char* bad : {"-Xss", "-Xssm", "-Xss16mb", "-Xss-1m", "-Xss16x", "-Xss99999999999999999999",
                            "-Xss99999999999999t", "-Xmx16m", "-XX:ThreadStackSize=", "-xss16m"})
        EXPECT_EQ(stackSizeOption(bad), 0u) << bad;
}

TEST_F(Options, StartThreadStackComesFromTheLastStackOption) {
    const size_t fallback = 1 << 20;
    EXPECT_EQ(startThreadStackSize(*config("option -Xmx64m"), fallback), fallback);
    EXPECT_EQ(startThreadStackSize(*config("option -Xss16m"), fallback), 16u << 20);
    EXPECT_EQ(startThreadStackSize(*config("option -Xss16m\noption -Xss4m"), fallback), 4u << 20);
    EXPECT_EQ(startThreadStackSize(*config("option -Xss16m\noption -XX:ThreadStackSize=8192"), fallback), 8u << 20);
    // Zero or an unreadable last value leaves the default, as java does.
    EXPECT_EQ(startThreadStackSize(*config("option -Xss16m\noption -Xss0"), fallback), fallback);
    EXPECT_EQ(startThreadStackSize(*config("option -Xss16m\noption -Xssbig"), fallback), fallback);
    // A value too small to run the launcher itself is raised to its floor.
    EXPECT_EQ(startThreadStackSize(*config("option -Xss1k"), fallback), 64u << 10);
    // Smaller than the default is honoured above the floor.
    EXPECT_EQ(startThreadStackSize(*config("option -Xss256k"), fallback), 256u << 10);
}

namespace {
bool answersNested(const char*) { return true; }
bool answersFlat(const char*) { return false; }
int matcherCalls = 0;
void matchTwo(const char* pattern, StringList& out) {
    ++matcherCalls;
    out.append(std::string(pattern) + ".1");
    out.append(std::string(pattern) + ".2");
}
}  // namespace

// The runtime's own loader serves only when the configuration asks for no
// loader of its own and the handed-in archive look finds no nested archive;
// without that look the loader is kept.
TEST_F(Options, DirectLaunchFollowsTheHandedInInputs) {
    const struct {
        const char* lines;
        bool (*nested)(const char*);
        bool direct;
    } cases[] = {
        {"assystemclassloader false", answersFlat, true},
        {"assystemclassloader false", answersNested, false},
        {"assystemclassloader false", nullptr, false},
        {"", answersFlat, false},  // the system class loader by default
        {"assystemclassloader false\nclasspath x.jar", answersFlat, false},
    };
    for (const auto& c : cases) {
        OptionInputs in;
        in.holdsNestedArchives = c.nested;
        JvmHost host;
        appendVmOptions(*config(c.lines), host, in);
        EXPECT_EQ(host.direct, c.direct) << c.lines << (c.nested ? "" : " (no archive look)");
    }
}

// A class path pattern goes to the handed-in matcher, and each match becomes
// an element; without a matcher a pattern gives nothing.
TEST_F(Options, ClassPathPatternsGoToTheHandedInMatcher) {
    const std::string r = tree.root();
    OptionInputs in;
    in.matchPattern = matchTwo;
    matcherCalls = 0;
    EXPECT_EQ(
        std::string(hux::buildClassPath(*config("classpath " + r + "*.jar;b.jar"), ClassPathFlavour::Hux, in).view()),
        kSep + r + "*.jar.1" + kSep + r + "*.jar.2" + kSep + r + "app/b.jar");
    EXPECT_EQ(matcherCalls, 1);
    EXPECT_EQ(std::string(hux::buildClassPath(*config("classpath " + r + "*.jar"), ClassPathFlavour::Hux, {}).view()),
              "");
}
