// The class-data archive in the user's cache: its key, the options a launch
// gets, and the cache directory's guards.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/process.h"
#include "platform/user_cache.h"
#include "runtime/class_data_cache.h"
#include "runtime/jvm_host.h"
#include "test_support.h"

using namespace hux;
using hux::test::cacheBaseVariable;
using hux::test::EnvGuard;
using hux::test::letOthersWrite;
using hux::test::makeConfig;
using hux::test::makeLink;
using hux::test::TempTree;

namespace {

namespace fs = std::filesystem;
using V = std::vector<std::string>;

V optionsOf(const JvmHost& host) {
    V out;
    for (int32_t i = 0; i < host.optionCount(); ++i) out.emplace_back(host.option(i));
    return out;
}

class ClassDataCache : public ::testing::Test {
protected:
    void SetUp() override {
        env.set(cacheBaseVariable(), tree.dir("cache"));
        exe = tree.file("app/app.exe", std::string(100000, 'a') + "TAIL");
        runtime = tree.file("rt/lib/server/libjvm.so", "runtime");
    }
    // The options a launch of `lines` adds.
    V launch(const std::string& lines) {
        auto config = makeConfig(lines, exe, tree.path("work/"));
        JvmHost host;
        appendClassDataOptions(*config, host, ByteString(runtime.c_str()));
        return optionsOf(host);
    }
    std::string archivePath() {
        ClassDataKey key;
        EXPECT_TRUE(readClassDataKey(ByteString(exe.c_str()), ByteString(runtime.c_str()), key));
        return std::string(platform::userCacheDirectory().view()) + std::string(classDataArchiveName(key).view());
    }
    TempTree tree;
    EnvGuard env;
    std::string exe, runtime;
};

}  // namespace

TEST_F(ClassDataCache, TheNameChangesWithEveryPartOfTheKey) {
    ClassDataKey key;
    ASSERT_TRUE(readClassDataKey(ByteString(exe.c_str()), ByteString(runtime.c_str()), key));
    EXPECT_EQ(key.executableSize, 100004);
    EXPECT_EQ(key.executableTail.length(), 64 * 1024);
    EXPECT_EQ(key.executableTail.view().substr(64 * 1024 - 4), "TAIL");
    const std::string name(classDataArchiveName(key).view());
    EXPECT_EQ(name.size(), 37u);
    EXPECT_EQ(name.substr(33), ".jsa");
    const std::string place = name.substr(0, 17);
    EXPECT_EQ(classDataArchiveName(key).view(), name);
    const std::vector<void (*)(ClassDataKey&)> changes = {
        [](ClassDataKey& k) { k.executable.append("x"); },
        [](ClassDataKey& k) { k.executableSize++; },
        [](ClassDataKey& k) { k.executableTime++; },
        [](ClassDataKey& k) { k.executableTail[100] = 'b'; },  // a member changed, same size and time
        [](ClassDataKey& k) { k.runtime.append("x"); },
        [](ClassDataKey& k) { k.runtimeSize++; },
        [](ClassDataKey& k) { k.runtimeTime++; },
    };
    for (size_t i = 0; i < changes.size(); ++i) {
        ClassDataKey changed = key;
        changes[i](changed);
        const std::string other(classDataArchiveName(changed).view());
        EXPECT_NE(other, name) << "change " << i;
        // Only a change of path is a new place; a new version replaces the old.
        const bool moved = i == 0 || i == 4;
        EXPECT_EQ(other.substr(0, 17) != place, moved) << "change " << i;
    }
    // Fields do not run into each other.
    ClassDataKey a = key, b = key;
    a.executable.assign("ab");
    a.executableTail.assign("c");
    b.executable.assign("a");
    b.executableTail.assign("bc");
    EXPECT_NE(classDataArchiveName(a).view(), classDataArchiveName(b).view());

    EXPECT_FALSE(readClassDataKey(ByteString(tree.path("missing").c_str()), ByteString(runtime.c_str()), key));
    EXPECT_FALSE(readClassDataKey(ByteString(exe.c_str()), ByteString(tree.path("missing").c_str()), key));
}

TEST_F(ClassDataCache, OnlyAutoWithTheLoaderOutsideTheSystemClassLoader) {
    EXPECT_EQ(launch("assystemclassloader FALSE"), V{});
    EXPECT_EQ(launch("cds auto"), V{});
    EXPECT_EQ(launch("cds off\nassystemclassloader FALSE"), V{});
}

TEST_F(ClassDataCache, FirstLaunchWritesLaterLaunchesMap) {
    if (platform::userCacheDirectory().empty()) GTEST_SKIP() << "no user cache here";
    const std::string archive = archivePath();
    const std::string temporary = archive + ".tmp" + std::to_string(platform::currentProcessId());
    const V quiet = {"-Xshare:auto", "-Xlog:cds=off", "-Xlog:cds+dynamic=off"};
    V expected = {"-XX:ArchiveClassesAtExit=" + temporary};
    expected.insert(expected.end(), quiet.begin(), quiet.end());
    EXPECT_EQ(launch("cds auto\nassystemclassloader false"), expected);

    std::ofstream(archive) << "archive";
    fs::permissions(archive, fs::perms::owner_read | fs::perms::owner_write);
    expected = {"-XX:SharedArchiveFile=" + archive};
    expected.insert(expected.end(), quiet.begin(), quiet.end());
    EXPECT_EQ(launch("cds AUTO\nassystemclassloader FALSE"), expected);

    // An archive others may write is not trusted: it is written anew.
    ASSERT_TRUE(letOthersWrite(archive));
    EXPECT_EQ(launch("cds auto\nassystemclassloader FALSE")[0], "-XX:ArchiveClassesAtExit=" + temporary);
    fs::remove(archive);
    // Nor is a link to a file of the user's own.
    const std::string elsewhere = tree.file("elsewhere.jsa", "archive");
    fs::permissions(elsewhere, fs::perms::owner_read | fs::perms::owner_write);
    if (makeLink(elsewhere, archive, false)) {
        EXPECT_EQ(launch("cds auto\nassystemclassloader FALSE")[0], "-XX:ArchiveClassesAtExit=" + temporary);
    }
}

TEST_F(ClassDataCache, TheCacheDirectoryIsTheUsersOwnOrNone) {
    if (platform::userCacheDirectory().empty()) GTEST_SKIP() << "no user cache here";
    std::string directory(platform::userCacheDirectory().view());
    std::replace(directory.begin(), directory.end(), '\\', '/');
    EXPECT_EQ(directory, tree.path("cache/hux/"));
#ifndef _WIN32
    EXPECT_EQ(fs::status(tree.path("cache/hux")).permissions() & fs::perms::all, fs::perms::owner_all);
#endif
    // A cache others may write to, or a link in its place, is not used.
    env.set(cacheBaseVariable(), tree.dir("open"));
    ASSERT_TRUE(letOthersWrite(tree.path("open")));
    EXPECT_EQ(platform::userCacheDirectory().view(), "");
    EXPECT_EQ(launch("cds auto\nassystemclassloader FALSE"), V{});
    env.set(cacheBaseVariable(), tree.dir("linked"));
    if (makeLink(tree.dir("target"), tree.path("linked/hux"), true)) {
        EXPECT_EQ(platform::userCacheDirectory().view(), "");
    }
    // Nor is a base that is not an absolute path.
    env.set(cacheBaseVariable(), "relative");
    EXPECT_NE(platform::userCacheDirectory().view().find_first_of("/\\"), std::string_view::npos);
}

TEST(ClassDataCachePruning, ANewArchiveReplacesItsPredecessorsAndOldLeftovers) {
    TempTree tree;
    EnvGuard env;
    env.set(cacheBaseVariable(), tree.dir("xdg"));
    if (platform::userCacheDirectory().empty()) GTEST_SKIP() << "no user cache here";
    const std::string dir = tree.dir("cache") + "/";
    const std::string reference = tree.file("reference", "");
    int64_t size = 0, now = 0;
    ASSERT_TRUE(platform::fileIdentity(reference.c_str(), size, now));
    const auto file = [&](const std::string& name, int hoursOld) {
        const std::string path = tree.file("cache/" + name, "x");
        fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
        fs::last_write_time(path, fs::last_write_time(reference) - std::chrono::hours(hoursOld));
        return path;
    };
    const std::string kept = file("aaaa-1111.jsa", 0);
    const std::string predecessor = file("aaaa-2222.jsa", 0);
    const std::string otherPlace = file("bbbb-3333.jsa", 24 * 60);
    const std::string unused = file("cccc-4444.jsa", 24 * 91);
    const std::string staleTemporary = file("aaaa-5555.jsa.tmp99", 25);
    const std::string liveTemporary = file("dddd-6666.jsa.tmp98", 1);
    const std::string notOurs = file("notes.txt", 24 * 400);
    const std::string shared = file("aaaa-7777.jsa", 0);
    ASSERT_TRUE(letOthersWrite(shared));

    pruneClassDataArchives(ByteString(dir.c_str()), ByteString("aaaa-1111.jsa"), now);
    EXPECT_TRUE(fs::exists(kept));
    EXPECT_FALSE(fs::exists(predecessor));
    EXPECT_TRUE(fs::exists(otherPlace));
    EXPECT_FALSE(fs::exists(unused));
    EXPECT_FALSE(fs::exists(staleTemporary));
    EXPECT_TRUE(fs::exists(liveTemporary));
    EXPECT_TRUE(fs::exists(notOurs));
    EXPECT_TRUE(fs::exists(shared));  // not the user's private file: left alone
}
