// Windows executables as users ship them: icon, version information,
// manifest and subsystem read back by the system (under Wine) and by
// independent tools; signing; the GUI subsystem's messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "support/harness.h"
#include "support/icon_samples.h"

using namespace hux::e2e;

namespace {

const Target kWindows{"windows-x64"};
const char* const kStartFailed = "Java Virtual Machine starts failed.\n";

std::string testRuntime(const std::string& name) {
    return winePath(windowsBuildDir() + "/test-runtimes/" + name + ".dll");
}

std::string utf16(const std::string& ascii) {
    std::string out;
    for (char c : ascii) {
        out += c;
        out += '\0';
    }
    return out;
}

class WindowsLook : public ::testing::Test {
protected:
    void SetUp() override {
        if (!windowsStubAvailable()) GTEST_SKIP() << "the Windows stub was not built";
    }
    RunResult look(const std::string& exe) {
        return runOn(kWindows, windowsBuildDir() + "/bin/pe_look.exe", {winePath(exe)});
    }
    TempDir dir_;
};

}  // namespace

TEST_F(WindowsLook, SystemAndIndependentToolsReadIconVersionAndSubsystem) {
    namespace t = hux::test;
    const std::string ico = dir_.write("app.ico", t::icoFile({{16, t::bitmapImage(16)},
                                                              {32, t::bitmapImage(32)},
                                                              {48, t::bitmapImage(48)},
                                                              {256, t::pngImage(256, 256)}}));
    const std::string info = dir_.write("version.txt",
                                        "product-name=Caf\xC3\xA9 Suite\n# shown by Explorer\n"
                                        "company=Mordavin\ncopyright=(c) from the file\nversion=3.1.4.15\n");
    const std::string exe = dir_.file("suite.exe");
    RunResult packed = pack(kWindows, exe, {"mainclass app.Main", "jre_order c"}, {},
                            {"--icon", ico, "--version-info", info, "--copyright", "(c) 2026 Mordavin", "--gui"});
    ASSERT_EQ(packed.exitCode, 0) << packed.err;

    RunResult seen = look(exe);
    ASSERT_EQ(seen.exitCode, 0) << seen.err;
    for (const char* line :
         {"subsystem 2\n", "exetype gui\n", "fileversion 3.1.4.15\n", "ProductName Caf\xC3\xA9 Suite\n",
          "FileDescription Caf\xC3\xA9 Suite\n", "CompanyName Mordavin\n", "LegalCopyright (c) 2026 Mordavin\n",
          "FileVersion 3.1.4.15\n", "OriginalFilename suite.exe\n", "icongroups 1\n", "icon16 bitmap 16x16\n",
          "icon32 bitmap 32x32\n", "icon48 bitmap 48x48\n"})
        EXPECT_TRUE(has(seen.out, line)) << line << " in\n" << seen.out;

    RunResult listed = run({"wrestool", "-l", exe});
    ASSERT_EQ(listed.exitCode, 0) << listed.err;
    EXPECT_EQ(std::count(listed.out.begin(), listed.out.end(), '\n'), 4 + 1 + 1 + 1 + 1)
        << listed.out;  // icons, strings, group, version, manifest
    EXPECT_TRUE(has(listed.out, "--type=14 --name=1 ")) << listed.out;
    RunResult version = run({"wrestool", "-x", "--raw", "--type=16", "--name=1", exe});
    EXPECT_TRUE(has(version.out, utf16("ProductVersion"))) << version.out.size();
    EXPECT_TRUE(has(version.out, utf16("3.1.4.15")));
    RunResult manifest = run({"wrestool", "-x", "--raw", "--type=24", "--name=1", exe});
    EXPECT_TRUE(has(manifest.out, "<activeCodePage")) << manifest.out;

    RunResult headers = run({"objdump", "-p", exe});
    EXPECT_TRUE(has(headers.out, "(Windows GUI)")) << headers.out.substr(0, 2000);
    // osslsigncode shows a second, calculated checksum only when they differ.
    // It leaves out the last byte of a file of odd length (the loader pads it
    // with a zero), so the comparison runs on an even-sized file.
    std::string evenExe = exe;
    if (std::filesystem::file_size(exe) % 2 != 0) {
        evenExe = dir_.file("even.exe");
        ASSERT_EQ(pack(kWindows, evenExe, {"mainclass app.Main", "jre_order c"}, {},
                       {"--icon", ico, "--version-info", info, "--gui", "--archive-comment", "x"})
                      .exitCode,
                  0);
        ASSERT_EQ(std::filesystem::file_size(evenExe) % 2, 0u);
    }
    RunResult checksum = run({"osslsigncode", "verify", "-in", evenExe});
    EXPECT_TRUE(has(checksum.out + checksum.err, "PE checksum")) << checksum.out << checksum.err;
    EXPECT_FALSE(has(checksum.out + checksum.err, "Calculated PE checksum")) << checksum.out;

    RunResult shown = run({toolPath(), "inspect", exe});
    ASSERT_EQ(shown.exitCode, 0) << shown.err;
    EXPECT_TRUE(has(shown.out, "subsystem: gui (2)\n")) << shown.out;
    EXPECT_TRUE(has(shown.out, "icon: 16x16x32 32x32x32 48x48x32 256x256x32\n")) << shown.out;
    EXPECT_TRUE(
        has(shown.out, "version: 3.1.4.15 (product 3.1.4.15, language 0409)\n  ProductName: Caf\xC3\xA9 Suite\n"))
        << shown.out;
    EXPECT_TRUE(has(shown.out, "asInvoker")) << shown.out;

    // A PNG wrapped as the icon.
    const std::string png = dir_.write("app.png", t::pngImage(64, 64));
    const std::string pngExe = dir_.file("png.exe");
    ASSERT_EQ(pack(kWindows, pngExe, {"mainclass app.Main"}, {}, {"--icon", png}).exitCode, 0);
    seen = look(pngExe);
    EXPECT_TRUE(has(seen.out, "icon48 png 64x64\n")) << seen.out;
    EXPECT_TRUE(has(seen.out, "exetype console\n")) << seen.out;
    EXPECT_TRUE(has(seen.out, "version none\n")) << seen.out;

    // Without --icon: the stub's own icon, drawn at each size the shell asks for.
    const std::string plainExe = dir_.file("plain.exe");
    ASSERT_EQ(pack(kWindows, plainExe, {"mainclass app.Main"}, {}, {"--product-name", "Plain"}).exitCode, 0);
    seen = look(plainExe);
    for (const char* line : {"icon16 bitmap 16x16\n", "icon32 bitmap 32x32\n", "icon48 bitmap 48x48\n"})
        EXPECT_TRUE(has(seen.out, line)) << line << " in\n" << seen.out;
    shown = run({toolPath(), "inspect", plainExe});
    EXPECT_TRUE(has(shown.out, "icon: 16x16x32 32x32x32 48x48x32 256x256x32\n")) << shown.out;
}

TEST_F(WindowsLook, MistakesInTheUsersFilesNameThoseFilesOnly) {
    const std::string out = dir_.file("app.exe");
    const std::string missing = dir_.file("missing.ico");
    const std::string manifest = dir_.write("utf16.manifest", std::string("\xFF\xFE<\0a\0", 6));
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--icon", missing}, "hux pack: cannot read the icon '" + missing + "'\n"},
        {{"--manifest", manifest}, "hux pack: " + manifest + ": the manifest is not UTF-8 text\n"},
        {{"--product-name", std::string(40000, 'n')},
         "hux pack: the version information takes 160504 bytes, more than the 65535 a version resource can hold\n"},
    };
    for (const auto& [extra, message] : cases) {
        RunResult r = pack(kWindows, out, {"mainclass a.B"}, {}, extra);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err, message);
        EXPECT_FALSE(std::filesystem::exists(out));
    }
}

TEST_F(WindowsLook, ManifestWithoutTheUtf8CodePageOrLongPathsIsPackedWithAWarning) {
    const std::string out = dir_.file("app.exe");
    auto manifest = [&](const char* name, const std::string& settings) {
        return dir_.write(name,
                          "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">"
                          "<application><windowsSettings>" +
                              settings + "</windowsSettings></application></assembly>");
    };
    const std::string utf8Element =
        "<activeCodePage xmlns=\"http://schemas.microsoft.com/SMI/2019/WindowsSettings\">"
        "UTF-8</activeCodePage>";
    const std::string longElement =
        "<longPathAware xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">"
        "true</longPathAware>";
    auto utf8Warning = [](const std::string& path) {
        return "hux pack: warning: '" + path +
               "' sets no <activeCodePage>UTF-8</activeCodePage>: on Windows, non-ASCII paths and arguments "
               "outside the system's code page will arrive as \"?\"\n";
    };
    auto longWarning = [](const std::string& path) {
        return "hux pack: warning: '" + path +
               "' sets no <longPathAware>true</longPathAware>: on Windows, the executable will not open files whose "
               "paths are 260 characters or longer\n";
    };
    const std::string plain =
        dir_.write("plain.manifest", "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\"/>");
    const std::string utf8 = manifest("utf8.manifest", utf8Element);
    const std::string deep = manifest("long.manifest", longElement);
    const std::string both = manifest("both.manifest", utf8Element + longElement);
    const struct {
        std::vector<std::string> extra;
        std::string warnings;
    } cases[] = {
        {{"--manifest", plain}, utf8Warning(plain) + longWarning(plain)},
        {{"--manifest", utf8}, longWarning(utf8)},
        {{"--manifest", deep}, utf8Warning(deep)},
        {{"--manifest", both}, ""},
        {{}, ""},  // the default manifest
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.warnings);
        std::filesystem::remove(out);
        RunResult r = pack(kWindows, out, {"mainclass a.B"}, {}, c.extra);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.err, c.warnings);
        EXPECT_TRUE(std::filesystem::exists(out));
    }
}

TEST_F(WindowsLook, GuiExecutableStartedFromAConsoleWritesThereWithItsExitCodes) {
    for (bool gui : {false, true}) {
        SCOPED_TRACE(gui ? "gui" : "console");
        std::vector<std::string> extra = {"--product-name", "Quiet"};
        if (gui) extra.push_back("--gui");
        const std::string exe = dir_.file(gui ? "gui.exe" : "console.exe");
        ASSERT_EQ(pack(kWindows, exe, {"mainclass app.Main", "jre_order c"}, {}, extra).exitCode, 0);
        RunResult r = runOn(kWindows, exe);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err, kNotFound);
        // Through the command interpreter, as a user at a console starts it.
        r = runOn(kWindows, "cmd", {"/c", winePath(exe)});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err, kNotFound);

        const std::string failing = dir_.file(gui ? "gui4.exe" : "console4.exe");
        ASSERT_EQ(pack(kWindows, failing,
                       {"mainclass app.Main", "jre_order c", "jvmdll " + testRuntime("hux_test_failcreate")}, {}, extra)
                      .exitCode,
                  0);
        r = runOn(kWindows, failing);
        EXPECT_EQ(r.exitCode, 4);
        EXPECT_EQ(r.err, kStartFailed);
    }
}

TEST_F(WindowsLook, SignedExecutableVerifiesAndStillFindsItsPayload) {
    RunResult made = run({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", dir_.file("key.pem"),
                          "-out", dir_.file("cert.pem"), "-days", "2", "-subj", "/CN=hux test signer"});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    dir_.write("data.txt", "payload data");
    const std::vector<std::string> lines = {"mainclass app.Main", "jre_order c",
                                            "jvmdll " + testRuntime("hux_test_failcreate")};

    // Signed by the packer, and signed afterwards by hand as the README shows.
    const std::string bySelf = dir_.file("self.exe");
    RunResult packed = pack(
        kWindows, bySelf, lines, {dir_.file("data.txt")},
        {"--archive-comment", "release", "--sign-key", dir_.file("key.pem"), "--sign-cert", dir_.file("cert.pem")});
    ASSERT_EQ(packed.exitCode, 0) << packed.err;
    const std::string plain = dir_.file("plain.exe");
    ASSERT_EQ(pack(kWindows, plain, lines, {dir_.file("data.txt")}).exitCode, 0);
    const std::string byHand = dir_.file("hand.exe");
    RunResult signedByHand = run({"osslsigncode", "sign", "-certs", dir_.file("cert.pem"), "-key", dir_.file("key.pem"),
                                  "-in", plain, "-out", byHand});
    ASSERT_EQ(signedByHand.exitCode, 0) << signedByHand.err;

    for (const std::string& exe : {bySelf, byHand}) {
        SCOPED_TRACE(exe);
        RunResult verified = run({"osslsigncode", "verify", "-CAfile", dir_.file("cert.pem"), "-in", exe});
        EXPECT_EQ(verified.exitCode, 0) << verified.out << verified.err;
        EXPECT_TRUE(has(verified.out, "Signature verification: ok")) << verified.out;

        RunResult shown = run({toolPath(), "inspect", exe});
        ASSERT_EQ(shown.exitCode, 0) << shown.err;
        EXPECT_TRUE(has(shown.out, "signature: certificate table of ")) << shown.out;
        EXPECT_TRUE(has(shown.out, "  mainclass app.Main\n")) << shown.out;
        EXPECT_TRUE(has(shown.out, " data.txt\n")) << shown.out;

        // The launcher finds its configuration: it loads the configured runtime.
        RunResult r = runOn(kWindows, exe);
        EXPECT_EQ(r.exitCode, 4) << r.err;
        EXPECT_EQ(r.err, kStartFailed);
    }
    EXPECT_EQ(std::filesystem::status(bySelf).permissions() & std::filesystem::perms::owner_exec,
              std::filesystem::perms::owner_exec);

    // With a runtime that runs `main`: the class comes out of a jar in the
    // signed executable's archive (behind an archive comment), and a resource
    // is read through the launcher's natives.
    const std::string server = dir_.file("jre/bin/server");
    std::filesystem::create_directories(server);
    std::filesystem::copy_file(windowsBuildDir() + "/test-runtimes/recording/jvm.dll", server + "/jvm.dll");
    const std::string running = dir_.file("running.exe");
    packed = pack(
        kWindows, running, {"mainclass app.Main"},
        {"lib/app.jar=" + appJarDir() + "/app.jar", "lib/lib1.jar=" + appJarDir() + "/lib1.jar"},
        {"--archive-comment", "release 7", "--sign-key", dir_.file("key.pem"), "--sign-cert", dir_.file("cert.pem")});
    ASSERT_EQ(packed.exitCode, 0) << packed.err;
    RunOptions options;
    options.env["HUX_DOUBLE_TRACE"] = winePath(dir_.file("trace.txt"));
    options.env["HUX_DOUBLE_SCRIPT"] = "resource lib/shared.txt";
    RunResult r = runOn(kWindows, running, {}, options);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const std::string trace = readFile(dir_.file("trace.txt"));
    EXPECT_TRUE(has(trace, "main call app/Main.main(L[0]{})\n")) << trace;
    EXPECT_TRUE(has(trace, "main resource lib/shared.txt: 17 bytes \"shared from lib1.\"\n")) << trace;

    // Half a signing request is refused before anything is written.
    RunResult half = pack(kWindows, dir_.file("half.exe"), lines, {}, {"--sign-key", dir_.file("key.pem")});
    EXPECT_NE(half.exitCode, 0);
    EXPECT_EQ(half.err,
              "hux pack: signing needs both --sign-key and --sign-cert (or a .pfx or .p12 --sign-key alone)\n");
    EXPECT_FALSE(std::filesystem::exists(dir_.file("half.exe")));
}

// Signing as a build pipeline does, with no terminal: encrypted keys (PKCS#12
// and PEM) whose pass phrase comes from a file or from the environment, a
// time stamp from an RFC 3161 server on the loopback address, and nothing of
// the signing tool's on the packer's standard output.
TEST_F(WindowsLook, PipelineSignsWithEncryptedKeysAndATimeStamp) {
    const std::string secret = "hux-winpub-secret 7";
    auto openssl = [&](std::vector<std::string> args) {
        args.insert(args.begin(), "openssl");
        RunResult r = run(args);
        EXPECT_EQ(r.exitCode, 0) << r.err;
    };
    openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", dir_.file("key.pem"), "-out",
             dir_.file("cert.pem"), "-days", "2", "-subj", "/CN=hux test signer"});
    openssl({"pkcs12", "-export", "-inkey", dir_.file("key.pem"), "-in", dir_.file("cert.pem"), "-out",
             dir_.file("signer.pfx"), "-passout", "pass:" + secret});
    openssl({"pkey", "-in", dir_.file("key.pem"), "-aes256", "-out", dir_.file("locked.pem"), "-passout",
             "pass:" + secret});
    openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", dir_.file("tsa.key"), "-out",
             dir_.file("tsa.pem"), "-days", "2", "-subj", "/CN=hux test time stamps", "-addext",
             "extendedKeyUsage=critical,timeStamping"});
    dir_.write("pass.txt", secret + "\n");
    Background tsa({"/usr/bin/python3", sourceDir() + "/tests/e2e/timestamp_server.py", dir_.path()});
    ASSERT_TRUE(tsa.waitForOutput("\n")) << tsa.output();
    const std::string url = "http://127.0.0.1:" + tsa.output().substr(5, tsa.output().find('\n') - 5);

    const std::string pfx = dir_.file("signer.pfx"), pass = dir_.file("pass.txt");
    const struct {
        const char* name;
        std::vector<std::string> args;
    } cases[] = {
        {"pkcs12, pass phrase file", {"--sign-key", pfx, "--sign-pass-file", pass, "--timestamp", url}},
        {"pkcs12, pass phrase in the environment",
         {"--sign-key", pfx, "--sign-pass-env", "HUX_WINPUB_PASS", "--timestamp", url}},
        {"encrypted PEM",
         {"--sign-key", dir_.file("locked.pem"), "--sign-cert", dir_.file("cert.pem"), "--sign-pass-file", pass,
          "--timestamp", url}},
    };
    RunOptions env;
    env.env["HUX_WINPUB_PASS"] = secret;
    env.input = "";  // no terminal, no answer to a prompt
    int stamped = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string exe = dir_.file(std::string("signed-") + std::to_string(stamped) + ".exe");
        std::vector<std::string> cmd{toolPath(), "pack", "-t",     "windows-x64",
                                     "-o",       exe,    "--line", "mainclass app.Main"};
        cmd.insert(cmd.end(), c.args.begin(), c.args.end());
        RunResult packed = run(cmd, env);
        ASSERT_EQ(packed.exitCode, 0) << packed.err;
        EXPECT_EQ(packed.out, "");
        EXPECT_EQ(readFile(dir_.file("queries")), std::to_string(++stamped));
        RunResult verified = run({"osslsigncode", "verify", "-CAfile", dir_.file("cert.pem"), "-TSA-CAfile",
                                  dir_.file("tsa.pem"), "-in", exe});
        EXPECT_EQ(verified.exitCode, 0) << verified.out << verified.err;
        EXPECT_TRUE(has(verified.out, "Signature verification: ok")) << verified.out;
        EXPECT_FALSE(has(verified.out, "Timestamp is not available")) << verified.out;
        EXPECT_TRUE(has(verified.out, "Timestamp Server Signature verification: ok")) << verified.out;
    }

    // Refusals: each one line, nothing written.
    dir_.write("wrong.txt", "not it\n");
    const struct {
        std::vector<std::string> args;
        int code;  // 2 for a command-line mistake
        std::string line;
    } refusals[] = {
        {{"--sign-key", pfx, "--sign-pass-file", dir_.file("wrong.txt")},
         1,
         "osslsigncode could not sign the executable (exit 255)"},
        {{"--sign-key", pfx, "--sign-pass-env", "HUX_WINPUB_UNSET"},
         1,
         "the environment variable HUX_WINPUB_UNSET named by --sign-pass-env is not set"},
        {{"--sign-key", pfx, "--sign-cert", dir_.file("cert.pem")},
         2,
         "a PKCS#12 key holds its certificate: drop --sign-cert"},
        {{"--timestamp", url}, 2, "--sign-pass-file, --sign-pass-env and --timestamp need --sign-key"},
    };
    for (const auto& refusal : refusals) {
        SCOPED_TRACE(refusal.line);
        const std::string exe = dir_.file("refused.exe");
        RunResult r = pack(kWindows, exe, {"mainclass app.Main"}, {}, refusal.args);
        EXPECT_EQ(r.exitCode, refusal.code);
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(r.err.size() > refusal.line.size() + 1 &&
                    r.err.compare(r.err.size() - refusal.line.size() - 1, std::string::npos, refusal.line + "\n") == 0)
            << r.err;
        EXPECT_FALSE(std::filesystem::exists(exe));
    }
    tsa.finish();

    // hux.exe on a Windows host without osslsigncode: advice that fits it.
    const struct {
        std::vector<std::string> args;
        std::string err;
    } onWindows[] = {
        {{"--sign-key", winePath(dir_.file("key.pem")), "--sign-cert", winePath(dir_.file("cert.pem"))},
         "hux pack: signing a PEM key needs osslsigncode on PATH (signtool takes a PKCS#12 .pfx only: make one with "
         "openssl pkcs12 -export)\n"},
        {{"--sign-key", winePath(pfx)}, "hux pack: signing needs osslsigncode or signtool (Windows SDK) on PATH\n"},
    };
    for (const auto& c : onWindows) {
        SCOPED_TRACE(c.err);
        std::vector<std::string> args = {
            "pack", "-t", "windows-x64", "-o", winePath(dir_.file("host.exe")), "--line", "mainclass app.Main"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        RunResult r = runOn(kWindows, windowsBuildDir() + "/bin/hux.exe", args);
        std::string err = r.err;
        err.erase(std::remove(err.begin(), err.end(), '\r'), err.end());
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(err, c.err);
        EXPECT_FALSE(std::filesystem::exists(dir_.file("host.exe")));
    }
}

TEST_F(WindowsLook, DefaultManifestCarriesUnicodeArgumentsAndDirectories) {
    // The stand-in runtime records the code page, the ANSI command line and
    // the options it is handed.
    const std::string folder = dir_.file("Z\xC3\xBCrich-\xE6\x97\xA5\xE6\x9C\xAC");
    std::filesystem::create_directories(folder);
    const std::string argument = "\xC3\xA4rger-\xE6\x97\xA5\xE6\x9C\xAC";
    const std::string log = dir_.file("runtime.log");
    const std::vector<std::string> lines = {"mainclass app.Main", "jre_order c",
                                            "jvmdll " + testRuntime("hux_test_recorder")};
    RunOptions options;
    options.env["HUX_RUNTIME_LOG"] = winePath(log);

    const std::string exe = folder + "/app.exe";
    ASSERT_EQ(pack(kWindows, exe, lines).exitCode, 0);
    RunResult r = runOn(kWindows, exe, {argument}, options);
    EXPECT_EQ(r.exitCode, 4) << r.err;
    std::string recorded = readFile(log);
    // Wine honours the manifest's UTF-8 code page, as Windows 10 1903 and later do.
    EXPECT_TRUE(has(recorded, "acp 65001\n")) << recorded;
    EXPECT_TRUE(has(recorded, " " + argument + "\n")) << recorded;
    EXPECT_TRUE(has(recorded, "option -Djava.class.path=" + winePath(exe) + "\n")) << recorded;

    // Without the setting (a user's manifest, or a system before 1903) the
    // ANSI code page cannot carry the Japanese characters: the argument
    // arrives with '?' in their place, and an executable in such a directory
    // cannot name itself: one line, exit 7, rather than a launch from a
    // misspelt path.
    const std::string manifest = dir_.write("plain.manifest",
                                            "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" "
                                            "manifestVersion=\"1.0\"></assembly>");
    const std::string older = dir_.file("older.exe");
    ASSERT_EQ(pack(kWindows, older, lines, {}, {"--manifest", manifest}).exitCode, 0);
    std::filesystem::remove(log);
    r = runOn(kWindows, older, {argument}, options);
    EXPECT_EQ(r.exitCode, 4) << r.err;
    recorded = readFile(log);
    EXPECT_FALSE(has(recorded, "acp 65001\n")) << recorded;
    EXPECT_FALSE(has(recorded, argument)) << recorded;
    EXPECT_TRUE(has(recorded, "-??\n")) << recorded;

    std::filesystem::copy_file(older, folder + "/older.exe");
    r = runOn(kWindows, folder + "/older.exe", {}, options);
    EXPECT_EQ(r.exitCode, 7);
    EXPECT_EQ(
        r.err,
        "hux: cannot read the executable's own path whole (too long, or characters outside the ANSI code page)\n");
}

TEST_F(WindowsLook, GuiExecutableWithoutHandlesAttachesToTheConsoleOrShowsABox) {
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "message boxes need a display (scripts/test starts one)";
    const std::string parent = windowsBuildDir() + "/bin/gui_parent.exe";
    const std::string named = dir_.file("named.exe");
    ASSERT_EQ(pack(kWindows, named, {"mainclass app.Main", "jre_order c"}, {},
                   {"--gui", "--product-name", "Caf\xC3\xA9 Editor"})
                  .exitCode,
              0);
    // Started from a console with no handles of its own: the message is on
    // that console's screen.
    RunResult r = runOn(kWindows, parent, {"console", winePath(named)});
    EXPECT_EQ(r.out.rfind("console Java Runtime Environment not found.\nconsole hux: this application needs", 0), 0u)
        << r.out;
    EXPECT_TRUE(r.out.size() > 7 && r.out.substr(r.out.size() - 7) == "exit 1\n") << r.out;

    // Started with no console anywhere: a message box titled with the product
    // name, else with the file name; the exit code stays.
    r = runOn(kWindows, parent, {"none", winePath(named)});
    EXPECT_EQ(r.out, std::string("title Caf\xC3\xA9 Editor\ntext Java Runtime Environment not found.\n") +
                         kNoRuntimeAdvice + "exit 1\n")
        << r.err;
    const std::string unnamed = dir_.file("unnamed.exe");
    ASSERT_EQ(pack(kWindows, unnamed,
                   {"mainclass app.Main", "jre_order c", "jvmdll " + testRuntime("hux_test_failcreate")}, {}, {"--gui"})
                  .exitCode,
              0);
    r = runOn(kWindows, parent, {"none", winePath(unnamed)});
    EXPECT_EQ(r.out, "title unnamed.exe\ntext Java Virtual Machine starts failed.\nexit 4\n") << r.err;
}

// Where nobody can press OK (a window station nobody sees, as a service's or
// a scheduled task's), and with `guierrors stderr`, a GUI executable never
// waits on a box: the exit code tells, and a configured standard error file
// gets the line.
TEST_F(WindowsLook, GuiExecutableWithoutAVisibleDesktopOrAskedNotToNeverWaitsOnABox) {
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "message boxes need a display (scripts/test starts one)";
    const std::string parent = windowsBuildDir() + "/bin/gui_parent.exe";
    const struct {
        const char* name;
        const char* how;
        std::vector<std::string> lines;
    } cases[] = {
        {"hidden.exe", "hidden", {}},
        {"quiet.exe", "none", {"guierrors stderr"}},
        {"logged.exe", "none", {"guierrors STDERR", "stderr err.txt"}},
    };
    RunOptions options;
    options.cwd = dir_.path();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> lines = {"mainclass app.Main", "jre_order c"};
        lines.insert(lines.end(), c.lines.begin(), c.lines.end());
        const std::string exe = dir_.file(c.name);
        ASSERT_EQ(pack(kWindows, exe, lines, {}, {"--gui"}).exitCode, 0);
        RunResult r = runOn(kWindows, parent, {c.how, winePath(exe)}, options);
        EXPECT_EQ(r.out, "nobox\nexit 1\n") << r.err;
    }
    EXPECT_EQ(readFile(dir_.file("err.txt")).rfind("Java Runtime Environment not found.\r\n", 0), 0u);
}

TEST_F(WindowsLook, ConsoleExecutableWithoutAConsoleNeverWaitsOnABox) {
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "message boxes need a display (scripts/test starts one)";
    const std::string parent = windowsBuildDir() + "/bin/gui_parent.exe";
    const std::string exe = dir_.file("job.exe");
    ASSERT_EQ(
        pack(kWindows, exe, {"mainclass app.Main", "jre_order c"}, {}, {"--product-name", "Nightly Job"}).exitCode, 0);
    const std::string failing = dir_.file("job4.exe");
    ASSERT_EQ(pack(kWindows, failing,
                   {"mainclass app.Main", "jre_order c", "jvmdll " + testRuntime("hux_test_failcreate")}, {}, {})
                  .exitCode,
              0);
    // As a scheduled task or a service wrapper starts it: no console, no
    // handles. The helper waits for a box up to 30 s; the job exits at once
    // with its code and shows none.
    RunResult r = runOn(kWindows, parent, {"none", winePath(exe)});
    EXPECT_EQ(r.out, "nobox\nexit 1\n") << r.err;
    r = runOn(kWindows, parent, {"none", winePath(failing)});
    EXPECT_EQ(r.out, "nobox\nexit 4\n") << r.err;

    // A console of its own but empty handles: the line is on its screen.
    r = runOn(kWindows, parent, {"console", winePath(exe)});
    EXPECT_EQ(r.out.rfind("console Java Runtime Environment not found.\nconsole hux: this application needs", 0), 0u)
        << r.out;
    EXPECT_TRUE(r.out.size() > 7 && r.out.substr(r.out.size() - 7) == "exit 1\n") << r.out;

    // A configured standard error still gets the message.
    const std::string logged = dir_.file("logged.exe");
    ASSERT_EQ(pack(kWindows, logged, {"mainclass app.Main", "jre_order c", "stderr err.txt"}, {}, {}).exitCode, 0);
    RunOptions options;
    options.cwd = dir_.path();
    r = runOn(kWindows, parent, {"none", winePath(logged)}, options);
    EXPECT_EQ(r.out, "nobox\nexit 1\n") << r.err;
    EXPECT_EQ(readFile(dir_.file("err.txt")),
              "Java Runtime Environment not found.\r\n" +
                  std::string(kNoRuntimeAdvice).insert(std::string(kNoRuntimeAdvice).size() - 1, "\r"));
}

TEST_F(WindowsLook, GuiApplicationsStandardStreamsReachTheConsoleOrTheConfiguredFiles) {
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "message boxes need a display (scripts/test starts one)";
    // The recording runtime as the application's private one: `main` runs,
    // prints through System.out, then throws (the report goes to System.err).
    const std::string server = dir_.file("jre/bin/server");
    std::filesystem::create_directories(server);
    std::filesystem::copy_file(windowsBuildDir() + "/test-runtimes/recording/jvm.dll", server + "/jvm.dll");
    const std::vector<std::string> files = {"lib/app.jar=" + appJarDir() + "/app.jar"};
    const std::string exe = dir_.file("gui.exe");
    ASSERT_EQ(pack(kWindows, exe, {"mainclass app.Main"}, files, {"--gui"}).exitCode, 0);
    RunOptions options;
    options.env["HUX_DOUBLE_TRACE"] = winePath(dir_.file("trace.txt"));
    options.env["HUX_DOUBLE_SCRIPT"] = "print printed by main;throw";
    const std::string parent = windowsBuildDir() + "/bin/gui_parent.exe";

    // From a console: both streams appear there, and the exit code is the launch's.
    RunResult r = runOn(kWindows, parent, {"console", winePath(exe)}, options);
    EXPECT_EQ(r.out,
              "console printed by main\n"
              "console Exception in thread \"main\" java/lang/IllegalStateException: thrown by main\n"
              "exit 1\n")
        << "exit " << r.exitCode << ", " << r.err;

    // With no console: no message box for the application's own output, which
    // goes nowhere; exit codes stay.
    options.env["HUX_DOUBLE_SCRIPT"] = "print printed by main;exit 3";
    r = runOn(kWindows, parent, {"none", winePath(exe)}, options);
    EXPECT_EQ(r.out, "nobox\nexit 3\n") << "exit " << r.exitCode << ", " << r.err;

    // ... unless standard output and error are configured: then they, and a
    // launch failure's message, go to their files.
    const std::string redirected = dir_.file("redirected.exe");
    const std::vector<std::string> lines = {"mainclass app.Main", "stdout out.txt", "stderr err.txt"};
    ASSERT_EQ(pack(kWindows, redirected, lines, files, {"--gui"}).exitCode, 0);
    options.cwd = dir_.path();
    options.env["HUX_DOUBLE_SCRIPT"] = "print printed by main;throw";
    r = runOn(kWindows, parent, {"none", winePath(redirected)}, options);
    EXPECT_EQ(r.out, "nobox\nexit 1\n") << "exit " << r.exitCode << ", " << r.err;
    EXPECT_EQ(readFile(dir_.file("out.txt")), "printed by main\n");
    EXPECT_EQ(readFile(dir_.file("err.txt")),
              "Exception in thread \"main\" java/lang/IllegalStateException: thrown by main\r\n");
    std::vector<std::string> noRuntime = lines;
    noRuntime.push_back("jre_order c");
    ASSERT_EQ(pack(kWindows, redirected, noRuntime, files, {"--gui"}).exitCode, 0);
    r = runOn(kWindows, parent, {"none", winePath(redirected)}, options);
    EXPECT_EQ(r.out, "nobox\nexit 1\n") << "exit " << r.exitCode << ", " << r.err;
    EXPECT_EQ(readFile(dir_.file("err.txt")),
              "Exception in thread \"main\" java/lang/IllegalStateException: thrown by main\r\n"
              "Java Runtime Environment not found.\r\n" +
                  std::string(kNoRuntimeAdvice).insert(std::string(kNoRuntimeAdvice).size() - 1, "\r"));
}

TEST_F(WindowsLook, ResourceEditorsSeeEveryResourceAndOneResourceSection) {
    const std::string exe = dir_.file("edited.exe");
    RunResult packed = pack(kWindows, exe, {"mainclass app.Main", "jre_order c"}, {},
                            {"--product-name", "Edited", "--version", "2.0.0.1"});
    ASSERT_EQ(packed.exitCode, 0) << packed.err;
    const RunResult inspected = run({toolPath(), "inspect", exe});
    ASSERT_EQ(inspected.exitCode, 0) << inspected.err;
    const size_t sections = inspected.out.find("sections:");
    ASSERT_NE(sections, std::string::npos) << inspected.out;
    const std::string table = inspected.out.substr(sections, inspected.out.find('\n', sections) - sections);
    EXPECT_EQ(table.find(" .rsrc"), table.rfind(" .rsrc")) << table;
    EXPECT_EQ(table.substr(table.size() - 6), " .rsrc") << table;

    // The system's resource updater changes one resource (a new one, then
    // the manifest) and keeps every other: string table, icon, version.
    const std::string updater = windowsBuildDir() + "/bin/update_resource.exe";
    const RunResult before = runOn(kWindows, updater, {winePath(exe)});
    ASSERT_EQ(before.exitCode, 0) << before.err;
    for (const char* resource : {"6 1 1033", "14 1 1033", "16 1 1033", "24 1 1033"})
        EXPECT_TRUE(has(before.out, std::string(resource) + " ")) << resource << "\n" << before.out;
    const RunResult added = runOn(kWindows, updater, {winePath(exe), "10", "7", "edited"});
    ASSERT_EQ(added.exitCode, 0) << added.err;
    EXPECT_EQ(added.out, [&] {
        std::string expected = before.out;
        const size_t at = expected.find("14 1 1033");
        return expected.insert(at, "10 7 1033 12\n");
    }());
    const RunResult manifest =
        runOn(kWindows, updater, {winePath(exe), "24", "1", "<assembly manifestVersion='1.0'/>"});
    ASSERT_EQ(manifest.exitCode, 0) << manifest.err;
    EXPECT_TRUE(has(manifest.out, "16 1 1033 ")) << manifest.out;
    EXPECT_TRUE(has(manifest.out, "24 1 1033 66\n")) << manifest.out;
    const RunResult shown = look(exe);
    EXPECT_TRUE(has(shown.out, "ProductName Edited")) << shown.out;
    EXPECT_TRUE(has(shown.out, "fileversion 2.0.0.1")) << shown.out;
    // The payload after the image is still read: no runtime, message 1.
    const RunResult launched = runOn(kWindows, exe);
    EXPECT_EQ(launched.exitCode, 1) << launched.err;
    EXPECT_EQ(launched.err, kNotFound);
}

TEST_F(WindowsLook, NonAsciiMessagesReadTheSameOnAConsoleInAPipeAndInTheBox) {
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "consoles and message boxes need a display (scripts/test starts one)";
    const std::string text = "Java fehlt \xE2\x80\x94 bitte Java installieren\xE2\x80\xA6";
    for (bool gui : {false, true}) {
        SCOPED_TRACE(gui ? "gui" : "console");
        std::vector<std::string> extra = {"--product-name", "Fehlt"};
        if (gui) extra.push_back("--gui");
        const std::string exe = dir_.file(gui ? "gui.exe" : "console.exe");
        ASSERT_EQ(pack(kWindows, exe, {"mainclass app.Main", "jre_order c", "message 1=" + text}, {}, extra).exitCode,
                  0);
        // A console shows the characters whatever its code page.
        const std::string parent = windowsBuildDir() + "/bin/gui_parent.exe";
        RunResult r = runOn(kWindows, parent, {gui ? "console" : "shell", winePath(exe)});
        EXPECT_EQ(r.out.rfind("console " + text + "\nconsole hux: ", 0), 0u) << r.out;
        // A pipe gets UTF-8 bytes, as the box gets the characters.
        r = runOn(kWindows, exe);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err, text + "\n" + kNoRuntimeAdvice);
        if (gui) {
            r = runOn(kWindows, parent, {"none", winePath(exe)});
            EXPECT_TRUE(has(r.out, "text " + text + "\n")) << r.out;
        }
    }
}

TEST_F(WindowsLook, ProductVersionTextVersionsAndLanguageAsTheSystemReadsThem) {
    struct Case {
        std::vector<std::string> options;
        std::string fileVersion, productVersion, fileText, productText, language;
    };
    const std::vector<Case> cases = {
        {{"--version", "2.1.0.7", "--product-version", "2.1.0.0"}, "2.1.0.7", "2.1.0.0", "2.1.0.7", "2.1.0.0", "0409"},
        {{"--version", "2.1-beta", "--language", "0x0407"}, "2.1.0.0", "2.1.0.0", "2.1-beta", "2.1-beta", "0407"},
        {{"--version", "3.0.2", "--product-version", "3.0 RC1", "--language", "de-CH"},
         "3.0.2.0",
         "3.0.0.0",
         "3.0.2",
         "3.0 RC1",
         "0807"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options[1]);
        const std::string exe = dir_.file("versioned.exe");
        std::vector<std::string> options = c.options;
        options.insert(options.end(), {"--product-name", "Versioned"});
        RunResult packed = pack(kWindows, exe, {"mainclass app.Main"}, {}, options);
        ASSERT_EQ(packed.exitCode, 0) << packed.err;
        const RunResult seen = look(exe);
        EXPECT_TRUE(has(seen.out, "fileversion " + c.fileVersion + "\n")) << seen.out;
        EXPECT_TRUE(has(seen.out, "productversion " + c.productVersion + "\n")) << seen.out;
        EXPECT_TRUE(has(seen.out, "language " + c.language + "\n")) << seen.out;
        // The strings are found under the language's table.
        EXPECT_TRUE(has(seen.out, "ProductName Versioned\n")) << seen.out;
        EXPECT_TRUE(has(seen.out, "FileVersion " + c.fileText + "\n")) << seen.out;
        EXPECT_TRUE(has(seen.out, "ProductVersion " + c.productText + "\n")) << seen.out;
        const RunResult shown = run({toolPath(), "inspect", exe});
        EXPECT_TRUE(has(shown.out, "version: " + c.fileVersion + " (product " + c.productVersion + ", language " +
                                       c.language + ")\n"))
            << shown.out;
    }
    // A language the packer does not know, a version without a number: a
    // mistake on the command line.
    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"--language", "xx-YY"}, {"--language", "0x10000"}, {"--product-version", "beta"}}) {
        const RunResult r = pack(kWindows, dir_.file("bad.exe"), {"mainclass app.Main"}, {}, bad);
        EXPECT_EQ(r.exitCode, 2) << bad[1];
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
}
