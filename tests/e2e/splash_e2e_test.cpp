// The splash screen end to end: which calls reach the splash library beside a
// stand-in runtime (both targets, a recording library), and a real splash
// window from the installed JDKs' library under the test display (Linux).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "support/harness.h"

using namespace hux::e2e;

namespace {

const Target kLinux{"linux-x64"};

// A 32x24 PNG image.
const std::string kPng(
    "\x89\x50\x4E\x47\x0D\x0A\x1A\x0A\x00\x00\x00\x0D\x49\x48\x44\x52\x00\x00\x00\x20\x00\x00\x00\x18\x08\x02\x00"
    "\x00\x00\x14\x31\x68\x63\x00\x00\x00\x24\x49\x44\x41\x54\x78\xDA\x63\x50\x48\x38\x40\x53\xC4\x30\x6A\xC1\xA8"
    "\x05\xA3\x16\x8C\x5A\x30\x6A\xC1\xA8\x05\xA3\x16\x8C\x5A\x30\x34\x2C\x00\x00\x28\xCC\xC0\x2E\x97\xF0\x29\x35"
    "\x00\x00\x00\x00\x49\x45\x4E\x44\xAE\x42\x60\x82",
    93);

std::string lastLineOf(const std::string& text) {
    const size_t end = text.size() > 0 && text.back() == '\n' ? text.size() - 1 : text.size();
    const size_t start = text.rfind('\n', end == 0 ? 0 : end - 1);
    return text.substr(start == std::string::npos ? 0 : start + 1, end - (start == std::string::npos ? 0 : start + 1));
}

// A stand-in runtime (its creation entry fails, so each launch ends with
// message 4) with the recording splash library in the place the launcher
// looks: <runtime library's directory>/../<splash library>.
void buildRuntimeTree(const TempDir& dir, const Target& t) {
    const std::string runtimes = (t.windows() ? windowsBuildDir() : buildDir()) + "/test-runtimes/";
    const std::string bin = dir.file(t.windows() ? "rt/bin" : "rt/lib");
    std::filesystem::create_directories(bin + "/server");
    const auto overwrite = std::filesystem::copy_options::overwrite_existing;
    std::filesystem::copy_file(runtimes + (t.windows() ? "hux_test_failcreate.dll" : "hux_test_failcreate.so"),
                               bin + (t.windows() ? "/server/jvm.dll" : "/server/libjvm.so"), overwrite);
    std::filesystem::copy_file(runtimes + (t.windows() ? "hux_test_splash.dll" : "hux_test_splash.so"),
                               bin + (t.windows() ? "/splashscreen.dll" : "/libsplashscreen.so"), overwrite);
}

std::string runtimeLine(const Target& t) {
    return t.windows() ? "jvmdll rt/bin/server/jvm.dll" : "jvmdll rt/lib/server/libjvm.so";
}

}  // namespace

TEST(Splash, TheLibraryIsCalledOnlyForAnImageThatExists) {
    TempDir dir;
    dir.write("image.png", kPng);
    for (const Target& t : targets()) {
        SCOPED_TRACE(t.name);
        buildRuntimeTree(dir, t);
        const std::string log = dir.file(t.name + "-splash.log");
        RunOptions options;
        options.env["HUX_SPLASH_LOG"] = t.windows() ? winePath(log) : log;
        struct Case {
            std::string splashLine;
            std::string expected;  // the recorded calls; "file" stands for the image path line
        };
        // Without an image file Windows still loads the library (a built-in
        // image could serve); Linux never loads it, since it could show nothing.
        const std::string withoutImage = t.windows() ? "loaded\n" : "";
        const std::vector<Case> cases = {
            {"splash image.png", "loaded\nSplashInit\nSplashLoadFile <image>\nSplashSetFileJarName <image> (no jar)\n"},
            // No image: nothing is called.
            {"", withoutImage},
            // The shipped stub carries no built-in image to fall back to.
            {"splash missing.png", withoutImage},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.splashLine);
            std::filesystem::remove(log);
            const std::string exe = dir.file(t.exeName("splashed"));
            std::vector<std::string> lines = {"mainclass app.Main", "jre_order c", runtimeLine(t)};
            if (!c.splashLine.empty()) lines.push_back(c.splashLine);
            ASSERT_EQ(pack(t, exe, lines).exitCode, 0);
            RunResult r = runOn(t, exe, {}, options);
            EXPECT_EQ(r.exitCode, 4) << r.err;
            std::string calls = readFile(log);
            const std::string imagePath = t.windows() ? winePath(dir.file("image.png")) : dir.file("image.png");
            for (size_t at; (at = calls.find(imagePath)) != std::string::npos;)
                calls.replace(at, imagePath.size(), "<image>");
            EXPECT_EQ(calls, c.expected);
        }
    }
}

TEST(Splash, BuiltInImageServesWhenTheFileIsMissing) {
    if (!windowsStubAvailable()) GTEST_SKIP() << "no Windows build";
    const Target t{"windows-x64"};
    TempDir dir;
    dir.write("image.png", kPng);
    buildRuntimeTree(dir, t);
    const std::string log = dir.file("splash.log");
    RunOptions options;
    options.env["HUX_SPLASH_LOG"] = winePath(log);
    // A stub that carries raw data 100 (the text "HUX-TEST-SPLASH-IMAGE").
    const std::string stub = windowsBuildDir() + "/bin/hux_stub_splash.exe";
    const std::string exe = dir.file("builtin.exe");
    for (const char* splashLine : {"splash missing.png", ""}) {
        SCOPED_TRACE(splashLine);
        std::vector<std::string> lines = {"mainclass app.Main", "jre_order c", runtimeLine(t)};
        if (splashLine[0]) lines.push_back(splashLine);
        ASSERT_EQ(pack(t, exe, lines, {}, {"--stub", stub}).exitCode, 0);
        std::filesystem::remove(log);
        RunResult r = runOn(t, exe, {}, options);
        EXPECT_EQ(r.exitCode, 4) << r.err;
        EXPECT_EQ(readFile(log), "loaded\nSplashInit\nSplashLoadMemory 21 HUX-TEST-SPLASH-IMAGE\n");
    }
    // An image file that exists wins over the built-in one.
    ASSERT_EQ(
        pack(t, exe, {"mainclass app.Main", "jre_order c", runtimeLine(t), "splash image.png"}, {}, {"--stub", stub})
            .exitCode,
        0);
    std::filesystem::remove(log);
    RunResult r = runOn(t, exe, {}, options);
    EXPECT_EQ(r.exitCode, 4) << r.err;
    EXPECT_NE(readFile(log).find("SplashLoadFile " + winePath(dir.file("image.png")) + "\n"), std::string::npos);
}

TEST(Splash, TheRuntimeShowsTheImageBeforeMainRuns) {
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "DISPLAY is not set (the test script starts Xvfb)";
    const std::vector<std::string> jdks = installedJdks();
    ASSERT_FALSE(jdks.empty());
    TempDir dir;
    dir.write("image.png", kPng);
    const std::vector<std::string> files = {"lib/redir.jar=" + appJarDir() + "/redir.jar"};
    for (const std::string& jdk : jdks) {
        SCOPED_TRACE(jdk);
        const std::vector<std::string> base = {"mainclass redir.Main", "jre_order c", "jvmdll " + jvmLibraryOf(jdk)};
        std::vector<std::string> withImage = base;
        withImage.push_back("splash image.png");
        const std::string shown = dir.file("shown");
        ASSERT_EQ(pack(kLinux, shown, withImage, files).exitCode, 0);
        RunResult r = runOn(kLinux, shown, {"splash"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        // After the runtime's own warnings; the image's URL as `java -splash:` gives it.
        EXPECT_EQ(lastLineOf(r.out), "splash=shown url=file:" + dir.file("image.png"));

        const std::string plain = dir.file("plain");
        ASSERT_EQ(pack(kLinux, plain, base, files).exitCode, 0);
        r = runOn(kLinux, plain, {"splash"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(lastLineOf(r.out), "splash=null");
    }
}
