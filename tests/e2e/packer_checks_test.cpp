// What the packer writes beyond the plain layout: zip64 records where the
// archive needs them (checked with independent readers: unzip and the JDK),
// the configuration checks and defaults, and flattened jars.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "archive/zip_reader.h"
#include "support/harness.h"
#include "tool/config_checks.h"
#include "tool/jars/flatten.h"
#include "tool/payload/zip_writer.h"

using namespace hux::e2e;
using hux::tool::ZipWriter;

namespace {

const Target kLinux{"linux-x64"};

std::vector<uint8_t> bytesOf(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

void writeZip(const std::string& path, ZipWriter& zip) {
    std::string error;
    ASSERT_TRUE(zip.finish(error)) << error;
    std::ofstream o(path, std::ios::binary);
    o.write(reinterpret_cast<const char*>(zip.bytes().data()), static_cast<std::streamsize>(zip.bytes().size()));
}

size_t lineCount(const std::string& text) { return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')); }

// The entries of the archive inside a packed executable, read by the
// launcher's own reader.
std::map<std::string, std::string> archiveEntries(const std::string& exe,
                                                  std::map<std::string, uint32_t>* times = nullptr,
                                                  std::map<std::string, int64_t>* unixTimes = nullptr) {
    std::map<std::string, std::string> out;
    auto source = std::make_unique<hux::FileSource>();
    if (!source->open(exe.c_str())) return out;
    hux::ZipReader reader;
    if (!reader.open(std::move(source))) return out;
    for (int32_t i = 0; i < reader.entryCount(); ++i) {
        const hux::ZipEntry& e = reader.entry(i);
        std::string data(e.size, '\0');
        if (e.size > 0 && !reader.readEntry(i, reinterpret_cast<uint8_t*>(&data[0]))) data = "<unreadable>";
        out[std::string(e.name, static_cast<size_t>(e.nameLength))] = data;
        if (times) (*times)[std::string(e.name, static_cast<size_t>(e.nameLength))] = e.dosTime;
        if (unixTimes) (*unixTimes)[std::string(e.name, static_cast<size_t>(e.nameLength))] = e.modifiedSeconds;
    }
    return out;
}

}  // namespace

TEST(Zip64, RecordsAppearWhereAFieldOverflowsAndIndependentReadersAgree) {
    TempDir dir;
    // Limits lowered so that every zip64 field is exercised without gigabytes.
    ZipWriter zip(ZipWriter::Limits{3, 100});
    std::string error;
    const std::string big(150, 'b');  // over the lowered 32-bit limit: sizes move to zip64
    ASSERT_TRUE(zip.add("a.txt", bytesOf("alpha"), ZipWriter::Method::Deflated, error));
    // Extended timestamps beside the zip64 fields, in both headers.
    ASSERT_TRUE(
        zip.add("big.bin", bytesOf(big), ZipWriter::Method::Stored, error, ZipWriter::kDefaultDosTime, 1673107975));
    ASSERT_TRUE(zip.add("late.txt", bytesOf("at an offset past the limit"), ZipWriter::Method::Deflated, error,
                        ZipWriter::kDefaultDosTime, 1673107975));
    ASSERT_TRUE(zip.add("d/last.txt", bytesOf("fourth entry, past the entry limit"), ZipWriter::Method::Stored, error));
    const std::string path = dir.file("small64.zip");
    writeZip(path, zip);

    RunResult tested = run({"unzip", "-t", path});
    EXPECT_EQ(tested.exitCode, 0) << tested.out << tested.err;
    EXPECT_TRUE(has(tested.out, "No errors detected")) << tested.out;
    EXPECT_EQ(run({"unzip", "-p", path, "big.bin"}).out, big);
    EXPECT_EQ(run({"unzip", "-p", path, "late.txt"}).out, "at an offset past the limit");
    RunResult described = run({"unzip", "-Z", "-v", path, "big.bin"}, {.env = {{"TZ", "UTC"}}});
    EXPECT_TRUE(has(described.out, "(UT extra field modtime): 2023 Jan 7 16:12:55 UTC")) << described.out;
    for (const std::string& jdk : installedJdks()) {
        SCOPED_TRACE(jdk);
        RunResult listed = run({jdk + "/bin/jar", "tf", path});
        EXPECT_EQ(listed.exitCode, 0) << listed.err;
        EXPECT_EQ(listed.out, "a.txt\nbig.bin\nlate.txt\nd/last.txt\n");
        RunResult extracted = run({jdk + "/bin/jar", "xf", path, "d/last.txt"}, {.cwd = dir.path()});
        EXPECT_EQ(extracted.exitCode, 0) << extracted.err;
        EXPECT_EQ(readFile(dir.file("d/last.txt")), "fourth entry, past the entry limit");
    }
}

TEST(Zip64, PlainArchivesStayPlainAndSeventyThousandEntriesGetZip64) {
    TempDir dir;
    ZipWriter plain;
    std::string error;
    ASSERT_TRUE(plain.add("x.txt", bytesOf("x"), ZipWriter::Method::Stored, error));
    writeZip(dir.file("plain.zip"), plain);
    const std::string plainBytes = readFile(dir.file("plain.zip"));
    EXPECT_EQ(plainBytes.find("PK\x06\x06"), std::string::npos);
    EXPECT_EQ(plainBytes.find("PK\x06\x07"), std::string::npos);

    ZipWriter many;
    for (int i = 0; i < 70000; ++i)
        ASSERT_TRUE(many.add("e/" + std::to_string(i), bytesOf(std::to_string(i)), ZipWriter::Method::Stored, error));
    const std::string path = dir.file("many.zip");
    writeZip(path, many);
    EXPECT_NE(readFile(path).find("PK\x06\x06"), std::string::npos);
    const std::string jdk = installedJdks().front();
    RunResult listed = run({jdk + "/bin/jar", "tf", path});
    ASSERT_EQ(listed.exitCode, 0) << listed.err;
    EXPECT_EQ(lineCount(listed.out), 70000u);
    EXPECT_TRUE(has(listed.out, "\ne/69999\n"));
    EXPECT_EQ(run({"unzip", "-p", path, "e/65536"}).out, "65536");
}

// A registry reference without a default stays as text on Linux, which has
// no registry: warned about when packing for Linux only.
TEST(ConfigChecks, RegistryReferencesWithoutADefaultWarnForLinux) {
    const struct {
        const char* line;
        bool windows;
        std::vector<std::string> references;
    } cases[] = {
        {"option -Dhome=%{HKLM\\Software\\X\\Home}%", false, {"%{HKLM\\Software\\X\\Home}%"}},
        {"classpath ${HKEY_CURRENT_USER\\Software\\Y\\Jars}/a.jar", false, {"${HKEY_CURRENT_USER\\Software\\Y\\Jars}"}},
        {"option -Da=%{HKCU\\A\\B}%:%{HKLM\\C\\D|none}%%{HKU\\E\\F}%", false, {"%{HKCU\\A\\B}%", "%{HKU\\E\\F}%"}},
        {"option -Dhome=%{HKLM\\Software\\X\\Home|/opt/x}%", false, {}},
        {"option -Dhome=%{JAVA_HOME}%:{HKLM\\literal}", false, {}},
        {"option -Dhome=%{HKLM\\Software\\X\\Home}%", true, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        hux::tool::ConfigPolicy policy;
        policy.windowsTarget = c.windows;
        std::vector<std::string> lines = {"mainclass a.B", c.line}, warnings;
        std::string error;
        ASSERT_TRUE(hux::tool::checkConfiguration(lines, policy, warnings, error)) << error;
        ASSERT_EQ(warnings.size(), c.references.size());
        for (size_t i = 0; i < warnings.size(); ++i) {
            EXPECT_EQ(warnings[i].rfind("the registry reference " + c.references[i] + " in '", 0), 0u) << warnings[i];
            EXPECT_TRUE(has(warnings[i], "has no default: on Linux")) << warnings[i];
        }
    }
}

TEST(ConfigChecks, RefusalsWarningsAndDefaults) {
    using hux::tool::checkConfiguration;
    hux::tool::ConfigPolicy policy;
    std::vector<std::string> warnings;
    std::string error;

    std::vector<std::string> noMain = {"option -Xmx64m"};
    EXPECT_FALSE(checkConfiguration(noMain, policy, warnings, error));
    EXPECT_TRUE(has(error, "--no-main")) << error;
    std::vector<std::string> blankMain = {"mainclass   "};
    EXPECT_FALSE(checkConfiguration(blankMain, policy, warnings, error));

    std::vector<std::string> lines = {"MainClass=app.Main",
                                      "mainclas app.Other",
                                      "# a note",
                                      "libs a;b",
                                      "java_libs=lib",
                                      "-Xmx1g",
                                      "assystemclassloader true",
                                      "cds auto"};
    warnings.clear();
    ASSERT_TRUE(checkConfiguration(lines, policy, warnings, error)) << error;
    ASSERT_EQ(warnings.size(), 4u);
    EXPECT_TRUE(has(warnings[0], "unknown configuration key 'mainclas'")) << warnings[0];
    EXPECT_TRUE(has(warnings[1], "'libs' takes one directory per line")) << warnings[1];
    EXPECT_TRUE(has(warnings[2], "'-Xmx1g' has no key")) << warnings[2];
    EXPECT_TRUE(has(warnings[3], "'cds auto' has no effect")) << warnings[3];
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "compatible true"), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "option -Xlog:cds=off"), 1);

    // Options only the java command understands: the machine would drop them.
    std::vector<std::string> launcherOnly = {"mainclass a.B",
                                             "option -cp lib/a.jar",
                                             "option -splash:s.png",
                                             "option --module=m/x",
                                             "option -XshowSettings:all",
                                             "option -Xmx1g",
                                             "option --add-opens a/b=C",
                                             "option -client",
                                             "option -cpx",
                                             "option -ea"};
    warnings.clear();
    ASSERT_TRUE(checkConfiguration(launcherOnly, policy, warnings, error)) << error;
    ASSERT_EQ(warnings.size(), 5u);
    EXPECT_EQ(warnings[0],
              "'-cp lib/a.jar' is an option of the java command that the virtual machine ignores; list "
              "the class path with 'classpath' or 'java_classpath' lines");
    EXPECT_TRUE(has(warnings[1], "'-splash:s.png'") && has(warnings[1], "'splash' line")) << warnings[1];
    EXPECT_TRUE(has(warnings[2], "'--module=m/x'")) << warnings[2];
    EXPECT_TRUE(has(warnings[3], "'-XshowSettings:all'")) << warnings[3];
    EXPECT_TRUE(has(warnings[4], "'-client'")) << warnings[4];

    // What the configuration says itself stays; a fresh loader needs no note silenced.
    std::vector<std::string> own = {"mainclass a.B", "Compatible = false", "assystemclassloader FALSE"};
    ASSERT_TRUE(checkConfiguration(own, policy, warnings, error));
    EXPECT_EQ(own, (std::vector<std::string>{"mainclass a.B", "Compatible = false", "assystemclassloader FALSE"}));

    // Flattened classes come from the JDK's own loader: it stays the system loader.
    hux::tool::ConfigPolicy flat;
    flat.flatten = true;
    std::vector<std::string> flatLines = {"mainclass a.B"};
    ASSERT_TRUE(checkConfiguration(flatLines, flat, warnings, error));
    EXPECT_EQ(flatLines, (std::vector<std::string>{"mainclass a.B", "compatible true", "assystemclassloader false"}));
    std::vector<std::string> flatSharing = {"mainclass a.B", "cds auto"};
    warnings.clear();
    ASSERT_TRUE(checkConfiguration(flatSharing, flat, warnings, error));
    EXPECT_TRUE(warnings.empty()) << warnings[0];
    std::vector<std::string> flatOwn = {"mainclass a.B", "assystemclassloader true"};
    ASSERT_TRUE(checkConfiguration(flatOwn, flat, warnings, error));
    EXPECT_EQ(std::count(flatOwn.begin(), flatOwn.end(), "assystemclassloader false"), 0);

    policy.requireMain = false;
    policy.classResources = false;
    policy.quietSharingNote = false;
    std::vector<std::string> bare = {"option -Xmx64m"};
    EXPECT_TRUE(checkConfiguration(bare, policy, warnings, error));
    EXPECT_EQ(bare.size(), 1u);
}

TEST(ConfigChecks, ConfigurationBesideTheOutputIsReportedOnlyWhereItWouldBeReadAgain) {
    using hux::tool::externalConfigWarning;
    TempDir dir;
    const std::vector<std::string> lines = {"mainclass a.B"};
    EXPECT_FALSE(externalConfigWarning(dir.file("app.cfg"), dir.file("app"), lines, false).empty());
    EXPECT_FALSE(externalConfigWarning(dir.file("app.config"), dir.file("app"), lines, false).empty());
    EXPECT_FALSE(externalConfigWarning(dir.file("app.cfg"), dir.file("app.exe"), lines, true).empty());
    EXPECT_FALSE(externalConfigWarning(dir.file("app.exe.cfg"), dir.file("app.exe"), lines, true).empty());
    EXPECT_FALSE(externalConfigWarning(dir.file("APP.CFG"), dir.file("app.exe"), lines, true).empty());
    EXPECT_TRUE(externalConfigWarning(dir.file("APP.CFG"), dir.file("app"), lines, false).empty());
    EXPECT_TRUE(externalConfigWarning(dir.file("conf/app.cfg"), dir.file("app"), lines, false).empty());
    EXPECT_TRUE(externalConfigWarning(dir.file("other.cfg"), dir.file("app"), lines, false).empty());
    EXPECT_TRUE(
        externalConfigWarning(dir.file("app.cfg"), dir.file("app"), {"mainclass a.B", "disableexternal TRUE"}, false)
            .empty());
    // Reached through another spelling of the same directory.
    std::filesystem::create_directories(dir.file("sub"));
    EXPECT_FALSE(externalConfigWarning(dir.file("sub/../app.cfg"), dir.file("app"), lines, false).empty());
}

TEST(PackerDefaults, ToolRefusesWarnsAndWritesTheDefaults) {
    TempDir dir;
    RunResult refused = pack(kLinux, dir.file("nomain"), {"option -Xmx64m"});
    EXPECT_NE(refused.exitCode, 0);
    EXPECT_FALSE(std::filesystem::exists(dir.file("nomain")));
    EXPECT_EQ(pack(kLinux, dir.file("nomain"), {"option -Xmx64m"}, {}, {"--no-main"}).exitCode, 0);

    // The README's own layout: the configuration beside the output.
    dir.write("app.cfg", "mainclass app.Main\nargv once\nlibz lib\n");
    RunResult r = run({toolPath(), "pack", "-t", "linux-x64", "-c", dir.file("app.cfg"), "-o", dir.file("app")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(has(r.err, "hux pack: warning: unknown configuration key 'libz'")) << r.err;
    EXPECT_TRUE(has(r.err, "would apply twice")) << r.err;
    RunResult shown = run({toolPath(), "inspect", dir.file("app")});
    EXPECT_TRUE(has(shown.out, "  compatible true\n")) << shown.out;
    EXPECT_TRUE(has(shown.out, "  option -Xlog:cds=off\n")) << shown.out;

    ASSERT_EQ(
        pack(kLinux, dir.file("plain"), {"mainclass a.B"}, {}, {"--no-compatible", "--keep-sharing-note"}).exitCode, 0);
    RunResult plain = run({toolPath(), "inspect", dir.file("plain")});
    EXPECT_FALSE(has(plain.out, "compatible")) << plain.out;
    EXPECT_FALSE(has(plain.out, "-Xlog:cds")) << plain.out;

    // A main class written with slashes is stored as the machine loads it.
    ASSERT_EQ(pack(kLinux, dir.file("slashed"), {"mainclass  app/sub/Main"}).exitCode, 0);
    EXPECT_TRUE(has(run({toolPath(), "inspect", dir.file("slashed")}).out, "  mainclass  app.sub.Main\n"));
}

// The option lines are tried on every JVM the packer finds (JAVA_HOME's and
// the one on PATH here): each option one of them refuses gets one line
// naming the JVMs; options it would write files for are left untried.
TEST(PackerDefaults, OptionsSomeJvmRefusesAreNamed) {
    std::vector<std::string> jdks = installedJdks();
    std::sort(jdks.begin(), jdks.end(),
              [](const std::string& a, const std::string& b) { return jdkMajorVersion(a) < jdkMajorVersion(b); });
    if (jdks.size() < 2 || jdkMajorVersion(jdks.front()) >= 18 || jdkMajorVersion(jdks.back()) < 18)
        GTEST_SKIP() << "needs a JDK before 18 and one after";
    TempDir dir;
    RunOptions env;
    env.env["JAVA_HOME"] = jdks.back();
    env.env["PATH"] = jdks.front() + "/bin:/usr/bin:/bin";
    env.cwd = dir.path();
    const std::vector<std::string> argv = {toolPath(),
                                           "pack",
                                           "-t",
                                           "linux-x64",
                                           "--no-main",
                                           "-o",
                                           dir.file("app"),
                                           "-l",
                                           "option -Xmx64m",
                                           "-l",
                                           "option -XX:+UseBiasedLocking",
                                           "-l",
                                           "option -Xfoo",
                                           "-l",
                                           "option @more.txt",
                                           "-l",
                                           "option -Xlog:gc:file=gc.log",
                                           "-l",
                                           "option -Dx=%HOME%",
                                           "-l",
                                           "option -XX:+UnlockExperimentalVMOptions",
                                           "-l",
                                           "option -XX:+UseEpsilonGC"};
    RunResult r = run(argv, env);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(has(r.err, "warning: '-XX:+UseBiasedLocking' is refused by the JVM in '" + jdks.back() +
                               "' (Unrecognized VM option 'UseBiasedLocking'); the launcher's JVM ignores"))
        << r.err;
    EXPECT_TRUE(has(r.err, "warning: '-Xfoo' is refused by the JVMs in '" + jdks.back() + "' and '")) << r.err;
    EXPECT_TRUE(has(r.err, "warning: '@more.txt': the JVM does not read argument files")) << r.err;
    EXPECT_EQ(lineCount(r.err), 3u) << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("gc.log")));
}

TEST(Flatten, JarEntriesGoToTheTopLevelFirstJarWinsServicesMergeSignaturesGo) {
    TempDir dir;
    std::string error;
    ZipWriter first;
    ASSERT_TRUE(first.add("META-INF/MANIFEST.MF", bytesOf("Manifest-Version: 1.0\r\nX-From: first\r\n"),
                          ZipWriter::Method::Deflated, error));
    ASSERT_TRUE(first.add("META-INF/SIGNER.SF", bytesOf("signature"), ZipWriter::Method::Deflated, error));
    ASSERT_TRUE(first.add("META-INF/SIGNER.RSA", bytesOf("block"), ZipWriter::Method::Stored, error));
    ASSERT_TRUE(first.add("META-INF/services/x.Api", bytesOf("a.FirstImpl"), ZipWriter::Method::Deflated, error));
    ASSERT_TRUE(first.add("META-INF/services/java.nio.file.spi.FileSystemProvider", bytesOf("a.Fs\n"),
                          ZipWriter::Method::Deflated, error));
    ASSERT_TRUE(
        first.add("META-INF/sisu/javax.inject.Named", bytesOf("a.Component\n"), ZipWriter::Method::Deflated, error));
    ASSERT_TRUE(first.add("META-INF/plexus/components.xml",
                          bytesOf("<component-set>\n  <components>\n    <component>A</component>\n  </components>\n"
                                  "</component-set>\n"),
                          ZipWriter::Method::Deflated, error));
    ASSERT_TRUE(first.add("p/", {}, ZipWriter::Method::Stored, error));
    constexpr uint32_t kApril2022 = ((42u << 9 | 4u << 5 | 5u) << 16) | (14u << 11 | 33u << 5 | 21u);
    ASSERT_TRUE(first.add("p/Shared.txt", bytesOf("from the first jar"), ZipWriter::Method::Deflated, error, kApril2022,
                          1649169081));
    ASSERT_TRUE(
        first.add("inner.jar", bytesOf("PK\x05\x06" + std::string(18, '\0')), ZipWriter::Method::Stored, error));
    ASSERT_TRUE(first.add("META-INF/LICENSE", bytesOf("the same licence"), ZipWriter::Method::Deflated, error));
    writeZip(dir.file("first.jar"), first);
    ZipWriter second;
    ASSERT_TRUE(second.add("META-INF/MANIFEST.MF", bytesOf("Manifest-Version: 1.0\r\nX-From: second\r\n"),
                           ZipWriter::Method::Deflated, error));
    ASSERT_TRUE(second.add("META-INF/services/x.Api", bytesOf("b.SecondImpl\n"), ZipWriter::Method::Stored, error));
    ASSERT_TRUE(
        second.add("META-INF/sisu/javax.inject.Named", bytesOf("b.Component"), ZipWriter::Method::Deflated, error));
    ASSERT_TRUE(second.add("META-INF/plexus/components.xml",
                           bytesOf("<?xml version=\"1.0\"?><component-set><components><component>B</component>"
                                   "</components></component-set>"),
                           ZipWriter::Method::Deflated, error));
    ASSERT_TRUE(second.add("p/", {}, ZipWriter::Method::Stored, error));
    ASSERT_TRUE(second.add("p/Shared.txt", bytesOf("from the second jar"), ZipWriter::Method::Deflated, error));
    ASSERT_TRUE(second.add("q/Only.txt", bytesOf("second only"), ZipWriter::Method::Deflated, error));
    // A copy of an entry the first jar has is not worth a warning.
    ASSERT_TRUE(second.add("META-INF/LICENSE", bytesOf("the same licence"), ZipWriter::Method::Stored, error));
    ASSERT_TRUE(second.add("../escape.txt", bytesOf("outside"), ZipWriter::Method::Deflated, error));
    writeZip(dir.file("second.jar"), second);
    // A .zip library is an archive on the class path as a .jar is.
    ZipWriter third;
    ASSERT_TRUE(third.add("r/FromZip.txt", bytesOf("from a zip"), ZipWriter::Method::Deflated, error));
    writeZip(dir.file("third.zip"), third);
    dir.write("notes.txt", "kept as a file");
    dir.write("top.Api", "c.TopImpl");

    const std::string exe = dir.file("flat");
    RunResult r = pack(kLinux, exe, {"mainclass a.B"},
                       {"lib/first.jar=" + dir.file("first.jar"), "lib/second.jar=" + dir.file("second.jar"),
                        "lib/third.ZIP=" + dir.file("third.zip"), "notes.txt=" + dir.file("notes.txt"),
                        "META-INF/services/x.Api=" + dir.file("top.Api")},
                       {"--flatten"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(has(r.err, "'lib/second.jar': 1 entry is hidden by an earlier one ('p/Shared.txt')")) << r.err;
    EXPECT_TRUE(has(r.err, "'../escape.txt' left out")) << r.err;
    EXPECT_TRUE(has(r.err,
                    "warning: 'lib/first.jar' is signed: flattened, its signature is dropped and its classes "
                    "run unverified"))
        << r.err;
    EXPECT_FALSE(has(r.err, "'lib/second.jar' is signed")) << r.err;
    std::map<std::string, uint32_t> times;
    std::map<std::string, int64_t> unixTimes;
    const auto entries = archiveEntries(exe, &times, &unixTimes);
    ASSERT_FALSE(entries.empty());
    // Extended timestamps stay too: a reader needs no time-zone rules for them.
    EXPECT_EQ(unixTimes.at("p/Shared.txt"), 1649169081);
    EXPECT_EQ(unixTimes.at("q/Only.txt"), hux::ZipEntry::kNoTime);
    EXPECT_EQ(entries.count("lib/first.jar"), 0u);
    EXPECT_EQ(entries.at("p/Shared.txt"), "from the first jar");
    EXPECT_EQ(times.at("p/Shared.txt"), kApril2022);  // runtimes compare class and source times
    EXPECT_NE(times.at("q/Only.txt"), kApril2022);
    EXPECT_EQ(entries.at("q/Only.txt"), "second only");
    EXPECT_EQ(entries.at("notes.txt"), "kept as a file");
    EXPECT_EQ(entries.count("lib/third.ZIP"), 0u);
    EXPECT_EQ(entries.at("r/FromZip.txt"), "from a zip");
    EXPECT_EQ(entries.count("inner.jar"), 1u);
    EXPECT_TRUE(has(entries.at("META-INF/MANIFEST.MF"), "X-From: first")) << entries.at("META-INF/MANIFEST.MF");
    // A service list stored at the top level, and the launcher's own, join the jars' lists.
    EXPECT_EQ(entries.at("META-INF/services/x.Api"), "a.FirstImpl\nb.SecondImpl\nc.TopImpl\n");
    EXPECT_EQ(entries.at("META-INF/services/java.nio.file.spi.FileSystemProvider"),
              "com.mordavin.hux.ArchiveFileSystemProvider\na.Fs\n");
    EXPECT_EQ(entries.at("META-INF/sisu/javax.inject.Named"), "a.Component\nb.Component\n");
    const std::string& components = entries.at("META-INF/plexus/components.xml");
    EXPECT_TRUE(has(components, "<components>\n    <component>A</component>\n  <component>B</component></components>"))
        << components;
    auto occurrences = [&](const std::string& what) {
        size_t n = 0;
        for (size_t at = components.find(what); at != std::string::npos; at = components.find(what, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(occurrences("<components>"), 1u);
    EXPECT_EQ(occurrences("</components>"), 1u);
    EXPECT_EQ(occurrences("<component-set>"), 1u);
    EXPECT_EQ(entries.count("META-INF/SIGNER.SF"), 0u);
    EXPECT_EQ(entries.count("META-INF/SIGNER.RSA"), 0u);
    EXPECT_EQ(entries.count("../escape.txt"), 0u);
    EXPECT_TRUE(hux::tool::isSignatureFile("META-INF/SIG-X"));
    EXPECT_FALSE(hux::tool::isSignatureFile("META-INF/services/x.SF"));
}

TEST(Flatten, FlattenedApplicationRunsWithItsClassesInTheExecutable) {
    TempDir dir;
    const std::string jars = appJarDir();
    for (const std::string& jdk : installedJdks()) {
        SCOPED_TRACE(jdk);
        const std::string exe = dir.file("flatapp");
        RunResult packed = pack(kLinux, exe, {"mainclass app.Main", "jre_order c", "jvmdll " + jvmLibraryOf(jdk)},
                                {"lib/app.jar=" + jars + "/app.jar", "lib/lib1.jar=" + jars + "/lib1.jar",
                                 "lib/lib2.jar=" + jars + "/lib2.jar"},
                                {"--flatten"});
        ASSERT_EQ(packed.exitCode, 0) << packed.err;
        RunResult r = runOn(kLinux, exe, {"class", "lib.One", "resource", "/lib/shared.txt"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(has(r.out, "class=lib.One")) << r.out;
        EXPECT_TRUE(has(r.out, "content=")) << r.out;
        EXPECT_FALSE(has(r.err, "haring")) << r.err;
    }
}
