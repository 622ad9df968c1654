#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "config/config_values.h"
#include "config/paths.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "support/packed_config.h"
#include "support/test_support.h"

using namespace hux;
namespace fs = std::filesystem;

namespace {

std::string resolve(const char* base, const char* path) {
    char buffer[platform::kPathMax];
    const int32_t n = resolveAgainst(base, path, buffer, platform::kPathMax);
    if (n <= 0 || n >= platform::kPathMax) return "<" + std::to_string(n) + ">";
    return std::string(buffer, static_cast<size_t>(n));
}

std::string withSlash(const fs::path& p) { return p.string() + "/"; }

void touch(const fs::path& p) {
    fs::create_directories(p.parent_path());
    std::ofstream(p) << "x";
}

// Keeps the current directory across a test that changes it.
class CwdGuard {
public:
    CwdGuard() : saved_(fs::current_path()) {}
    ~CwdGuard() { fs::current_path(saved_); }

private:
    fs::path saved_;
};

}  // namespace

// The debug lines' form of a path: one separator style, no "." components,
// a leading pair (a network share) kept.
TEST(ShownPath, OneSeparatorStyleAndNoDotComponents) {
    const bool win = platform::usesDrivePaths();
    const struct {
        const char* path;
        const char* windows;
        const char* linux;
    } cases[] = {
        {"Z:\\app\\./jre/bin/server/jvm.dll", "Z:\\app\\jre\\bin\\server\\jvm.dll", "Z:/app/jre/bin/server/jvm.dll"},
        {"/opt/app/./jre//lib/./server/", "\\opt\\app\\jre\\lib\\server\\", "/opt/app/jre/lib/server/"},
        {"./jre", "jre", "jre"},
        {".", ".", "."},
        {"\\\\server\\share\\.\\x", "\\\\server\\share\\x", "//server/share/x"},
        {"a/../b", "a\\..\\b", "a/../b"},
        {"", "", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(std::string(shownPath(c.path).view()), win ? c.windows : c.linux) << c.path;
}

TEST(ResolveAgainst, RelativeAbsoluteAndDotSegments) {
    const char* base = platform::usesDrivePaths() ? "D:\\app\\" : "/opt/app/";
    const std::string sep = platform::usesDrivePaths() ? "\\" : "/";
    const std::string app = platform::usesDrivePaths() ? "D:\\app" : "/opt/app";
    EXPECT_EQ(resolve(base, "data"), app + sep + "data");
    EXPECT_EQ(resolve(base, "./data/../lib/"), app + sep + "lib" + sep);
    EXPECT_EQ(resolve(base, ""), app + sep);
    EXPECT_EQ(resolve(base, "../x"), (platform::usesDrivePaths() ? "D:\\" : "/opt/") + std::string("x"));
    // A base without a trailing separator gets '/'.
    EXPECT_EQ(resolve(app.c_str(), "data"), app + sep + "data");

    char buffer[platform::kPathMax];
    std::string longName;
    for (int i = 0; i < 30; ++i) longName += "abcdefghi/";
    if (!platform::usesDrivePaths()) {
        // Linux has no 260-byte limit: 300 bytes resolve whole.
        EXPECT_EQ(resolve(base, longName.c_str()), "/opt/app/" + longName);
    }
    while (longName.size() <= static_cast<size_t>(platform::kPathMax)) longName += "abcdefghi/";
    // The required size, or 0 where the system refuses results over 259 bytes (Wine).
    const int32_t n = resolveAgainst(base, longName.c_str(), buffer, platform::kPathMax);
    EXPECT_TRUE(n == 0 || n > platform::kPathMax) << n;
}

TEST(ResolveAgainst, PlatformAbsoluteRules) {
    char expected[platform::kPathMax];
    if (platform::usesDrivePaths()) {
        EXPECT_EQ(resolve("D:\\app\\", "\\tmp"), "D:\\tmp");  // root of the base's drive
        EXPECT_EQ(resolve("D:\\app\\", "E:\\x"), "E:\\x");
        EXPECT_EQ(resolve("D:\\app\\", "..\\data"), "D:\\data");
        EXPECT_EQ(resolve("D:\\app\\", ".."), "D:\\");
        const int32_t n = platform::fullPathName("/x", expected, platform::kPathMax);
        ASSERT_GT(n, 0);
        EXPECT_EQ(resolve("D:\\app\\", "/x"), std::string(expected, static_cast<size_t>(n)));
        const int32_t m = platform::fullPathName("\\tmp", expected, platform::kPathMax);
        ASSERT_GT(m, 0);
        EXPECT_EQ(resolve("app\\", "\\tmp"), std::string(expected, static_cast<size_t>(m)));  // no drive in the base
    } else {
        EXPECT_EQ(resolve("/opt/app/", "/x"), "/x");
        EXPECT_EQ(resolve("/opt/app/", "/x/../y"), "/y");
        EXPECT_EQ(resolve("/opt/app/", ".."), "/opt");
        // Neither drives nor a leading backslash mean anything on Linux.
        EXPECT_EQ(resolve("/opt/app/", "E:\\x"), "/opt/app/E:\\x");
        EXPECT_EQ(resolve("/opt/app/", "\\tmp"), "/opt/app/\\tmp");
    }
}

TEST(ResolveDataPath, ExecutableDirectoryThenWorkingDirectory) {
    test::TempDir dir;
    touch(dir.path() / "app" / "img" / "a.png");
    touch(dir.path() / "work" / "img" / "b.png");
    touch(dir.path() / "app" / "img" / "both.png");
    touch(dir.path() / "work" / "img" / "both.png");
    LaunchConfig config(false);
    config.setExePathForTesting(ByteString((dir.path() / "app" / "tool.exe").string()));
    config.setWorkDirForTesting(ByteString(withSlash(dir.path() / "work")));
    const std::string exeDir(config.exeDir().view());

    EXPECT_EQ(resolveDataPath(config, "img/a.png"), exeDir + "img/a.png");
    EXPECT_EQ(resolveDataPath(config, "img/b.png"), withSlash(dir.path() / "work") + "img/b.png");
    EXPECT_EQ(resolveDataPath(config, "img/both.png"), exeDir + "img/both.png");
    EXPECT_EQ(resolveDataPath(config, "img/none.png"), exeDir + "img/none.png");
    EXPECT_EQ(resolveDataPath(config, ""), "");
    EXPECT_EQ(resolveDataPath(config, "/abs/s.png"), "/abs/s.png");
    if (platform::usesDrivePaths()) {
        EXPECT_EQ(resolveDataPath(config, "D:x"), "D:x");
        EXPECT_EQ(resolveDataPath(config, "\\x\\s.png"), "\\x\\s.png");
    } else {
        EXPECT_EQ(resolveDataPath(config, "D:x"), exeDir + "D:x");
    }
}

TEST(ResolveDataPath, SplashValueIsExpandedThenResolved) {
    test::TempDir dir;
    fs::create_directories(dir.path() / "app");
    touch(dir.path() / "app" / "img" / "s.png");
    auto config = test::loadPackedConfig(dir.path() / "app", "splash img/%HUX_T_IMG%.png\r\n", "");
    ASSERT_TRUE(platform::putEnv("HUX_T_IMG=s"));
    EXPECT_EQ(config::splash(*config), std::string(config->exeDir().view()) + "img/s.png");
    platform::putEnv("HUX_T_IMG=").ignore();
}

TEST(ForcedWorkingDirectory, ResolvesAgainstTheExecutableDirectory) {
    CwdGuard guard;
    test::TempDir dir;
    const fs::path app = dir.path() / "app";
    fs::create_directories(app / "data");
    fs::create_directories(dir.path() / "other");
    const fs::path start = dir.path();
    auto check = [&](const std::string& value, const fs::path& expected) {
        fs::current_path(start);
        auto config =
            test::loadPackedConfig(app, value.empty() ? "mainclass a.B\r\n" : "forcecwd " + value + "\r\n", "");
        applyForcedWorkingDirectory(*config);
        EXPECT_TRUE(fs::equivalent(fs::current_path(), expected)) << value << " -> " << fs::current_path();
        const std::string work(config->workDir().view());
        EXPECT_EQ(work, std::string(platform::currentDirectory().value().view()) + "/") << value;
    };
    check("data", app / "data");
    check("..", dir.path());
    check("../other", dir.path() / "other");
    check((dir.path() / "other").string(), dir.path() / "other");  // absolute, used unchanged
    check("missing", start);                                       // cannot be entered: unchanged
    check("", start);                                              // no forcecwd: unchanged
    check(std::string(300, 'n'), start);                           // 260 bytes or more: unchanged
}
