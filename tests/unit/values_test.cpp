#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <string>

#include "common/utf.h"
#include "config/config_values.h"
#include "platform/environment.h"
#include "platform/registry.h"
#include "support/packed_config.h"
#include "support/test_support.h"
#include "support/test_registry.h"

using namespace hux;

namespace {

// Sets an environment variable for the life of the object and puts the old
// value (or its absence) back afterwards.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        had_ = platform::getEnv(name, old_);
        set(value);
    }
    ~ScopedEnv() { set(had_ ? old_.c_str() : nullptr); }

private:
    void set(const char* value) {
        std::string assignment = name_ + "=" + (value ? value : "");
        ASSERT_TRUE(platform::putEnv(assignment.c_str()));
    }
    std::string name_;
    ByteString old_;
    bool had_ = false;
};

// Expands against a configuration with known anchors for the built-in names.
class ExpandTest : public ::testing::Test {
protected:
    void SetUp() override {
        config_.setExePathForTesting("/opt/app/tool.exe");
        config_.setWorkDirForTesting("/home/u/work/");
    }
    std::string expand(const char* text, ExpandMode mode = ExpandMode::Ansi) const {
        return std::string(expandReferences(ByteString(text), mode, anchors_).view());
    }

    LaunchConfig config_{false};
    const LaunchConfig* anchors_ = &config_;
};

}  // namespace

TEST_F(ExpandTest, FourReferenceFormsAndCaseInsensitiveNames) {
    ScopedEnv var("HUX_T_VAR", "val");
    EXPECT_EQ(expand("%HUX_T_VAR%\\x"), "val\\x");
    EXPECT_EQ(expand("$HUX_T_VAR\\x"), "val\\x");
    EXPECT_EQ(expand("${HUX_T_VAR}\\x"), "val\\x");
    EXPECT_EQ(expand("%{HUX_T_VAR}%\\x"), "val\\x");
    EXPECT_EQ(expand("a%hux_t_var%b$Hux_T_Var-c"), "avalbval-c");
    EXPECT_EQ(expand("$HUX_T_VAR.x"), "val.x");  // the name stops at the first non-name character
    EXPECT_EQ(expand("${HUX_T_VAR"), "val");     // an unclosed brace runs to the end
    EXPECT_EQ(expand("%HUX_T_VAR%%HUX_T_VAR%"), "valval");
}

TEST_F(ExpandTest, OpenPercentReferencesAndSigilEscapes) {
    ScopedEnv var("HUX_T_VAR", "val");
    EXPECT_EQ(expand("%HUX_T_VAR"), "%HUX_T_VAR");
    EXPECT_EQ(expand("%{HUX_T_VAR}x"), "%{HUX_T_VAR}x");
    EXPECT_EQ(expand("%{HUX_T_VAR"), "%{HUX_T_VAR");
    EXPECT_EQ(expand("%HUX_T_VAR $HUX_T_VAR"), "%HUX_T_VAR val");
    EXPECT_EQ(expand("100%%"), "100%");
    EXPECT_EQ(expand("$$"), "$");
    EXPECT_EQ(expand("$$HUX_T_VAR"), "$HUX_T_VAR");
    EXPECT_EQ(expand("%%HUX_T_VAR%%"), "%HUX_T_VAR%");
    EXPECT_EQ(expand("50% off"), "50% off");
    EXPECT_EQ(expand("%"), "%");
    EXPECT_EQ(expand("a$"), "a$");
    EXPECT_EQ(expand("%$"), "%$");
    EXPECT_EQ(expand("%{}%"), "%");
    EXPECT_EQ(expand("${}x"), "${}x");
}

TEST_F(ExpandTest, UndefinedReferencesStayAsWritten) {
    ScopedEnv missing("HUX_T_MISSING", nullptr);
    EXPECT_EQ(expand("%HUX_T_MISSING%\\x"), "%HUX_T_MISSING%\\x");
    EXPECT_EQ(expand("$HUX_T_MISSING/x"), "$HUX_T_MISSING/x");
    EXPECT_EQ(expand("${HUX_T_MISSING}/x"), "${HUX_T_MISSING}/x");
    EXPECT_EQ(expand("%{HUX_T_MISSING}%"), "%{HUX_T_MISSING}%");
    // The closing '%' belongs to the undefined reference; scanning goes on after it.
    EXPECT_EQ(expand("%HUX_T_MISSING%HUX_T_MISSING%"), "%HUX_T_MISSING%HUX_T_MISSING%");
    ScopedEnv var("HUX_T_VAR", "v");
    EXPECT_EQ(expand("%HUX_T_MISSING%HUX_T_VAR%"), "%HUX_T_MISSING%HUX_T_VAR%");
}

TEST_F(ExpandTest, BuiltInNamesKeepTheirSeparators) {
    ScopedEnv pwd("PWD", nullptr);
    ScopedEnv appHome("APPLICATION_HOME", nullptr);
    EXPECT_EQ(expand("${APPLICATION_HOME}lib"), "/opt/app/lib");
    EXPECT_EQ(expand("%PWD%out.txt"), "/home/u/work/out.txt");
    EXPECT_EQ(expand("%hux_app_path%"), "/opt/app/tool.exe");
    // The environment comes first.
    ScopedEnv pwdSet("PWD", "/elsewhere");
    EXPECT_EQ(expand("%PWD%"), "/elsewhere");
    // Without a configuration the names are not defined.
    anchors_ = nullptr;
    EXPECT_EQ(expand("%APPLICATION_HOME%"), "%APPLICATION_HOME%");
}

TEST_F(ExpandTest, HomeIsComposedFromDriveAndPathAndKeptOnceSet) {
    ScopedEnv home("HOME", nullptr);
    ScopedEnv drive("HOMEDRIVE", nullptr);
    ScopedEnv path("HOMEPATH", nullptr);
    resetSpecialValuesForTesting();
    EXPECT_EQ(expand("[%HOME%]"), "[]");  // defined, empty
    {
        ScopedEnv d("HOMEDRIVE", "D:");
        EXPECT_EQ(expand("[%HOME%]"), "[]");  // either one unset gives empty
        ScopedEnv p("HOMEPATH", "\\Users\\u");
        EXPECT_EQ(expand("%HOME%\\x"), "D:\\Users\\u\\x");
    }
    EXPECT_EQ(expand("%HOME%"), "D:\\Users\\u");  // kept for the process
    resetSpecialValuesForTesting();
}

TEST_F(ExpandTest, Utf8ModeConvertsSubstitutedAnsiValues) {
    // The same two characters (U+00E9, U+20AC) in the ANSI code page of the
    // platform: code page 1252 where the runtime has it, else UTF-8.
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    const char* ansi = nullptr;
    if (std::setlocale(LC_ALL, ".1252")) {
        ansi = "\xE9\x80";
    } else if (std::setlocale(LC_ALL, "C.UTF-8") || std::setlocale(LC_ALL, "en_US.UTF-8")) {
        ansi = "\xC3\xA9\xE2\x82\xAC";
    }
    if (!ansi) {
        std::setlocale(LC_ALL, saved.c_str());
        GTEST_SKIP() << "no code page with both characters";
    }
    {
        ScopedEnv var("HUX_T_HIGH", ansi);
        EXPECT_EQ(expand("<%HUX_T_HIGH%>", ExpandMode::Utf8), "<\xC3\xA9\xE2\x82\xAC>");
        EXPECT_EQ(expand("<%HUX_T_HIGH%>", ExpandMode::Ansi), std::string("<") + ansi + ">");
        // Text outside references is left alone.
        EXPECT_EQ(expand("\xC3\xA9", ExpandMode::Utf8), "\xC3\xA9");
    }
    std::setlocale(LC_ALL, saved.c_str());
}

TEST_F(ExpandTest, InsertedValuesAreNotScannedAgain) {
    ScopedEnv inner("HUX_T_INNER", "x");
    ScopedEnv outer("HUX_T_OUTER", "%HUX_T_INNER%");
    EXPECT_EQ(expand("%HUX_T_OUTER%"), "%HUX_T_INNER%");
}

TEST_F(ExpandTest, RegistryPrefixesAndDefaults) {
    ScopedEnv foo("HUX_T_FOO", "env");
    // Without a root prefix only the default counts, whatever the environment holds.
    EXPECT_EQ(expand("%{HUX_T_FOO|x}%"), "x");
    EXPECT_EQ(expand("${HUX_T_FOO|}"), "");
    EXPECT_EQ(expand("%{HKCU\\Software\\HuxTest\\Missing\\Value|fallback}%"), "fallback");
    EXPECT_EQ(expand("%{HKEY_LOCAL_MACHINE\\SOFTWARE\\HuxTestMissing\\V|a|b}%"), "a|b");
    EXPECT_EQ(expand("%{HKCU\\Software\\HuxTest\\Missing\\Value}%"), "%{HKCU\\Software\\HuxTest\\Missing\\Value}%");
    // Prefixes are case-sensitive: this is an ordinary (undefined) name.
    EXPECT_EQ(expand("%{hklm\\SOFTWARE\\X}%"), "%{hklm\\SOFTWARE\\X}%");
    EXPECT_EQ(expand("%{Hkcu\\Software\\X|d}%"), "d");
}

TEST(RegistryData, ValueTypes) {
    const uint8_t all[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(registryDataText(platform::kRegDword, all, 4), "-1");
    const uint8_t le[4] = {0x02, 0x01, 0x00, 0x00};
    EXPECT_EQ(registryDataText(platform::kRegDword, le, 4), "258");
    const uint8_t be[4] = {0x00, 0x00, 0x01, 0x02};
    EXPECT_EQ(registryDataText(platform::kRegDwordBigEndian, be, 4), "258");
    const uint8_t min[4] = {0x80, 0x00, 0x00, 0x00};
    EXPECT_EQ(registryDataText(platform::kRegDwordBigEndian, min, 4), "-2147483648");
    EXPECT_EQ(registryDataText(platform::kRegDword, le, 1), "2");  // short data reads zero-padded
    const char text[] = {'a', 'b', '\0', 'c'};
    EXPECT_EQ(registryDataText(platform::kRegString, reinterpret_cast<const uint8_t*>(text), 4), "ab");
    EXPECT_EQ(registryDataText(platform::kRegString, reinterpret_cast<const uint8_t*>(text), 2), "ab");
    EXPECT_EQ(registryDataText(3 /* binary */, le, 4), "");
    EXPECT_EQ(registryDataText(7 /* multi-string */, reinterpret_cast<const uint8_t*>(text), 4), "");
}

TEST_F(ExpandTest, RegistryValuesReadBack) {
    if (!test::userRegistryAvailable()) {
        // No registry: every rooted reference falls back to its default or stays.
        EXPECT_EQ(expand("%{HKCU\\Software\\HuxTest\\Str|d}%"), "d");
        EXPECT_EQ(expand("%{HKCU\\Software\\HuxTest\\Str}%"), "%{HKCU\\Software\\HuxTest\\Str}%");
        return;
    }
    const char* key = "Software\\HuxTest";
    test::deleteRegistryTree(key);
    ASSERT_TRUE(test::setRegistryValue(key, "Str", platform::kRegString, "hello", 6));
    ASSERT_TRUE(test::setRegistryValue(key, "Expand", platform::kRegExpandString, "%HUX_T_ROOT%\\Java", 18));
    const uint8_t all[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    ASSERT_TRUE(test::setRegistryValue(key, "Dword", platform::kRegDword, all, 4));
    const uint8_t be[4] = {0x00, 0x00, 0x01, 0x02};
    ASSERT_TRUE(test::setRegistryValue(key, "Big", platform::kRegDwordBigEndian, be, 4));
    ASSERT_TRUE(test::setRegistryValue(key, "Bin", 3, be, 4));
    ASSERT_TRUE(test::setRegistryValue("Software\\HuxTest\\Sub", "", platform::kRegString, "subdefault", 11));
    const char* loop = "x%{HKCU\\Software\\HuxTest\\Loop}%";
    ASSERT_TRUE(test::setRegistryValue(key, "Loop", platform::kRegExpandString, loop,
                                       static_cast<uint32_t>(std::strlen(loop) + 1)));
    ScopedEnv root("HUX_T_ROOT", "C:\\Sys");

    EXPECT_EQ(expand("%{HKCU\\Software\\HuxTest\\Str}%!"), "hello!");
    EXPECT_EQ(expand("${HKEY_CURRENT_USER\\Software\\HuxTest\\Str}"), "hello");
    EXPECT_EQ(expand("%{HKCU\\Software\\HuxTest\\Str|unused}%"), "hello");
    EXPECT_EQ(expand("%{HKCU\\Software\\HuxTest\\Expand}%"), "C:\\Sys\\Java");
    EXPECT_EQ(expand("%{HKCU\\Software\\HuxTest\\Dword}%"), "-1");
    EXPECT_EQ(expand("%{HKCU\\Software\\HuxTest\\Big}%"), "258");
    EXPECT_EQ(expand("[%{HKCU\\Software\\HuxTest\\Bin|d}%]"), "[]");        // other types: empty, defined
    EXPECT_EQ(expand("%{HKCU\\Software\\HuxTest\\Sub\\}%"), "subdefault");  // default value of Sub
    EXPECT_EQ(expand("%{HKCU\\Software\\HuxTest\\Nope|d}%"), "d");
    EXPECT_EQ(expand("%{hkcu\\Software\\HuxTest\\Str}%"), "%{hkcu\\Software\\HuxTest\\Str}%");
    // A value that refers to itself ends at the depth bound.
    const std::string looped = expand("%{HKCU\\Software\\HuxTest\\Loop}%");
    EXPECT_EQ(looped, std::string(kMaxRegistryExpansionDepth + 1, 'x') + "%{HKCU\\Software\\HuxTest\\Loop}%");
    test::deleteRegistryTree(key);
}

TEST(ConfigValues, AccessorsFollowTheKeyTable) {
    test::TempDir dir;
    const std::string embedded =
        "mainclass app.Embedded\r\n"
        "appid Embedded\\Id\r\n"
        "jre_order %HUX_T_VAR%\r\n"
        "forcecwd %HUX_T_VAR%/data\r\n"
        "compatible true\r\n"
        "option -Xmx64m\r\n"
        "option -XstartOnFirstThreadX\r\n"
        "classpath lib/%HUX_T_VAR%.jar;b.jar\r\n"
        "property p=%HUX_T_VAR%\r\n";
    const std::string external =
        "mainclass app.External\r\n"
        "appid External\\Id\r\n"
        "compatible false\r\n"
        "option -Dx=%HUX_T_VAR%\r\n"
        "java_classpath a.jar\r\n";
    auto config = test::loadPackedConfig(dir.path(), embedded, external);
    ScopedEnv var("HUX_T_VAR", "v");

    EXPECT_EQ(config::mainClass(*config), "app.Embedded");  // embedded only
    EXPECT_TRUE(config::compatible(*config));               // embedded only
    EXPECT_EQ(config::appId(*config), "External\\Id");      // the external file wins
    EXPECT_EQ(config::jreOrder(*config), "%HUX_T_VAR%");    // not expanded
    EXPECT_EQ(config::forceCwd(*config), "v/data");         // expanded
    StringList options;
    config::options(*config, options);
    ASSERT_EQ(options.count(), 3);
    EXPECT_EQ(options.view(0), "-Dx=v");  // external lines first, expanded
    EXPECT_EQ(options.view(1), "-Xmx64m");
    EXPECT_EQ(config::firstThreadOption(*config), "-XstartOnFirstThreadX");
    StringList classPath;
    config::classPathRaw(*config, classPath);
    ASSERT_EQ(classPath.count(), 1);
    EXPECT_EQ(classPath.view(0), "lib/%HUX_T_VAR%.jar;b.jar");  // expanded later, per piece
    StringList javaClassPath;
    config::javaClassPathRaw(*config, javaClassPath);
    ASSERT_EQ(javaClassPath.count(), 1);
    StringList properties;
    config::properties(*config, properties);
    ASSERT_EQ(properties.count(), 1);
    EXPECT_EQ(properties.view(0), "p=v");
    EXPECT_EQ(config::stdoutTarget(*config), "");
    EXPECT_EQ(config::jre(*config), "");
}

// Executables packed before the packer wrote dots still load theirs.
TEST(ConfigValues, MainClassWrittenWithSlashesReadsDotted) {
    test::TempDir dir;
    auto config = test::loadPackedConfig(dir.path(), "mainclass some_pkg/sub/Main\r\n", "");
    EXPECT_EQ(config::mainClass(*config), "some_pkg.sub.Main");
}

TEST(ConfigValues, VmPreferenceIsRememberedWithADashForEmpty) {
    test::TempDir dir;
    auto empty = test::loadPackedConfig(dir.path(), "mainclass a.B\r\n", "");
    EXPECT_EQ(config::vmPreference(*empty), "-");
    EXPECT_EQ(empty->vmCache(), "-");

    test::TempDir dir2;
    auto set = test::loadPackedConfig(dir2.path(), "vm %HUX_T_VM%\r\n", "");
    {
        ScopedEnv v("HUX_T_VM", "server");
        EXPECT_EQ(config::vmPreference(*set), "server");
    }
    EXPECT_EQ(config::vmPreference(*set), "server");  // remembered, not read again
}

namespace {

// A store holding one line `key value` (no line at all for a null value).
struct OneLine {
    LaunchConfig config{false};
    OneLine(const char* key, const char* value) {
        if (!value) return;
        const std::string text = std::string("\xEF\xBB\xBF") + key + " " + value + "\r\n";
        config.appendSource(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    }
};

}  // namespace

TEST(KeywordValues, EachKeywordAndMisspellingMapsToItsMeaning) {
    const struct {
        const char* value;
        SingleInstanceMode mode;
    } instances[] = {
        {"true", SingleInstanceMode::Mutex},      {"TRUE", SingleInstanceMode::Mutex},
        {"custom", SingleInstanceMode::Custom},   {"Custom", SingleInstanceMode::Custom},
        {"forward", SingleInstanceMode::Forward}, {"FORWARD", SingleInstanceMode::Forward},
        {"yes", SingleInstanceMode::Off},         {"truex", SingleInstanceMode::Off},
        {"true ", SingleInstanceMode::Off},       {"", SingleInstanceMode::Off},
        {nullptr, SingleInstanceMode::Off},
    };
    for (const auto& c : instances) {
        OneLine line("singleinstance", c.value);
        EXPECT_EQ(config::singleInstance(line.config), c.mode) << (c.value ? c.value : "(absent)");
    }

    const struct {
        const char* value;
        WildcardMode mode;
    } wildcards[] = {
        {"true", WildcardMode::Unquoted}, {"Auto", WildcardMode::Unquoted}, {"AUTO", WildcardMode::Unquoted},
        {"all", WildcardMode::All},       {"ALL", WildcardMode::All},       {"false", WildcardMode::None},
        {"al", WildcardMode::None},       {"1", WildcardMode::None},        {nullptr, WildcardMode::None},
    };
    for (const auto& c : wildcards) {
        OneLine line("wildcard", c.value);
        EXPECT_EQ(config::wildcard(line.config), c.mode) << (c.value ? c.value : "(absent)");
    }
}

TEST(KeywordValues, FlagsKeepTheirOwnSpellingRules) {
    using Accessor = bool (*)(const LaunchConfig&);
    const struct {
        const char* key;
        Accessor read;
        const char* value;
        bool expected;
    } cases[] = {
        // Only "FALSE", in any case, keeps the loader from being the system one.
        {"assystemclassloader", config::asSystemClassLoader, nullptr, true},
        {"assystemclassloader", config::asSystemClassLoader, "FALSE", false},
        {"assystemclassloader", config::asSystemClassLoader, "false", false},
        {"assystemclassloader", config::asSystemClassLoader, "no", true},
        {"assystemclassloader", config::asSystemClassLoader, "0", true},
        {"cds", config::classDataSharing, "auto", true},
        {"cds", config::classDataSharing, "AUTO", true},
        {"cds", config::classDataSharing, "on", false},
        {"cds", config::classDataSharing, nullptr, false},
        // `compatible` is the one flag compared case-sensitively.
        {"compatible", config::compatible, "true", true},
        {"compatible", config::compatible, "TRUE", false},
        {"compatible", config::compatible, "yes", false},
        {"compatible", config::compatible, nullptr, false},
        {"disableexternal", config::disableExternal, "true", true},
        {"disableexternal", config::disableExternal, "True", true},
        {"disableexternal", config::disableExternal, "1", false},
        {"disableexternal", config::disableExternal, nullptr, false},
    };
    for (const auto& c : cases) {
        OneLine line(c.key, c.value);
        EXPECT_EQ(c.read(line.config), c.expected) << c.key << " " << (c.value ? c.value : "(absent)");
    }
}
