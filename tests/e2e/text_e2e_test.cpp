// Text and paths on Linux end to end: every character of arguments,
// properties and options reaches Java whatever the locale, the same text
// packs to the same block from UTF-8 and UTF-16, deep and non-ASCII
// executable paths run, wildcards match characters, and a FIFO in the place
// of the external configuration does not stop the launch.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>

#include "support/harness.h"

using namespace hux::e2e;

namespace {

const Target kLinux{"linux-x64"};

struct Locale {
    const char* name;
    std::map<std::string, std::optional<std::string>> env;
};

// Every locale variable is set or removed, so the launch sees exactly one.
std::map<std::string, std::optional<std::string>> localeEnv(std::optional<std::string> all,
                                                            std::optional<std::string> lang) {
    std::map<std::string, std::optional<std::string>> env;
    for (const char* name :
         {"LC_CTYPE", "LC_MESSAGES", "LC_COLLATE", "LC_NUMERIC", "LC_TIME", "LC_MONETARY", "LANGUAGE"})
        env[name] = std::nullopt;
    env["LC_ALL"] = std::move(all);
    env["LANG"] = std::move(lang);
    return env;
}

const std::vector<Locale>& locales() {
    static const std::vector<Locale> all = {
        {"LC_ALL=C", localeEnv("C", std::nullopt)},
        {"LANG=xx_YY.UTF-8 (not installed)", localeEnv(std::nullopt, "xx_YY.UTF-8")},
        {"LC_ALL=C.UTF-8", localeEnv("C.UTF-8", std::nullopt)},
    };
    return all;
}

const std::map<std::string, std::optional<std::string>>& utf8Locale() { return locales()[2].env; }

// The lines the text application prints about what reached it.
std::vector<std::string> received(const std::string& out) {
    std::vector<std::string> lines;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("arg=", 0) == 0 || line.rfind("property ", 0) == 0 || line.rfind("loaded=", 0) == 0 ||
            line.rfind("resource ", 0) == 0)
            lines.push_back(line);
    return lines;
}

std::string textJar() { return appJarDir() + "/text.jar"; }

std::string packText(const std::string& exe, const std::string& jdk, std::vector<std::string> lines,
                     std::vector<std::string> files = {}) {
    lines.insert(lines.begin(), {"mainclass text.Main", "jre_order c", "jvmdll " + jvmLibraryOf(jdk)});
    files.insert(files.begin(), "lib/text.jar=" + textJar());
    RunResult r = pack(kLinux, exe, lines, files);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return exe;
}

// What `java` itself gives for the same arguments and -D options.
RunResult javaRun(const std::string& jdk, const std::vector<std::string>& options, const std::vector<std::string>& args,
                  const std::map<std::string, std::optional<std::string>>& env) {
    std::vector<std::string> cmd{jdk + "/bin/java", "-cp", textJar()};
    cmd.insert(cmd.end(), options.begin(), options.end());
    cmd.push_back("text.Main");
    cmd.insert(cmd.end(), args.begin(), args.end());
    return run(cmd, {.env = env});
}

const std::string kEmoji = "\xF0\x9F\x98\x80";  // U+1F600

class Text : public JdkTest {};

}  // namespace

TEST_F(Text, EveryCharacterReachesJavaInEveryLocale) {
    const std::vector<std::string> commandLine = {
        "r\xC3\xA9"
        "f-ab.txt",
        "\xC3\x9Cn\xC3\xAF"
        "c\xC3\xB6"
        "d\xC3\xA9",
        "\xFF\xFE"
        "ab",
        "\xE4\xB8\xAD\xE6\x96\x87",
        kEmoji,
        "plain"};
    const std::vector<std::string> fromArgvLines = {"caf\xC3\xA9", "x", "\xE4\xB8\xAD " + kEmoji};
    const std::vector<std::string> options = {"-Dopt=caf\xC3\xA9" + kEmoji, "-Dp.e=A" + kEmoji + "B tail",
                                              "-Dshow=p.e,opt"};
    std::vector<std::string> all = fromArgvLines;
    all.insert(all.end(), commandLine.begin(), commandLine.end());
    for (const std::string& jdk : jdks_) {
        SCOPED_TRACE(jdk);
        const std::string exe =
            packText(dir_.file("text"), jdk,
                     {"argv caf\xC3\xA9 x \"\xE4\xB8\xAD " + kEmoji + "\"", "property p.e=A" + kEmoji + "B tail",
                      "option " + options[0], "property resource=" + kEmoji + ".txt", "option -Dshow=p.e,opt"});
        // In a UTF-8 locale `java` decodes everything; its U+FFFD marks the
        // invalid bytes, and the launcher must give exactly that everywhere.
        const RunResult reference = javaRun(jdk, options, all, utf8Locale());
        ASSERT_EQ(reference.exitCode, 0) << reference.err;
        std::vector<std::string> expected = received(reference.out);
        ASSERT_EQ(expected.size(), all.size() + 2);
        EXPECT_EQ(expected[0], "arg=caf\\u00e9");
        EXPECT_EQ(expected[5], "arg=\\ufffd\\ufffdab");
        EXPECT_EQ(expected.back(), "property opt=caf\\u00e9\\ud83d\\ude00");
        // A resource named beyond the Basic Multilingual Plane is found (the
        // `java` of this check cannot read one out of a jar).
        expected.insert(expected.begin() + static_cast<std::ptrdiff_t>(all.size()),
                        "resource \\ud83d\\ude00.txt=smile \\ud83d\\ude00");
        for (const Locale& locale : locales()) {
            SCOPED_TRACE(locale.name);
            const RunResult r = runOn(kLinux, exe, commandLine, {.env = locale.env});
            EXPECT_EQ(r.exitCode, 0) << r.err;
            EXPECT_EQ(received(r.out), expected);
            // Where `java` in this locale has no replacement character, both agree.
            std::vector<std::string> local = received(javaRun(jdk, options, all, locale.env).out);
            ASSERT_EQ(local.size() + 1, expected.size());
            local.insert(local.begin() + static_cast<std::ptrdiff_t>(all.size()), expected[all.size()]);
            for (size_t i = 0; i < local.size(); ++i)
                if (!has(local[i], "\\ufffd")) {
                    EXPECT_EQ(local[i], expected[i]);
                }
        }
    }
}

TEST_F(Text, AMainClassNamedBeyondTheBasicPlaneStarts) {
    // The archive spells the class file's name in four-byte UTF-8; the name
    // the loader gets back must be that character again, not '?'s.
    const std::string name = "text.\xF0\x9D\x92\x9C";  // U+1D49C
    for (const std::string& jdk : jdks_) {
        SCOPED_TRACE(jdk);
        const std::string exe = dir_.file("supplementary");
        std::vector<std::string> lines{"mainclass " + name, "jre_order c", "jvmdll " + jvmLibraryOf(jdk)};
        // The jar's own name too: its classes are read by the tree name
        // "lib/😀.jar!text/…" that comes back.
        ASSERT_EQ(pack(kLinux, exe, lines, {"lib/" + kEmoji + ".jar=" + textJar()}).exitCode, 0);
        for (const Locale& locale : locales()) {
            SCOPED_TRACE(locale.name);
            const RunResult r = runOn(kLinux, exe, {kEmoji}, {.env = locale.env});
            EXPECT_EQ(r.exitCode, 0) << r.err;
            EXPECT_TRUE(has(r.out, "main class text.\\ud835\\udc9c\n")) << r.out;
            EXPECT_EQ(received(r.out), std::vector<std::string>{"arg=\\ud83d\\ude00"});
        }
    }
}

TEST_F(Text, ExternalConfigurationWithoutMarkKeepsEveryLine) {
    const std::string& jdk = jdks_.front();
    const std::string exe = packText(dir_.file("ext"), jdk, {"option -Dshow=p.ext,p.env"});
    // Environment values are the same UTF-8 text, read by the same rules.
    dir_.write("ext.cfg",
               "argv x1\r\nproperty p.ext=caf\xE9 \xF0\x9F\x98\x80\r\nargv x2 \xFF\xFE"
               "ab\r\nargv %HUX_TEXT_ENV%\r\nproperty p.env=%HUX_TEXT_ENV%\r\n");
    const std::string fromEnvironment = "\\ud83d\\ude00|\\ufffd|\\u00e9";
    for (const Locale& locale : locales()) {
        SCOPED_TRACE(locale.name);
        auto env = locale.env;
        env["HUX_TEXT_ENV"] = kEmoji + "|\xFF|\xC3\xA9";
        const RunResult r = runOn(kLinux, exe, {}, {.env = env});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(received(r.out),
                  (std::vector<std::string>{"arg=x1", "arg=x2", "arg=\\ufffd\\ufffdab", "arg=" + fromEnvironment,
                                            "property p.ext=caf\\ufffd \\ud83d\\ude00",
                                            "property p.env=" + fromEnvironment}));
    }
}

TEST_F(Text, Utf8AndUtf16ConfigurationsPackToTheSameBlock) {
    const std::string text = "mainclass text.Main\r\njre_order c\r\njvmdll " + jvmLibraryOf(jdks_.front()) +
                             "\r\nproperty p.e=A" + kEmoji +
                             "B tail\r\noption -Dshow=p.e,q\r\nproperty q=\xC3\xBC\xE4\xB8\xAD\r\n";
    std::u16string units;
    for (size_t i = 0; i < text.size();) {
        // A small decoder for the well-formed text above.
        const auto c = static_cast<unsigned char>(text[i]);
        const int n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        char32_t cp = n == 1 ? c : c & (0xFF >> (n + 1));
        for (int k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        i += static_cast<size_t>(n);
        if (cp >= 0x10000) {
            units.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            units.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            units.push_back(static_cast<char16_t>(cp));
        }
    }
    std::string le = "\xFF\xFE", be = "\xFE\xFF";
    for (char16_t u : units) {
        le += static_cast<char>(u & 0xFF);
        le += static_cast<char>(u >> 8);
        be += static_cast<char>(u >> 8);
        be += static_cast<char>(u & 0xFF);
    }
    const std::vector<std::pair<std::string, std::string>> inputs = {
        {"utf8", text}, {"utf8bom", "\xEF\xBB\xBF" + text}, {"utf16le", le}, {"utf16be", be}};
    std::vector<std::string> listings;
    for (const auto& [name, bytes] : inputs) {
        SCOPED_TRACE(name);
        const std::string exe = dir_.file("exe-" + name);
        const RunResult packed =
            pack(kLinux, exe, {}, {"lib/text.jar=" + textJar()}, {"-c", dir_.write(name + ".cfg", bytes)});
        ASSERT_EQ(packed.exitCode, 0) << packed.err;
        const RunResult shown = run({toolPath(), "inspect", exe});
        ASSERT_EQ(shown.exitCode, 0) << shown.err;
        listings.push_back(shown.out.substr(shown.out.find('\n')));  // without the file's name
        if (listings.size() > 1) {
            EXPECT_EQ(readFile(exe), readFile(dir_.file("exe-utf8")));
        }
        const RunResult r = runOn(kLinux, exe, {}, {.env = locales()[0].env});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(received(r.out),
                  (std::vector<std::string>{"property p.e=A\\ud83d\\ude00B tail", "property q=\\u00fc\\u4e2d"}));
    }
    for (const std::string& listing : listings) EXPECT_EQ(listing, listings.front());
    // The listing shows the character as it was written, not its two halves.
    EXPECT_TRUE(has(listings.front(), "\n  property p.e=A" + kEmoji + "B tail\n")) << listings.front();
}

TEST_F(Text, DeepExecutablePathsRunWithTheirConfiguration) {
    // Every path below is as deep as the executable: the private runtime
    // ("jre", a link to the JDK there), the class path entry and the forced
    // working directory, each resolved against the executable's directory.
    for (const size_t depth : {size_t{300}, size_t{3000}}) {
        SCOPED_TRACE(depth);
        std::string where = dir_.text() + "/deep" + std::to_string(depth);
        while (where.size() < depth) where += "/" + std::string(120, 'd');
        std::filesystem::create_directories(where + "/lib");
        std::filesystem::create_directory_symlink(jdks_.front(), where + "/jdk");
        std::filesystem::copy_file(appJarDir() + "/lib2.jar", where + "/lib/lib2.jar");
        const std::string exe = where + "/app";
        ASSERT_EQ(pack(kLinux, exe,
                       {"mainclass text.Main", "jre_order b", "jre jdk", "argv embedded", "classpath lib/lib2.jar",
                        "forcecwd .", "option -Dload=lib2.Two", "option -Dshow=user.dir"},
                       {"lib/text.jar=" + textJar()})
                      .exitCode,
                  0);
        ASSERT_GE(exe.size(), depth);
        { std::ofstream(where + "/app.cfg") << "argv external\n"; }
        const RunResult r = runOn(kLinux, exe, {"typed"}, {.cwd = dir_.path(), .env = {{"HUX_DEBUG", std::nullopt}}});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(received(r.out), (std::vector<std::string>{"arg=external", "arg=embedded", "arg=typed",
                                                             "loaded=lib2.Two", "property user.dir=" + where}));
    }
}

TEST_F(Text, AnExecutableBeyondWhatTheSystemCanSpellStillRunsItsConfiguration) {
    // More than PATH_MAX bytes deep, so only relative steps reach it: this
    // process walks down (and back up) one level at a time, and the launch
    // goes through a descriptor of the file (the virtual machine itself needs
    // a working directory it can name).
    const std::string exe = packText(dir_.file("far"), jdks_.front(), {"argv embedded"});
    const std::string level(200, 'e');
    const int home = open(".", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(home, 0);
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    int depth = 0;
    for (size_t length = dir_.text().size(); length < 5000; length += level.size() + 1, ++depth) {
        ASSERT_EQ(mkdir(level.c_str(), 0700), 0);
        ASSERT_EQ(chdir(level.c_str()), 0);
    }
    std::filesystem::copy_file(exe, "app");
    const int fd = open("app", O_RDONLY);
    const RunResult r = run({"/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(fd), "typed"},
                            {.cwd = dir_.path(), .env = {{"HUX_DEBUG", std::nullopt}}});
    close(fd);
    std::filesystem::remove("app");
    for (; depth > 0; --depth) {
        EXPECT_EQ(chdir(".."), 0);
        EXPECT_EQ(rmdir(level.c_str()), 0);
    }
    EXPECT_EQ(fchdir(home), 0);
    close(home);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(received(r.out), (std::vector<std::string>{"arg=embedded", "arg=typed"}));
    // The external configuration cannot be looked for, and the user is told.
    EXPECT_EQ(r.err,
              "hux: the executable's path is too long to name; files beside it (an external configuration, paths "
              "relative to its directory) are not read\n");
}

TEST_F(Text, NonAsciiDirectoryRunsInTheCLocale) {
    // The "/tmp/ü dir/", and one holding a character beyond the Basic
    // Multilingual Plane, which `java -cp` cannot take in any locale (its
    // class path reader fails to decode the file URL it makes of it).
    struct Directory {
        std::string name, escaped;
        bool javaOpensInUtf8;
    };
    for (const Directory& d : {Directory{"\xC3\xBC dir", "\\u00fc dir", true},
                               Directory{"\xC3\xBC \xF0\x9F\x98\x80 dir", "\\u00fc \\ud83d\\ude00 dir", false}}) {
        SCOPED_TRACE(d.escaped);
        const std::string where = dir_.text() + "/" + d.name;
        const std::string escaped = dir_.text() + "/" + d.escaped + "/";
        std::filesystem::create_directories(where + "/lib");
        std::filesystem::copy_file(appJarDir() + "/lib2.jar", where + "/lib/lib2.jar",
                                   std::filesystem::copy_options::overwrite_existing);
        for (const std::string& jdk : jdks_) {
            SCOPED_TRACE(jdk);
            const std::string exe = packText(where + "/app", jdk,
                                             {"option -Dshow=hux.app.path,application.home,p", "option -Dload=lib2.Two",
                                              "classpath lib/lib2.jar", "property p=\xC3\xBC"});
            for (const Locale& locale : locales()) {
                SCOPED_TRACE(locale.name);
                auto env = locale.env;
                env["HUX_DEBUG"] = "1";
                const RunResult r = runOn(kLinux, exe, {}, {.env = env});
                EXPECT_EQ(r.exitCode, 0) << r.err;
                EXPECT_EQ(received(r.out),
                          (std::vector<std::string>{"loaded=lib2.Two", "property hux.app.path=" + escaped + "app",
                                                    "property application.home=" + escaped, "property p=\\u00fc"}));
                // Only where the virtual machine cannot open the path by its
                // name is it handed over another way.
                const bool handedOver = !d.javaOpensInUtf8 || locale.env.at("LC_ALL") != "C.UTF-8";
                EXPECT_EQ(has(r.err, "executable is on the class path as /proc/self/fd/"), handedOver) << r.err;
                EXPECT_EQ(has(r.err, "lib2.jar is handed over as /proc/self/fd/"), handedOver);
            }
        }
    }
}

TEST(TextWildcards, MatchCharactersWithoutRegardToCase) {
    TempDir dir;
    const std::string cafe = "caf\xC3\xA9.txt";
    const std::string sisyphus = "\xCF\x83\xCE\xAF\xCF\x83\xCF\x85\xCF\x86\xCE\xBF\xCF\x82.txt";  // σίσυφος.txt
    const std::string peace = "\xD0\xBC\xD0\xB8\xD1\x80.txt";                                     // мир.txt
    for (const std::string& f : {cafe, sisyphus, peace, std::string("cafe-x.txt")}) dir.write("work/" + f, "x");
    // The Linux matcher must give what the Windows listing gives (under Wine).
    for (const Target& t : targets()) {
        SCOPED_TRACE(t.name);
        const std::string exe = dir.file(t.exeName("wild"));
        ASSERT_EQ(pack(t, exe, {"mainclass a.B", "jre_order c", "wildcard all"}).exitCode, 0);
        auto expand = [&](const std::string& pattern) {
            const RunResult r = runOn(t, exe, {pattern}, {.cwd = dir.file("work"), .env = {{"HUX_DEBUG", "1"}}});
            std::vector<std::string> out;
            std::istringstream in(r.err);
            std::string line;
            while (std::getline(in, line))
                if (line.rfind("hux: argument: ", 0) == 0) out.push_back(line.substr(15));
            return out;
        };
        EXPECT_EQ(expand("caf?.txt"), std::vector<std::string>{cafe});
        EXPECT_EQ(expand("CAF\xC3\x89*"), std::vector<std::string>{cafe});
        EXPECT_EQ(expand("\xCE\xA3\xCE\x8A\xCE\xA3\xCE\xA5\xCE\xA6\xCE\x9F*"), std::vector<std::string>{sisyphus});
        // The final sigma: the Windows upper-case table maps it to capital
        // sigma, as case folding does; Wine's name matching does not.
        if (!t.windows()) {
            EXPECT_EQ(expand("\xCE\xA3\xCE\x8A\xCE\xA3\xCE\xA5\xCE\xA6\xCE\x9F\xCE\xA3*"),
                      std::vector<std::string>{sisyphus});
        }
        EXPECT_EQ(expand("\xD0\x9C\xD0\x98\xD0\xA0.TX?"), std::vector<std::string>{peace});
    }
}

TEST(TextFifo, AFifoInPlaceOfTheConfigurationIsSkipped) {
    TempDir dir;
    const std::string exe = dir.file("fifo");
    ASSERT_EQ(pack(kLinux, exe, {"mainclass a.B", "jre_order c"}).exitCode, 0);
    ASSERT_EQ(mkfifo((exe + ".cfg").c_str(), 0600), 0);
    // The next candidate is read instead.
    dir.write("fifo.config", "message 1=no runtime here\n");
    const auto start = std::chrono::steady_clock::now();
    const RunResult r = runOn(kLinux, exe, {}, {.timeoutMs = 10000});
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, std::string("no runtime here\n") + kNoRuntimeAdvice);
    EXPECT_LT(elapsed, std::chrono::seconds(1));
}
