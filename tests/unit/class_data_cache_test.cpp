// The class-data archive in the user's cache: its key, the options a launch
// gets, and the cache directory's guards.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/process.h"
#include "platform/user_cache.h"
#include "runtime/class_data_cache.h"
#include "runtime/jvm_host.h"
#include "support/test_support.h"

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
    // Puts `bytes` in place as a published archive with its record.
    static void publish(const std::string& archive, const std::string& bytes) {
        writePrivate(archive, bytes);
        writePrivate(recordOf(archive), recordFor(bytes));
    }
    static std::string recordOf(const std::string& archive) { return archive.substr(0, archive.size() - 4) + ".sum"; }
    static std::string recordFor(const std::string& bytes) {
        char text[96];
        std::snprintf(text, sizeof text, "hux class-data archive %zu %016llx\n", bytes.size(),
                      static_cast<unsigned long long>(
                          classDataChecksum(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size())));
        return text;
    }
    static void writePrivate(const std::string& path, const std::string& bytes) {
        if (fs::exists(path)) fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
        fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
    }
    std::string archivePath() {
        ClassDataKey key;
        EXPECT_TRUE(readClassDataKey(ByteString(exe.c_str()), ByteString(runtime.c_str()), key));
        return std::string(platform::userCacheDirectory().value().view()) +
               std::string(classDataArchiveName(key).view());
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
    if (platform::userCacheDirectory().value().empty()) GTEST_SKIP() << "no user cache here";
    const std::string archive = archivePath();
    const std::string temporary = archive + ".tmp" + std::to_string(platform::currentProcessId());
    const V quiet = {"-Xshare:auto", "-Xlog:cds=off", "-Xlog:cds+dynamic=off"};
    // Linux: the machine writes into a file in memory, which publishing
    // copies to the temporary name; Windows: to the temporary name itself.
#ifdef _WIN32
    const std::string writing = "-XX:ArchiveClassesAtExit=" + temporary;
#else
    const std::string writing = "-XX:ArchiveClassesAtExit=/proc/self/fd/";
#endif
    const auto writes = [&](const std::string& option) { return option.compare(0, writing.size(), writing) == 0; };
    V options = launch("cds auto\nassystemclassloader false");
    ASSERT_FALSE(options.empty());
    EXPECT_TRUE(writes(options[0])) << options[0];
    EXPECT_EQ(V(options.begin() + 1, options.end()), quiet);
    V expected;

    publish(archive, "archive");
    expected = {"-XX:SharedArchiveFile=" + archive};
    expected.insert(expected.end(), quiet.begin(), quiet.end());
    EXPECT_EQ(launch("cds AUTO\nassystemclassloader FALSE"), expected);

    // An archive others may write is not trusted: it is written anew.
    ASSERT_TRUE(letOthersWrite(archive));
    EXPECT_TRUE(writes(launch("cds auto\nassystemclassloader FALSE")[0]));
    fs::remove(archive);
    // Nor is a link to a file of the user's own.
    const std::string elsewhere = tree.file("elsewhere.jsa", "archive");
    fs::permissions(elsewhere, fs::perms::owner_read | fs::perms::owner_write);
    if (makeLink(elsewhere, archive, false)) {
        EXPECT_TRUE(writes(launch("cds auto\nassystemclassloader FALSE")[0]));
    }
}

TEST_F(ClassDataCache, TheCacheDirectoryIsTheUsersOwnOrNone) {
    if (platform::userCacheDirectory().value().empty()) GTEST_SKIP() << "no user cache here";
    std::string directory(platform::userCacheDirectory().value().view());
    std::replace(directory.begin(), directory.end(), '\\', '/');
    EXPECT_EQ(directory, tree.path("cache/hux/"));
#ifndef _WIN32
    EXPECT_EQ(fs::status(tree.path("cache/hux")).permissions() & fs::perms::all, fs::perms::owner_all);
#endif
    // A cache others may write to, or a link in its place, is not used.
    env.set(cacheBaseVariable(), tree.dir("open"));
    ASSERT_TRUE(letOthersWrite(tree.path("open")));
    EXPECT_EQ(platform::userCacheDirectory().value().view(), "");
    EXPECT_EQ(launch("cds auto\nassystemclassloader FALSE"), V{});
    env.set(cacheBaseVariable(), tree.dir("linked"));
    if (makeLink(tree.dir("target"), tree.path("linked/hux"), true)) {
        EXPECT_EQ(platform::userCacheDirectory().value().view(), "");
    }
    // Nor is a base that is not an absolute path.
    env.set(cacheBaseVariable(), "relative");
    EXPECT_NE(platform::userCacheDirectory().value().view().find_first_of("/\\"), std::string_view::npos);
}

TEST(ClassDataCachePruning, ANewArchiveReplacesItsPredecessorsAndOldLeftovers) {
    TempTree tree;
    EnvGuard env;
    env.set(cacheBaseVariable(), tree.dir("xdg"));
    if (platform::userCacheDirectory().value().empty()) GTEST_SKIP() << "no user cache here";
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
    // Records go with their archives; markers and record temporaries age
    // like temporary archives.
    const std::string keptRecord = file("aaaa-1111.sum", 0);
    const std::string keptMarker = file("aaaa-1111.run77", 48);
    const std::string predecessorRecord = file("aaaa-2222.sum", 0);
    const std::string otherRecord = file("bbbb-3333.sum", 24 * 60);
    const std::string staleMarker = file("bbbb-3333.run5", 25);
    const std::string liveMarker = file("bbbb-3333.run6", 1);
    const std::string staleRecordTemporary = file("cccc-4444.sum.tmp12", 25);
    const std::string staleList = file("cccc-4444.lst.tmp7", 25);
    const std::string liveFailure = file("dddd-6666.failed", 1);  // holds the next dump off for a day
    const std::string staleFailure = file("bbbb-3333.failed", 25);
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
    EXPECT_TRUE(fs::exists(keptRecord));
    EXPECT_TRUE(fs::exists(keptMarker));
    EXPECT_FALSE(fs::exists(predecessorRecord));
    EXPECT_TRUE(fs::exists(otherRecord));
    EXPECT_FALSE(fs::exists(staleMarker));
    EXPECT_TRUE(fs::exists(liveMarker));
    EXPECT_FALSE(fs::exists(staleRecordTemporary));
    EXPECT_FALSE(fs::exists(staleList));
    EXPECT_TRUE(fs::exists(liveFailure));
    EXPECT_FALSE(fs::exists(staleFailure));
}

TEST(ClassDataChecksum, EveryFlippedBitAndEveryLengthChangesIt) {
    std::string bytes(4099, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 131 + 7);
    const auto sum = [](const std::string& b) {
        return classDataChecksum(reinterpret_cast<const uint8_t*>(b.data()), b.size());
    };
    const uint64_t whole = sum(bytes);
    EXPECT_EQ(sum(bytes), whole);
    // Every bit in the lanes, the 8-byte tail and the last bytes.
    for (size_t at : {size_t{0}, size_t{31}, size_t{2048}, size_t{4095}, size_t{4096}, size_t{4098}}) {
        for (int bit = 0; bit < 8; ++bit) {
            std::string flipped = bytes;
            flipped[at] ^= static_cast<char>(1 << bit);
            EXPECT_NE(sum(flipped), whole) << at << ":" << bit;
        }
    }
    for (size_t length : {size_t{0}, size_t{1}, size_t{31}, size_t{32}, size_t{4098}})
        EXPECT_NE(sum(bytes.substr(0, length)), whole) << length;
    EXPECT_NE(sum(bytes + '\0'), whole);
}

TEST_F(ClassDataCache, AnArchiveThatFailsItsRecordIsRemovedAndWrittenAnew) {
    if (platform::userCacheDirectory().value().empty()) GTEST_SKIP() << "no user cache here";
    const std::string archive = archivePath();
    const std::string record = recordOf(archive);
    const std::string bytes(10000, 'j');
    struct Case {
        const char* name;
        void (*damage)(const std::string& archive, const std::string& record);
    };
    const Case cases[] = {
        {"no record", [](const std::string&, const std::string& r) { fs::remove(r); }},
        {"truncated", [](const std::string& a, const std::string&) { fs::resize_file(a, 4096); }},
        {"one byte changed",
         [](const std::string& a, const std::string&) { writePrivate(a, std::string(9999, 'j') + 'k'); }},
        {"grown", [](const std::string& a, const std::string&) { writePrivate(a, std::string(10001, 'j')); }},
        {"record of another file", [](const std::string&, const std::string& r) { writePrivate(r, recordFor("x")); }},
        {"record others may write", [](const std::string&, const std::string& r) { letOthersWrite(r); }},
        {"empty record", [](const std::string&, const std::string& r) { writePrivate(r, ""); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        publish(archive, bytes);
        ASSERT_TRUE(classDataArchiveIsWhole(ByteString(archive.c_str())));
        c.damage(archive, record);
        EXPECT_FALSE(classDataArchiveIsWhole(ByteString(archive.c_str())));
        const V options = launch("cds auto\nassystemclassloader false");
        ASSERT_FALSE(options.empty());
        EXPECT_EQ(options[0].rfind("-XX:ArchiveClassesAtExit=", 0), 0u) << options[0];
        EXPECT_FALSE(fs::exists(archive));
        EXPECT_FALSE(fs::exists(record));
        fs::remove(record);
    }
}

TEST_F(ClassDataCache, AMarkerLeftByADeadLaunchMarksTheArchiveBad) {
    if (platform::userCacheDirectory().value().empty()) GTEST_SKIP() << "no user cache here";
    const std::string archive = archivePath();
    const std::string stem = archive.substr(0, archive.size() - 4);
    const ByteString directory = platform::userCacheDirectory().value();
    publish(archive, "archive");
    // Held by a running launch (this process, through another handle): not
    // abandoned; empty (being made): not abandoned; armed and let go: abandoned.
    platform::LiveMarker live;
    ASSERT_TRUE(live.hold((stem + ".run1").c_str()));
    writePrivate(stem + ".run2", "");
    EXPECT_EQ(abandonedMarkers(directory, ByteString(archive.c_str())).size(), 0u);
    EXPECT_EQ(launch("cds auto\nassystemclassloader false")[0], "-XX:SharedArchiveFile=" + archive);
    // This launch's own marker is held too.
    const std::string own = stem + ".run" + std::to_string(platform::currentProcessId());
    EXPECT_TRUE(fs::exists(own));
    EXPECT_FALSE(platform::isAbandonedMarker(own.c_str()));

    writePrivate(stem + ".run3", "1");
    const auto found = abandonedMarkers(directory, ByteString(archive.c_str()));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(std::string(found[0].view()), stem + ".run3");
    EXPECT_EQ(launch("cds auto\nassystemclassloader false")[0].rfind("-XX:ArchiveClassesAtExit=", 0), 0u);
    EXPECT_FALSE(fs::exists(archive));
    EXPECT_FALSE(fs::exists(stem + ".sum"));
    EXPECT_FALSE(fs::exists(stem + ".run3"));
    EXPECT_TRUE(fs::exists(stem + ".run1"));
    live.drop();
    EXPECT_FALSE(fs::exists(stem + ".run1"));
}

TEST_F(ClassDataCache, ALaterLaunchInTheProcessEndsTheEarlierOnesMarker) {
    if (platform::userCacheDirectory().value().empty()) GTEST_SKIP() << "no user cache here";
    const std::string archive = archivePath();
    const std::string own =
        archive.substr(0, archive.size() - 4) + ".run" + std::to_string(platform::currentProcessId());
    publish(archive, "archive");
    // Each kind of later launch: mapping the same archive again, one without
    // the cache, one of another executable.
    const std::string app = exe, other = tree.file("other/app.exe", "other");
    const struct {
        const char* lines;
        const std::string& executable;
        bool ownAfter;
    } cases[] = {
        {"cds auto\nassystemclassloader false", app, true},
        {"assystemclassloader false", app, false},
        {"cds auto\nassystemclassloader false", other, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lines);
        exe = app;
        ASSERT_EQ(launch("cds auto\nassystemclassloader false")[0], "-XX:SharedArchiveFile=" + archive);
        ASSERT_FALSE(platform::isAbandonedMarker(own.c_str()));
        exe = c.executable;
        launch(c.lines);
        EXPECT_EQ(fs::exists(own), c.ownAfter);
        EXPECT_FALSE(platform::isAbandonedMarker(own.c_str()));
    }
    // Nothing of this process stays in the cache: it can be removed at once.
    launch("cds off");
    std::error_code error;
    fs::remove_all(tree.path("cache"), error);
    EXPECT_FALSE(error) << error.message();
    EXPECT_FALSE(fs::exists(tree.path("cache")));
}

TEST(LiveMarker, ADroppedOrForgottenMarkerLeavesNothingAndAHeldOneIsNotAbandoned) {
    TempTree tree;
    const std::string path = tree.path("m.run1");
    for (bool explicitDrop : {true, false}) {
        SCOPED_TRACE(explicitDrop ? "dropped" : "destroyed");
        {
            platform::LiveMarker marker;
            ASSERT_TRUE(marker.hold(path.c_str()));
            EXPECT_TRUE(marker.hold(path.c_str()));  // held already
            EXPECT_TRUE(fs::exists(path));
            EXPECT_FALSE(platform::isAbandonedMarker(path.c_str()));
            // A second holder, in this process too, cannot take it.
            platform::LiveMarker second;
            EXPECT_FALSE(second.hold(path.c_str()));
            EXPECT_FALSE(platform::isAbandonedMarker(path.c_str()));
            if (explicitDrop) {
                marker.drop();
                marker.drop();
            }
        }
        EXPECT_FALSE(fs::exists(path));
        // The name is gone, not pending: the directory is empty.
        EXPECT_TRUE(fs::is_empty(tree.root()));
    }
}

// Warnings go off only where a runtime before Java 21 would print the sharing
// note as a plain warning: it maps an archive and the packer's line quiets the
// note; otherwise the user's own option warnings stay visible.
TEST_F(ClassDataCache, WarningsGoOffOnlyWhereTheSharingNoteWouldShow) {
    const std::string quiet = "option -Xlog:cds=off\n";
    const struct {
        std::string lines, version;
        bool archive, off;
    } cases[] = {
        {quiet, "17.0.2", true, true},
        {quiet, "1.8.0_402", true, true},
        {quiet, "", true, true},  // no release file: as before
        {quiet, "21.0.1", true, false},
        {quiet, "25", true, false},
        {quiet, "17.0.2", false, false},  // no archive, no note
        {quiet + "option -XX:SharedArchiveFile=/x.jsa\n", "17.0.2", false, true},
        {quiet + "option -Xshare:off\n", "17.0.2", true, false},
        {quiet + "option -XX:+PrintWarnings\n", "17.0.2", true, false},
        {quiet + "assystemclassloader false\n", "17.0.2", true, false},
        {"", "17.0.2", true, false},  // packed with --keep-sharing-note
    };
    for (const auto& c : cases) {
        if (c.archive)
            tree.file("rt/lib/server/classes.jsa", "archive");
        else
            fs::remove(tree.path("rt/lib/server/classes.jsa"));
        auto config = makeConfig(c.lines, exe, tree.path("work/"));
        EXPECT_EQ(sharingNoteNeedsWarningsOff(*config, ByteString(runtime.c_str()), ByteString(c.version.c_str())),
                  c.off)
            << c.lines << c.version << (c.archive ? " with an archive" : "");
    }
}
