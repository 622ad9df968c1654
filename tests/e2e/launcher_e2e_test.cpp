// The launcher's main flow end to end: configuration loading with the external
// file, and single-instance refusal while another process holds the lock.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "support/harness.h"

using namespace hux::e2e;

namespace {

const char* const kAlreadyRunning = "There is already an instance of this program running.\n";
// No runtime can be found with this order, so a launch that gets past the
// single-instance check ends with message 1.
const char* const kNoRuntime = "jre_order c";

std::string utf16(const std::string& ascii, bool bigEndian) {
    std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (char c : ascii) {
        if (bigEndian) out += '\0';
        out += c;
        if (!bigEndian) out += '\0';
    }
    return out;
}

}  // namespace

TEST(SingleInstance, RefusedWhileAnotherInstanceHoldsTheAppIdMutex) {
    TempDir dir;
    for (const Target& t : targets()) {
        SCOPED_TRACE(t.name);
        const std::string exe = dir.file(t.exeName("app"));
        ASSERT_EQ(
            pack(t, exe, {"mainclass app.Main", "singleinstance true", "appid Company\\App", kNoRuntime}).exitCode, 0);
        {
            MutexHolder holder(t, "Company.App.hux.mutex");
            ASSERT_TRUE(holder.held());
            RunResult r = runOn(t, exe);
            EXPECT_EQ(r.exitCode, 11);
            EXPECT_EQ(r.err, kAlreadyRunning);
        }
        // Once nobody holds it the launch goes on (and finds no runtime here).
        RunResult r = runOn(t, exe);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err, kNotFound);
    }
}

TEST(SingleInstance, MutexNameFollowsTheExecutablePathWithoutAppId) {
    TempDir dir;
    for (const Target& t : targets()) {
        SCOPED_TRACE(t.name);
        const std::string exe = dir.file(t.exeName("tool"));
        ASSERT_EQ(pack(t, exe, {"mainclass app.Main", "singleinstance TRUE", kNoRuntime}).exitCode, 0);
        // ':' and '\' become '.', so Z:\dir\tool.exe gives Z..dir.tool.exe.hux.mutex.
        std::string name = t.windows() ? winePath(exe) : exe;
        for (char& c : name)
            if (c == ':' || c == '\\') c = '.';
        MutexHolder holder(t, name + ".hux.mutex");
        ASSERT_TRUE(holder.held());
        RunResult r = runOn(t, exe);
        EXPECT_EQ(r.exitCode, 11) << r.err;
        EXPECT_EQ(r.err, kAlreadyRunning);
    }
}

TEST(SingleInstance, OnlyTheWordTrueTurnsItOn) {
    TempDir dir;
    for (const Target& t : targets()) {
        SCOPED_TRACE(t.name);
        const std::string exe = dir.file(t.exeName("yes"));
        ASSERT_EQ(pack(t, exe, {"mainclass app.Main", "singleinstance yes", "appid Word\\Test", kNoRuntime}).exitCode,
                  0);
        MutexHolder holder(t, "Word.Test.hux.mutex");
        ASSERT_TRUE(holder.held());
        RunResult r = runOn(t, exe);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err, kNotFound);
    }
}

TEST(Payload, ATruncatedOrAlteredExecutableSaysSoInOneLine) {
    TempDir dir;
    for (const Target& t : targets()) {
        SCOPED_TRACE(t.name);
        const std::string exe = dir.file(t.exeName("whole"));
        ASSERT_EQ(
            pack(t, exe, {"mainclass app.Main", kNoRuntime}, {"lib/app.jar=" + appJarDir() + "/app.jar"}).exitCode, 0);
        const std::string bytes = readFile(exe);
        ASSERT_GT(bytes.size(), 100000u);
        auto launch = [&](const std::string& name, const std::string& content) {
            const std::string path = dir.write(t.exeName(name), content);
            std::filesystem::permissions(path, std::filesystem::perms::owner_all);
            return runOn(t, path);
        };
        // Whole, and with bytes appended after it, up to the 65535 the
        // runtime's zip reader looks past: the launch goes on and finds no
        // runtime here.
        for (const std::string& content : {bytes, bytes + "appended after the archive", bytes + std::string(60000, 'x'),
                                           bytes + std::string(65535, 'x')}) {
            RunResult r = launch("intact", content);
            EXPECT_EQ(r.exitCode, 1) << r.err;
            EXPECT_EQ(r.err, kNotFound);
        }
        // Cut short anywhere (a download that stopped), or with the end
        // record's directory offset altered: one line naming the file, and
        // neither the configuration nor the virtual machine is tried.
        std::string altered = bytes;
        altered[altered.size() - 6] ^= 0x10;
        // The configuration block's framing too: a flipped bit in its length
        // (low and high byte), its UTF-8 mark or its final NUL altered.
        const size_t blockAt = bytes.find("\xEF\xBB\xBFmainclass");
        ASSERT_NE(blockAt, std::string::npos);
        const size_t lengthAt = bytes.find('\0', bytes.find("hux-crc32=", blockAt)) + 1;  // past the seal
        std::vector<std::string> framing(4, bytes);
        framing[0][lengthAt] ^= 0x01;
        framing[1][lengthAt + 3] = static_cast<char>(framing[1][lengthAt + 3] ^ 0x80);
        framing[2][blockAt] = 'x';
        framing[3][lengthAt - 1] = 'x';
        // One byte more appended than a zip reader looks past hides the archive too.
        for (const std::string& content : {bytes.substr(0, bytes.size() - 1), bytes.substr(0, bytes.size() - 40),
                                           bytes.substr(0, bytes.size() - 3000), altered, framing[0], framing[1],
                                           framing[2], framing[3], bytes + std::string(65536, 'x')}) {
            RunResult r = launch("damaged", content);
            // The packer's inspector calls the same files damaged.
            const RunResult inspected = run({toolPath(), "inspect", dir.file(t.exeName("damaged"))});
            EXPECT_NE(inspected.exitCode, 0) << inspected.out;
            EXPECT_EQ(r.exitCode, 7) << r.err;
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
            EXPECT_NE(
                r.err.find(t.exeName("damaged") + "' is damaged: its application archive is incomplete or altered\n"),
                std::string::npos)
                << r.err;
        }
    }
}

TEST(ExternalConfig, OverridesTheEmbeddedBlockInEveryEncoding) {
    TempDir dir;
    const std::string external = "appid External\\App\r\nsingleinstance true\r\n";
    const std::vector<std::pair<std::string, std::string>> encodings = {
        {"utf8-mark", "\xEF\xBB\xBF" + external},
        {"utf16le", utf16(external, false)},
        {"utf16be", utf16(external, true)},
        {"ansi", external},
    };
    for (const Target& t : targets()) {
        SCOPED_TRACE(t.name);
        const std::string exe = dir.file(t.exeName("ext"));
        ASSERT_EQ(pack(t, exe, {"mainclass app.Main", "appid Embedded\\App", kNoRuntime}).exitCode, 0);
        MutexHolder holder(t, "External.App.hux.mutex");
        ASSERT_TRUE(holder.held());
        for (const auto& [name, bytes] : encodings) {
            SCOPED_TRACE(name);
            // The candidates are tried in order: <exe>.cfg first.
            dir.write(t.exeName("ext") + ".cfg", bytes);
            RunResult r = runOn(t, exe);
            EXPECT_EQ(r.exitCode, 11) << r.err;
            EXPECT_EQ(r.err, kAlreadyRunning);
        }
        std::filesystem::remove(dir.file(t.exeName("ext") + ".cfg"));
        // The last candidate, <exe without extension>.config, is found too.
        dir.write("ext.config", external);
        RunResult r = runOn(t, exe);
        EXPECT_EQ(r.exitCode, 11) << r.err;
        std::filesystem::remove(dir.file("ext.config"));
        // The external file cannot turn itself off.
        dir.write(t.exeName("ext") + ".cfg", external + "disableexternal true\r\n");
        r = runOn(t, exe);
        EXPECT_EQ(r.exitCode, 11) << r.err;
    }
}

TEST(ExternalConfig, DebugLinesNameTheFileReadAndItsUnknownKeysAndAJavaHomeThatIsNoRuntimeIsNamed) {
    TempDir dir;
    for (const Target& t : targets()) {
        SCOPED_TRACE(t.name);
        const std::string exe = dir.file(t.exeName("told"));
        ASSERT_EQ(pack(t, exe, {"mainclass app.Main", "jre_order e"}).exitCode, 0);
        dir.write(t.exeName("told") + ".cfg", "option -Dx=y\r\npropety foo=bar\r\n");
        const std::string shown = t.windows() ? winePath(exe) : exe;
        const std::string home = t.windows() ? winePath(dir.file("nowhere")) : dir.file("nowhere");
        RunOptions o{.env = {{"JAVA_HOME", home}, {"JRE_HOME", std::nullopt}}};
        const std::string advice =
            "Java Runtime Environment not found.\nhux: this application needs a Java runtime, and JAVA_HOME names no "
            "usable runtime ('" +
            home +
            "' does not exist): point it at a runtime's folder, or install one "
            "(HUX_DEBUG=1 shows where hux looked)\n";
        RunResult r = runOn(t, exe, {}, o);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err, advice);
        o.env["HUX_DEBUG"] = "1";
        r = runOn(t, exe, {}, o);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_TRUE(has(r.err, "hux: read the external configuration " + shown + ".cfg\n")) << r.err;
        EXPECT_TRUE(
            has(r.err, "hux: external configuration " + shown + ".cfg line 2: unknown key 'propety'; ignored\n"))
            << r.err;
        EXPECT_EQ(r.err.substr(r.err.size() - std::min(r.err.size(), advice.size())), advice);
    }
}

TEST(ExternalConfig, DisableExternalInTheEmbeddedBlockDropsIt) {
    TempDir dir;
    for (const Target& t : targets()) {
        SCOPED_TRACE(t.name);
        const std::string exe = dir.file(t.exeName("locked"));
        ASSERT_EQ(
            pack(t, exe, {"mainclass app.Main", "appid Locked\\App", "disableexternal TRUE", kNoRuntime}).exitCode, 0);
        dir.write(t.exeName("locked") + ".cfg", "appid Locked\\App\r\nsingleinstance true\r\n");
        MutexHolder holder(t, "Locked.App.hux.mutex");
        ASSERT_TRUE(holder.held());
        RunResult r = runOn(t, exe);
        EXPECT_EQ(r.exitCode, 1) << r.err;
        EXPECT_EQ(r.err, kNotFound);
    }
}
