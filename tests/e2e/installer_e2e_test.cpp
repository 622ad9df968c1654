// Installers made by `hux installer`, installed into the machine the test
// runs on under a package name of the test's own, and always removed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <sstream>

#include "support/harness.h"
#include "support/icon_samples.h"

using namespace hux::e2e;
namespace fs = std::filesystem;

namespace {

const Target kLinux{"linux-x64"};
constexpr const char* kPackage = "huxinstallertest";

bool onPath(const std::string& program) { return run({"sh", "-c", "command -v " + program}).exitCode == 0; }

// Removes the test's package whatever the test did.
struct PackageGuard {
    PackageGuard() { remove(); }
    ~PackageGuard() { remove(); }
    static RunResult remove() { return run({"dpkg", "--purge", kPackage}); }
};

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < text.size()) {
        size_t j = text.find('\n', i);
        if (j == std::string::npos) j = text.size();
        if (j > i) out.push_back(text.substr(i, j - i));
        i = j + 1;
    }
    return out;
}

class DebInstaller : public JdkTest {
protected:
    void SetUp() override {
        JdkTest::SetUp();
        if (geteuid() != 0) GTEST_SKIP() << "installing a package needs root";
        for (const char* tool : {"dpkg-deb", "dpkg", "lintian", "desktop-file-validate"})
            if (!onPath(tool)) GTEST_SKIP() << tool << " is not installed (scripts/install-deps test)";
        exe_ = dir_.file(kPackage);
        RunResult packed = pack(kLinux, exe_, {"mainclass app.Main"}, {appJarDir() + "/app.jar"});
        ASSERT_EQ(packed.exitCode, 0) << packed.err;
    }
    // Writes the package of `version` with a `size` pixel icon.
    std::string installer(const std::string& version, unsigned size) {
        const std::string icon = dir_.write("icon" + std::to_string(size) + ".png", hux::test::pngImage(size, size));
        const std::string deb = dir_.file(std::string(kPackage) + "_" + version + "_amd64.deb");
        RunResult made =
            run({toolPath(), "installer", exe_, "-o", deb, "--version", version, "--product-name", "Hux Installer Test",
                 "--company", "Mordavin", "--maintainer", "Mordavin Team <team@mordavin.org>", "--icon", icon,
                 "--associate", ".huxit=Hux test document", "--associate", ".huxit2"});
        EXPECT_EQ(made.exitCode, 0) << made.err;
        EXPECT_EQ(made.err, "");
        return deb;
    }
    std::string exe_;
};

}  // namespace

TEST_F(DebInstaller, InstallsRunsUpgradesAndLeavesNothingBehind) {
    PackageGuard guard;
    const std::string older = installer("1.0.0", 32);
    const std::string newer = installer("1.2.3", 48);

    RunResult lint = run({"lintian", "--no-tag-display-limit", newer});
    EXPECT_EQ(lint.exitCode, 0) << lint.out << lint.err;
    EXPECT_FALSE(has(lint.out, "E: ")) << lint.out;
    EXPECT_FALSE(has(lint.out, "W: ")) << lint.out;

    std::vector<std::pair<std::string, bool>> existedBefore;
    for (const std::string& deb : {older, newer})
        for (const std::string& line : lines(run({"dpkg-deb", "-c", deb}).out)) {
            std::string path = line.substr(line.find("./") + 1);
            path = path.substr(0, path.find(" -> "));
            std::error_code ec;
            existedBefore.emplace_back(path, fs::exists(fs::symlink_status(path, ec)));
        }
    ASSERT_GT(existedBefore.size(), 20u);

    RunResult installed = run({"dpkg", "-i", older});
    ASSERT_EQ(installed.exitCode, 0) << installed.out << installed.err;
    EXPECT_TRUE(fs::exists("/usr/share/icons/hicolor/32x32/apps/huxinstallertest.png"));

    installed = run({"dpkg", "-i", newer});
    ASSERT_EQ(installed.exitCode, 0) << installed.out << installed.err;
    EXPECT_EQ(run({"dpkg-query", "-W", "-f=${Version} ${Architecture} ${Maintainer}", kPackage}).out,
              "1.2.3 amd64 Mordavin Team <team@mordavin.org>");
    // The upgrade took away what only the older version had.
    EXPECT_FALSE(fs::exists("/usr/share/icons/hicolor/32x32/apps/huxinstallertest.png"));
    EXPECT_TRUE(fs::exists("/usr/share/icons/hicolor/48x48/apps/huxinstallertest.png"));
    EXPECT_EQ(fs::read_symlink("/usr/bin/huxinstallertest"), "/opt/huxinstallertest/huxinstallertest");
    EXPECT_EQ(fs::status("/opt/huxinstallertest/huxinstallertest").permissions(), fs::perms(0755));

    const std::string desktop = "/usr/share/applications/huxinstallertest.desktop";
    RunResult valid = run({"desktop-file-validate", desktop});
    EXPECT_EQ(valid.exitCode, 0) << valid.out << valid.err;
    EXPECT_EQ(valid.out, "");
    const std::string entry = readFile(desktop);
    for (const char* line : {"Name=Hux Installer Test\n", "Exec=huxinstallertest %F\n", "Icon=huxinstallertest\n",
                             "MimeType=application/x-huxinstallertest-huxit;application/x-huxinstallertest-huxit2;\n"})
        EXPECT_TRUE(has(entry, line)) << line << " in\n" << entry;
    const std::string mime = readFile("/usr/share/mime/packages/huxinstallertest.xml");
    EXPECT_TRUE(has(mime, "<comment>Hux test document</comment>\n    <glob pattern=\"*.huxit\"/>")) << mime;
    EXPECT_TRUE(has(mime, "<comment>huxit2 document</comment>")) << mime;

    for (const std::string& jdk : jdks_) {
        const std::vector<std::string> args = {"args", "a b", "\xC3\xA9"};
        std::vector<std::string> java = {jdk + "/bin/java", "-cp", appJarDir() + "/app.jar", "app.Main"};
        java.insert(java.end(), args.begin(), args.end());
        std::vector<std::string> command = {"huxinstallertest"};
        command.insert(command.end(), args.begin(), args.end());
        RunResult expected = run(java);
        RunResult got = run(command, {.cwd = dir_.path(), .env = {{"JAVA_HOME", jdk}}});
        EXPECT_EQ(got.exitCode, expected.exitCode) << jdk << got.err;
        EXPECT_EQ(got.out, expected.out) << jdk;
        EXPECT_EQ(errorLines(got.err), "") << jdk;
    }

    RunResult removed = run({"dpkg", "-r", kPackage});
    ASSERT_EQ(removed.exitCode, 0) << removed.out << removed.err;
    // What either version brought is gone; what was there before stays.
    for (const auto& [path, before] : existedBefore) {
        std::error_code ec;
        EXPECT_EQ(fs::exists(fs::symlink_status(path, ec)), before) << path;
    }
    EXPECT_FALSE(fs::exists("/opt/huxinstallertest"));
    EXPECT_NE(run({"dpkg-query", "-W", kPackage}).exitCode, 0);
}

namespace {

// The entry's Exec= line as the desktop runs it for `file`: its words, with
// the file for the field code.
std::vector<std::string> execFor(const std::string& entry, const std::string& file) {
    const size_t at = entry.find("\nExec=") + 6;
    std::istringstream words(entry.substr(at, entry.find('\n', at) - at));
    std::vector<std::string> argv;
    for (std::string w; words >> w;) argv.push_back(w == "%f" || w == "%F" || w == "%u" || w == "%U" ? file : w);
    return argv;
}

}  // namespace

// With `singleinstance forward`, a document opened while the installed
// application runs goes to the running instance: the first one started
// through the entry's Exec line, the second opened as the desktop opens it
// (gio: the file's MIME type, the entry that takes it, its Exec line).
TEST_F(DebInstaller, ASecondDocumentGoesToTheRunningInstance) {
    PackageGuard guard;
    std::random_device rd;
    const std::string appId = "hux\\e2e\\installer." + std::to_string(getpid()) + "." + std::to_string(rd() % 1000000);
    RunResult packed = pack(kLinux, exe_,
                            {"mainclass inst.Main", "jre_order c", "jvmdll " + jvmLibraryOf(jdks_.front()),
                             "appid " + appId, "singleinstance forward", "argv documents"},
                            {"lib/instances.jar=" + appJarDir() + "/instances.jar"});
    ASSERT_EQ(packed.exitCode, 0) << packed.err;
    RunResult installed = run({"dpkg", "-i", installer("1.2.3", 48)});
    ASSERT_EQ(installed.exitCode, 0) << installed.out << installed.err;
    const std::string entry = readFile("/usr/share/applications/huxinstallertest.desktop");
    const std::string first = dir_.write("first notes.huxit", "one");
    const std::string second = dir_.write("second notes.huxit", "two");
    RunOptions options;
    options.env["HUX_DEBUG"] = "1";
    options.cwd = dir_.path();

    Background running(execFor(entry, first), options);
    ASSERT_TRUE(running.waitForOutput(" opened|" + first + "\n", 60000)) << running.output() << running.finish().err;
    const std::string pid = std::to_string(running.pid());
    EXPECT_TRUE(has(running.output(), "ready " + pid + " opened")) << running.output();

    // Its output read through a pipe that the launched command holds too, so
    // that what gio starts has ended when the run returns.
    const bool gio = onPath("gio");
    RunResult opened = run(
        gio ? std::vector<std::string>{"sh", "-c", "gio open \"$1\" 2>&1 | cat", "sh", second} : execFor(entry, second),
        options);
    const std::string said = opened.out + opened.err;
    EXPECT_EQ(opened.exitCode, 0) << said;
    EXPECT_TRUE(has(said, "forwarded the launch to the running instance " + pid)) << said;
    // No second application ran: the launch started no machine of its own.
    EXPECT_FALSE(has(said, "ready ")) << said;
    EXPECT_TRUE(running.waitForOutput("args=|documents|" + second + "\n", 30000)) << running.output();
    const std::string out = running.finish().out;
    EXPECT_EQ(out.find("launch "), out.rfind("launch ")) << out;
}

namespace {

class InstallerFromJars : public JdkTest {};

}  // namespace

// One command from the jar: packed for the format's system first (with the
// icon and version for Windows), then put in the package, and the packed
// executable gone.
TEST_F(InstallerFromJars, PacksTheJarForTheFormatsSystemFirst) {
    if (!windowsStubAvailable()) GTEST_SKIP() << "the Windows stub was not built";
    for (const char* tool : {"dpkg-deb", "wixl", "msiextract"})
        if (!onPath(tool)) GTEST_SKIP() << tool << " is not installed (scripts/install-deps test)";
    TempDir dir;
    const std::string icon = dir.write("icon.png", hux::test::pngImage(32, 32));
    struct Case {
        std::string output, exe;
        std::vector<std::string> extra;
    } cases[] = {
        {"app_1.2.3_amd64.deb", "opt/app/app", {"--maintainer", "Mordavin <apps@mordavin.org>"}},
        {"app.msi", "Programs/app/app.exe", {"--product-name", "Jar App"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.output);
        std::vector<std::string> command = {toolPath(), "installer", appJarDir() + "/app.jar", "-o",
                                            dir.file(c.output)};
        command.insert(command.end(), {"--line", "mainclass app.Main", "--version", "1.2.3", "--icon", icon});
        command.insert(command.end(), c.extra.begin(), c.extra.end());
        RunResult made = run(command, {.cwd = dir.text()});
        ASSERT_EQ(made.exitCode, 0) << made.err;
        EXPECT_EQ(made.err, "");
        EXPECT_FALSE(fs::exists(dir.file(c.output + ".hux-pack")));
        const std::string root = dir.file(c.output + ".files");
        fs::create_directories(root);
        const bool deb = c.output.back() == 'b';
        RunResult opened = deb ? run({"dpkg-deb", "-x", dir.file(c.output), root})
                               : run({"msiextract", "-C", root, dir.file(c.output)});
        ASSERT_EQ(opened.exitCode, 0) << opened.err;
        const std::string exe = root + "/" + c.exe;
        RunResult shown = run({toolPath(), "inspect", exe});
        EXPECT_TRUE(has(shown.out, "  mainclass app.Main\n")) << shown.out << shown.err;
        if (deb) {
            RunResult got = run({exe, "args", "x"}, {.env = {{"JAVA_HOME", jdks_.front()}}});
            RunResult expected =
                run({jdks_.front() + "/bin/java", "-cp", appJarDir() + "/app.jar", "app.Main", "args", "x"});
            EXPECT_EQ(got.out, expected.out) << got.err;
        } else {
            // The Windows executable carries the version the installer shows.
            EXPECT_TRUE(has(readFile(exe), std::string("1\0.\0002\0.\0003\0", 10))) << "no version 1.2.3";
        }
    }
}

TEST_F(DebInstaller, RefusesInOneLine) {
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string line;
    } cases[] = {
        {{exe_, "--version", "1.0", "--sign-key", "k", "--sign-cert", "c"},
         2,
         "hux installer: --sign-key and --per-machine go with Windows installers (--format msi)\n"},
        {{exe_}, 2, "hux installer: name the version with --version (1.2.3)\n"},
        {{exe_, "--version", "1.0", "--maintainer", "Mordavin"},
         2,
         "hux installer: name the package's maintainer with --maintainer \"Name <address>\"\n"},
        {{exe_, "--version", "1.0", "--maintainer", "M <m@mordavin.org>", "--associate", ".a b"},
         2,
         "hux installer: --associate '.a b': give an extension of letters, digits, '-' or '_', as .ext or "
         ".ext=description\n"},
        {{exe_, "--version", "1.0", "--maintainer", "M <m@mordavin.org>", "--name", "Big"},
         2,
         "hux installer: the name 'Big' is not a package name: lower-case letters, digits, '.', '+' and '-', at "
         "least two, starting with a letter or digit (give one with --name)\n"},
        {{dir_.file("missing"), "--version", "1.0", "--maintainer", "M <m@mordavin.org>", "-o", dir_.file("x.deb")},
         1,
         "hux installer: cannot read the executable '" + dir_.file("missing") + "'\n"},
        {{exe_, "--version", "1.0", "--maintainer", "M <m@mordavin.org>", "--icon", exe_, "-o", dir_.file("x.deb")},
         1,
         "hux installer: " + exe_ + ": not an icon file (.ico) or a PNG image\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> command = {toolPath(), "installer"};
        command.insert(command.end(), c.args.begin(), c.args.end());
        RunResult r = run(command, {.cwd = dir_.path()});
        EXPECT_EQ(r.exitCode, c.code) << c.line;
        EXPECT_EQ(r.err, c.line);
        EXPECT_FALSE(fs::exists(dir_.file("x.deb"))) << c.line;
    }
}

namespace {

const Target kWindows{"windows-x64"};

class MsiInstaller : public ::testing::Test {
protected:
    void SetUp() override {
        if (!windowsStubAvailable()) GTEST_SKIP() << "the Windows stub was not built";
        for (const char* tool : {"wixl", "osslsigncode", "openssl"})
            if (!onPath(tool)) GTEST_SKIP() << tool << " is not installed (scripts/install-deps test)";
        RunResult made =
            run({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", dir_.file("key.pem"), "-out",
                 dir_.file("cert.pem"), "-days", "2", "-subj", "/CN=hux installer test"});
        ASSERT_EQ(made.exitCode, 0) << made.err;
        exe_ = dir_.file("HuxMsiTest.exe");
        const std::string icon = dir_.write("icon.png", hux::test::pngImage(32, 32));
        // The stand-in runtime records the command line the association gives.
        const std::string recorder = winePath(windowsBuildDir() + "/test-runtimes/hux_test_recorder.dll");
        RunResult packed = pack(kWindows, exe_, {"mainclass app.Main", "jre_order c", "jvmdll " + recorder},
                                {appJarDir() + "/app.jar"}, {"--icon", icon});
        ASSERT_EQ(packed.exitCode, 0) << packed.err;
        dir_.write("jre/release", "JAVA_VERSION=\"17\"\n");
        dir_.write("jre/bin/server/jvm.dll", "not a runtime");
    }
    std::string installer(const std::string& version, const std::vector<std::string>& extra = {}) {
        const std::string msi = dir_.file("huxmsitest-" + version + ".msi");
        std::vector<std::string> command = {toolPath(),
                                            "installer",
                                            exe_,
                                            "-o",
                                            msi,
                                            "--version",
                                            version,
                                            "--product-name",
                                            "Hux Msi Test",
                                            "--company",
                                            "Mordavin",
                                            "--associate",
                                            ".huxmt=Hux test document",
                                            "--sign-key",
                                            dir_.file("key.pem"),
                                            "--sign-cert",
                                            dir_.file("cert.pem")};
        command.insert(command.end(), extra.begin(), extra.end());
        RunResult made = run(command);
        EXPECT_EQ(made.exitCode, 0) << made.err;
        EXPECT_EQ(made.err, "");
        return msi;
    }

public:
    static RunResult wine(const std::vector<std::string>& args, const RunOptions& given = {}) {
        std::vector<std::string> command = {sourceDir() + "/scripts/wine-run"};
        command.insert(command.end(), args.begin(), args.end());
        RunOptions options = given;
        options.timeoutMs = 120000;
        return run(command, options);
    }

protected:
    std::string prefix() const { return winePrefix(); }
    TempDir dir_;
    std::string exe_;
};

}  // namespace

TEST_F(MsiInstaller, InstallsPerUserAssociatesUpgradesAndUninstallsCleanly) {
    const std::string older = installer("1.0.0");
    const std::string newer = installer("1.2.3");
    auto verifies = [this](const std::string& file) {
        RunResult verified = run({"osslsigncode", "verify", "-CAfile", dir_.file("cert.pem"), "-in", file});
        return has(verified.out, "Signature verification: ok");
    };
    EXPECT_TRUE(verifies(newer));
    // The original stays unsigned: the installer signs its own copy.
    EXPECT_FALSE(verifies(exe_));

    const std::string home =
        prefix() + "/drive_c/users/" + std::string(std::getenv("USER") ? std::getenv("USER") : "root");
    const std::string installed = home + "/AppData/Local/Programs/huxmsitest";
    const std::string shortcut = home + "/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Hux Msi Test.lnk";
    const std::string uninstallKeys = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
    struct Cleanup {
        MsiInstaller* test;
        std::vector<std::string> msis;
        ~Cleanup() {
            for (const std::string& msi : msis) test->wine({"msiexec", "/x", winePath(msi), "/qn"});
        }
    } cleanup{this, {newer, older}};

    ASSERT_EQ(wine({"msiexec", "/i", winePath(older), "/qn"}).exitCode, 0);
    RunResult upgraded = wine({"msiexec", "/i", winePath(newer), "/qn"});
    ASSERT_EQ(upgraded.exitCode, 0) << upgraded.out << upgraded.err;

    EXPECT_TRUE(verifies(installed + "/HuxMsiTest.exe"));
    EXPECT_EQ(readFile(installed + "/jre/bin/server/jvm.dll"), "not a runtime");
    EXPECT_TRUE(fs::exists(shortcut));
    RunResult apps = wine({"reg", "query", uninstallKeys, "/s"});
    // The upgrade replaced 1.0.0: one entry.
    EXPECT_EQ(apps.out.find("Hux Msi Test"), apps.out.rfind("Hux Msi Test")) << apps.out;
    EXPECT_TRUE(has(apps.out, "Hux Msi Test")) << apps.out;
    EXPECT_TRUE(has(apps.out, "DisplayVersion    REG_SZ    1.2.3")) << apps.out;
    EXPECT_TRUE(has(apps.out, "Publisher    REG_SZ    Mordavin")) << apps.out;
    RunResult extension = wine({"reg", "query", "HKCR\\.huxmt", "/ve"});
    EXPECT_TRUE(has(extension.out, "REG_SZ    huxmsitest.huxmt")) << extension.out;
    RunResult command = wine({"reg", "query", "HKCR\\huxmsitest.huxmt\\shell\\open\\command", "/ve"});
    EXPECT_TRUE(has(command.out, "\\AppData\\Local\\Programs\\huxmsitest\\HuxMsiTest.exe\" \"%1\"")) << command.out;
    RunResult icon = wine({"reg", "query", "HKCR\\huxmsitest.huxmt\\DefaultIcon", "/ve"});
    EXPECT_TRUE(has(icon.out, "\\HuxMsiTest.exe,0")) << icon.out;

    // Opening a document runs the installed executable with its name.
    const std::string document = dir_.write("notes one.huxmt", "a document");
    RunOptions recording;
    recording.env["HUX_RUNTIME_LOG"] = winePath(dir_.file("runtime.log"));
    RunResult opened = wine({"start", "/wait", winePath(document)}, recording);
    const std::string recorded = readFile(dir_.file("runtime.log"));
    EXPECT_TRUE(
        has(recorded, "\\AppData\\Local\\Programs\\huxmsitest\\HuxMsiTest.exe\" \"" + winePath(document) + "\""))
        << recorded << opened.err;

    RunResult removed = wine({"msiexec", "/x", winePath(newer), "/qn"});
    ASSERT_EQ(removed.exitCode, 0) << removed.out << removed.err;
    EXPECT_FALSE(fs::exists(installed));
    EXPECT_FALSE(fs::exists(shortcut));
    EXPECT_FALSE(has(wine({"reg", "query", uninstallKeys, "/s"}).out, "Hux Msi Test"));
    EXPECT_NE(wine({"reg", "query", "HKCR\\.huxmt"}).exitCode, 0);
    EXPECT_NE(wine({"reg", "query", "HKCR\\huxmsitest.huxmt"}).exitCode, 0);
}

// With `singleinstance forward`, a document opened through the association
// (`start doc.ext`, as Explorer opens it) while the application runs goes to
// the running instance. Under Wine no Java runtime runs, so a Windows process
// on the application's id (the instance test helper) takes the running
// instance's part; a launch that ran on its own would find no runtime and fail.
TEST_F(MsiInstaller, ADocumentOpenedWhileTheApplicationRunsGoesToTheRunningInstance) {
    const std::string peer = windowsBuildDir() + "/bin/instance_peer.exe";
    if (access(peer.c_str(), R_OK) != 0) GTEST_SKIP() << "no Windows build";
    std::random_device rd;
    const std::string appId = "huxmsifwd" + std::to_string(getpid()) + "x" + std::to_string(rd() % 100000);
    RunResult packed = pack(kWindows, exe_, {"mainclass inst.Main", "appid " + appId, "singleinstance forward"},
                            {"lib/instances.jar=" + appJarDir() + "/instances.jar"});
    ASSERT_EQ(packed.exitCode, 0) << packed.err;
    const std::string msi = installer("3.0.0");
    struct Cleanup {
        std::string msi;
        ~Cleanup() { MsiInstaller::wine({"msiexec", "/x", winePath(msi), "/qn"}); }
    } cleanup{msi};
    RunResult installedRun = wine({"msiexec", "/i", winePath(msi), "/qn"});
    ASSERT_EQ(installedRun.exitCode, 0) << installedRun.err;

    Background running(kWindows.command(peer, {appId, "hubdump"}));
    ASSERT_TRUE(running.waitForOutput("ready", 60000)) << running.output();
    const std::string document = dir_.write("second notes.huxmt", "two");
    RunResult opened = wine({"start", "/wait", winePath(document)});
    EXPECT_EQ(opened.exitCode, 0) << opened.out << opened.err;
    ASSERT_TRUE(running.waitForOutput("data=", 30000)) << running.output();
    const std::string out = running.finish().out;
    // The forwarded launch's one argument is the document's name.
    std::string hex;
    for (const unsigned char c : winePath(document)) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02x", c);
        hex += digits;
    }
    EXPECT_TRUE(has(out, hex)) << out;
    EXPECT_EQ(out.find("data="), out.rfind("data=")) << out;
}

// On a host without the builders (Windows, where neither is on PATH here),
// each format is refused in one line that names what to install.
TEST(InstallerOnWindows, NamesWhatToInstall) {
    if (!windowsStubAvailable()) GTEST_SKIP() << "the Windows build is not there";
    TempDir dir;
    const std::string exe = dir.write("app.exe", "MZ not a real executable");
    struct Case {
        const char* output;
        std::vector<std::string> extra;
        const char* line;
    } cases[] = {
        {"app.msi",
         {},
         "hux installer: writing a .msi needs the WiX toolset on PATH (dotnet tool install --global wix), or wixl "
         "(msitools from MSYS2)\n"},
        {"app.deb",
         {"--maintainer", "M <m@mordavin.org>"},
         "hux installer: writing a .deb needs dpkg-deb (Debian: apt install dpkg; macOS: brew install dpkg; Windows: "
         "run hux in WSL)\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"installer", winePath(exe), "--version",
                                         "1.0",       "-o",          winePath(dir.file(c.output))};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        RunResult r = runOn(Target{"windows-x64"}, windowsBuildDir() + "/bin/hux.exe", args);
        EXPECT_EQ(r.exitCode, 1) << c.output;
        EXPECT_EQ(r.err, c.line);
        EXPECT_FALSE(fs::exists(dir.file(c.output)));
    }
}

TEST_F(MsiInstaller, InstallsPerMachineWithADesktopShortcutOnRequest) {
    const std::string msi = installer("2.0.0", {"--per-machine", "--desktop-shortcut"});
    const std::string installed = prefix() + "/drive_c/Program Files/huxmsitest";
    // Wine gives a per-machine install the user's Start menu and desktop.
    const std::string home =
        prefix() + "/drive_c/users/" + std::string(std::getenv("USER") ? std::getenv("USER") : "root");
    const std::string shortcut = home + "/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Hux Msi Test.lnk";
    const std::string desktop = home + "/Desktop/Hux Msi Test.lnk";
    struct Cleanup {
        std::string msi;
        ~Cleanup() { MsiInstaller::wine({"msiexec", "/x", winePath(msi), "/qn"}); }
    } cleanup{msi};
    RunResult installedRun = wine({"msiexec", "/i", winePath(msi), "/qn"});
    ASSERT_EQ(installedRun.exitCode, 0) << installedRun.err;
    EXPECT_TRUE(fs::exists(installed + "/HuxMsiTest.exe"));
    EXPECT_TRUE(fs::exists(installed + "/jre/release"));
    EXPECT_TRUE(fs::exists(shortcut));
    EXPECT_TRUE(fs::exists(desktop));
    ASSERT_EQ(wine({"msiexec", "/x", winePath(msi), "/qn"}).exitCode, 0);
    for (const std::string& path : {installed, shortcut, desktop}) EXPECT_FALSE(fs::exists(path)) << path;
}
