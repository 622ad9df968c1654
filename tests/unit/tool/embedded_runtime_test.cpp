// A runtime image stored in a payload by the packer and unpacked by the
// launcher into the user's cache: once, whole, reused while it matches its
// index, unpacked again when it does not, and never into a directory that is
// not the user's own. The index format itself is checked line by line.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include "archive/zip_reader.h"
#include "common/runtime_index.h"
#include "platform/user_cache.h"
#include "runtime/embedded_runtime.h"
#include "support/test_support.h"
#include "tool/runtime/runtime_image.h"
#include "tool/payload/zip_writer.h"

using namespace hux;
using hux::test::cacheBaseVariable;
using hux::test::EnvGuard;
using hux::test::makeConfig;
using hux::test::TempTree;
namespace fs = std::filesystem;

namespace {

TEST(RuntimeIndex, ParsesWhatItFormatsAndRefusesEveryMalformedLine) {
    RuntimeIndex index;
    index.hash = std::string(32, 'a');
    index.files = {{"bin/java", 5, true, ""},
                   {"legal/a/LICENSE", 7, false, "lib/server/libjvm.so"},
                   {"lib/server/libjvm.so", 7, false, ""}};
    index.totalBytes = 19;
    const std::string text = formatRuntimeIndex(index);
    RuntimeIndex back;
    std::string error;
    ASSERT_TRUE(parseRuntimeIndex(text, back, error)) << error;
    EXPECT_EQ(back.hash, index.hash);
    ASSERT_EQ(back.files.size(), 3u);
    EXPECT_TRUE(back.files[0].executable);
    EXPECT_EQ(back.files[1].path, "legal/a/LICENSE");
    EXPECT_EQ(back.files[1].linkTo, "lib/server/libjvm.so");
    EXPECT_EQ(back.files[2].path, "lib/server/libjvm.so");
    EXPECT_EQ(back.totalBytes, 19u);

    const std::string head = "hux runtime index 1\nhash " + std::string(32, 'a') + "\n";
    const struct {
        const char* what;
        std::string text;
    } bad[] = {
        {"other header", "hux runtime index 2\n" + text.substr(text.find('\n') + 1)},
        {"short hash", "hux runtime index 1\nhash abc\nfiles 0 0\n"},
        {"upper-case hash", "hux runtime index 1\nhash " + std::string(32, 'A') + "\nfiles 0 0\n"},
        {"count too high", head + "files 2 5\n- 5 a\n"},
        {"total wrong", head + "files 1 6\n- 5 a\n"},
        {"a total that wraps",
         head + "files 2 1553255926290448382\n- 9999999999999999999 a\n- 9999999999999999999 b\n"},
        {"no line feed at the end", head + "files 1 5\n- 5 a"},
        {"kind not x or -", head + "files 1 5\nr 5 a\n"},
        {"size not a number", head + "files 1 5\n- 5k a\n"},
        {"parent step", head + "files 1 5\n- 5 lib/../../x\n"},
        {"absolute", head + "files 1 5\n- 5 /etc/x\n"},
        {"backslash", head + "files 1 5\n- 5 lib\\x\n"},
        {"drive or stream", head + "files 1 5\n- 5 c:x\n"},
        {"empty component", head + "files 1 5\n- 5 lib//x\n"},
        {"the completion file", head + "files 1 5\n- 5 .hux-complete\n"},
        {"no files line", head},
        {"the same name twice", head + "files 2 10\n- 5 a\n- 5 a\n"},
        {"a link without its target", head + "files 2 10\n- 5 a\n= 5 b\n"},
        {"a link to nothing stored", head + "files 2 10\n- 5 a\n= 5 b\tc\n"},
        {"a link to a link", head + "files 3 15\n- 5 a\n= 5 b\ta\n= 5 c\tb\n"},
        {"a link of another size", head + "files 2 11\n- 5 a\n= 6 b\ta\n"},
        {"a link leaving the image", head + "files 2 10\n- 5 a\n= 5 b\t../a\n"},
    };
    for (const auto& c : bad) EXPECT_FALSE(parseRuntimeIndex(c.text, back, error)) << c.what;
}

TEST(RuntimeIndex, TheContentHashFollowsEveryByteNameAndMode) {
    TempTree a, b;
    for (TempTree* t : {&a, &b}) {
        t->file("lib/server/libjvm.so", "library");
        t->file("release", "JAVA_VERSION=\"17\"\n");
    }
    RuntimeIndex ia, ib;
    std::string error;
    ASSERT_TRUE(tool::indexRuntimeImage(a.root(), ia, error)) << error;
    ASSERT_TRUE(tool::indexRuntimeImage(b.root(), ib, error)) << error;
    EXPECT_EQ(ia.hash, ib.hash) << "the same image gives the same hash";
    ASSERT_EQ(ia.files.size(), 2u);
    const struct {
        const char* what;
        void (*change)(const TempTree&);
    } changes[] = {
        {"one byte", [](const TempTree& t) { t.file("lib/server/libjvm.so", "librarz"); }},
        {"one more byte", [](const TempTree& t) { t.file("release", "JAVA_VERSION=\"17\"\n\n"); }},
        {"a renamed file", [](const TempTree& t) { fs::rename(t.path("release"), t.path("releasf")); }},
        {"a new empty file", [](const TempTree& t) { t.file("empty", ""); }},
    };
    for (const auto& c : changes) {
        TempTree t;
        t.file("lib/server/libjvm.so", "library");
        t.file("release", "JAVA_VERSION=\"17\"\n");
        c.change(t);
        RuntimeIndex changed;
        ASSERT_TRUE(tool::indexRuntimeImage(t.root(), changed, error)) << error;
        EXPECT_NE(changed.hash, ia.hash) << c.what;
    }
}

TEST(RuntimeIndex, MultiReleaseVersionComesFromMinjreElseTheJdk) {
    TempTree jdk;
    jdk.file("release", "IMPLEMENTOR=\"x\"\nJAVA_VERSION=\"21.0.2\"\n");
    const struct {
        const char* minjre;
        int version;
    } cases[] = {{"1.8", 8}, {"11", 11}, {"17.0.2", 17}, {"", 21}};
    for (const auto& c : cases) EXPECT_EQ(tool::multiReleaseVersion(c.minjre, jdk.root()), c.version) << c.minjre;
}

// An executable whose payload carries a small runtime image.
class EmbeddedRuntime : public ::testing::Test {
protected:
    void SetUp() override {
        env.set(cacheBaseVariable(), tree.dir("cache"));
        if (platform::userCacheDirectory().value().empty()) GTEST_SKIP() << "no user cache here";
        image.file("lib/server/libjvm.so", std::string(70000, 'j'));
        image.file("bin/java", "#!/bin/sh\n");
        fs::permissions(image.path("bin/java"), fs::perms(0755));
        image.file("release", "JAVA_VERSION=\"17\"\n");
        packImage();
    }
    void TearDown() override { resetEmbeddedRuntimeForTesting(); }

    // Writes the executable carrying `image`.
    void packImage(std::vector<std::string>* warnings = nullptr) {
        std::string error;
        ASSERT_TRUE(tool::indexRuntimeImage(image.root(), index, error, warnings)) << error;
        tool::ZipWriter zip;
        ASSERT_TRUE(zip.add("app.jar", std::vector<uint8_t>(10, 1), tool::ZipWriter::Method::Stored, error));
        // The Linux launcher's files go in with Zstandard where this build writes it.
        ASSERT_TRUE(tool::addRuntimeImage(zip, image.root(), index, tool::zstdForTarget("linux-x64"), error)) << error;
        ASSERT_TRUE(zip.finish(error));
        exe = tree.path("app");
        std::ofstream(exe, std::ios::binary)
            .write(reinterpret_cast<const char*>(zip.bytes().data()), static_cast<std::streamsize>(zip.bytes().size()));
        home = tree.path("cache/hux/runtimes/" + index.hash);
    }

    ByteString unpack(ByteString* failure = nullptr) {
        resetEmbeddedRuntimeForTesting();
        auto config = makeConfig("", exe, tree.path("work/"));
        ByteString why;
        const ByteString result = embeddedRuntimeHome(*config, why);
        if (failure) *failure = why;
        return result;
    }
    std::string library() const { return home + "/lib/server/libjvm.so"; }

    EnvGuard env;
    TempTree tree, image;
    RuntimeIndex index;
    std::string exe, home;
};

TEST_F(EmbeddedRuntime, UnpacksOnceAndLaterLaunchesFindItReady) {
    const ByteString first = unpack();
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(fs::path(first.c_str()), fs::path(home));
    EXPECT_EQ(fs::file_size(library()), 70000u);
    EXPECT_TRUE(fs::exists(home + "/.hux-complete"));
#ifndef _WIN32
    EXPECT_NE(fs::status(home + "/bin/java").permissions() & fs::perms::owner_exec, fs::perms::none);
    EXPECT_EQ(fs::status(home + "/release").permissions() & fs::perms::owner_exec, fs::perms::none);
#endif
    // A later launch reuses the copy: a file added to it stays, nothing is
    // unpacked and no temporary tree appears.
    std::ofstream(home + "/lib/extra").put('x');
    EXPECT_EQ(std::string(unpack().c_str()), std::string(first.c_str()));
    EXPECT_TRUE(fs::exists(home + "/lib/extra"));
    int trees = 0;
    for (const auto& e : fs::directory_iterator(tree.path("cache/hux/runtimes"))) trees += e.is_directory();
    EXPECT_EQ(trees, 1);
}

TEST_F(EmbeddedRuntime, ADamagedOrUnfinishedCopyIsUnpackedAgain) {
    const struct {
        const char* what;
        void (*damage)(const std::string& home);
    } cases[] = {
        {"the library cut short", [](const std::string& h) { fs::resize_file(h + "/lib/server/libjvm.so", 100); }},
        {"the library grown", [](const std::string& h) { fs::resize_file(h + "/lib/server/libjvm.so", 70001); }},
        {"a file removed", [](const std::string& h) { fs::remove(h + "/release"); }},
        {"no completion file", [](const std::string& h) { fs::remove(h + "/.hux-complete"); }},
        {"another completion text", [](const std::string& h) { std::ofstream(h + "/.hux-complete") << "x\n"; }},
        {"a file swapped for a directory",
         [](const std::string& h) {
             fs::remove(h + "/release");
             fs::create_directory(h + "/release");
         }},
    };
    for (const auto& c : cases) {
        ASSERT_FALSE(unpack().empty()) << c.what;
        c.damage(home);
        ASSERT_FALSE(unpack().empty()) << c.what;
        EXPECT_EQ(fs::file_size(library()), 70000u) << c.what;
        EXPECT_TRUE(fs::is_regular_file(home + "/release")) << c.what;
        int entries = 0;
        for (const auto& e : fs::directory_iterator(tree.path("cache/hux/runtimes"))) {
            (void)e;
            ++entries;
        }
        EXPECT_EQ(entries, 1) << c.what << ": the damaged copy is gone";
    }
}

TEST_F(EmbeddedRuntime, AChangedByteInTheCarriedLibraryIsNamedAndNothingIsUnpacked) {
    // The library's compressed bytes (Zstandard on Linux, deflate elsewhere):
    // one of them changed makes the unpack fail on that file, whichever method
    // wrote it, and leaves no tree behind. The library's bytes vary: a run of
    // one byte decodes to the same bytes after many a change.
    std::string varied(70000, '\0');
    uint32_t seed = 12345;
    for (char& c : varied) c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 24);
    image.file("lib/server/libjvm.so", varied);
    packImage();
    std::string bytes;
    {
        std::ifstream in(exe, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    // Where the entry's bytes lie, from the archive's own directory.
    int64_t start = -1;
    uint64_t length = 0;
    {
        ZipReader reader;
        auto source = std::make_unique<FileSource>();
        ASSERT_TRUE(source->open(exe.c_str()));
        ASSERT_TRUE(reader.open(std::move(source)));
        for (int32_t i = 0; i < reader.entryCount(); ++i) {
            const ZipEntry& e = reader.entry(i);
            if (std::string(e.name, static_cast<size_t>(e.nameLength)) != "hux-runtime/lib/server/libjvm.so") continue;
            ASSERT_TRUE(reader.dataOffset(i, start));
            length = e.compressedSize;
        }
    }
    ASSERT_GE(start, 0);
    ASSERT_GT(length, 8u);
    bytes[static_cast<size_t>(start) + static_cast<size_t>(length / 2)] ^= 0x20;
    std::ofstream(exe, std::ios::binary | std::ios::trunc) << bytes;

    ByteString failure;
    EXPECT_TRUE(unpack(&failure).empty());
    EXPECT_NE(std::string(failure.c_str()).find("damaged at lib/server/libjvm.so"), std::string::npos)
        << failure.c_str();
    EXPECT_FALSE(fs::exists(home));
}

// A start that died before main leaves its marker: the next launch checks the
// contents, which the per-launch size check does not.
TEST_F(EmbeddedRuntime, AfterAStartDiedBeforeMainTheContentsAreCheckedAndRepaired) {
    const struct {
        const char* what;
        bool died, flipped;
        char expected;  // the library's byte 1000 after the next launch
    } cases[] = {
        {"a start died, a byte flipped", true, true, 'j'},
        {"a start died, nothing changed", true, false, 'j'},
        {"no start died: the contents are not read", false, true, 'k'},
    };
    for (const auto& c : cases) {
        resetEmbeddedRuntimeForTesting();  // Windows keeps a held marker from being removed
        fs::remove_all(tree.path("cache/hux/runtimes"));
        ASSERT_FALSE(unpack().empty()) << c.what;
        const std::string marker = home + "/.hux-start" + std::to_string(1u << 22);
        if (c.died) {
            std::ofstream(marker) << "1";  // as a holder leaves it, unlocked
            fs::permissions(marker, fs::perms(0600));
        }
        if (c.flipped) {
            std::fstream file(library(), std::ios::in | std::ios::out | std::ios::binary);
            file.seekp(1000);
            file.put('k');
        }
        resetEmbeddedRuntimeForTesting();
        ASSERT_FALSE(unpack().empty()) << c.what;
        std::ifstream file(library(), std::ios::binary);
        file.seekg(1000);
        EXPECT_EQ(file.get(), c.expected) << c.what;
        EXPECT_FALSE(fs::exists(marker)) << c.what << ": the marker is dealt with";
        EXPECT_EQ(fs::file_size(library()), 70000u) << c.what;
    }
}

// jlink's legal notices link to java.base's; a JDK's cacerts leads out of it.
TEST_F(EmbeddedRuntime, LinksAreStoredOnceAndUnpackedAsCopiesUnderTheirOwnNames) {
    image.file("legal/java.base/LICENSE", "the license");
    TempTree elsewhere;
    const std::string certs = elsewhere.file("etc/ssl/certs/java/cacerts", "certificates");
    fs::create_directories(image.path("legal/java.xml"));
    fs::create_directories(image.path("lib/security"));
    if (!hux::test::makeLink("../java.base/LICENSE", image.path("legal/java.xml/LICENSE"), false) ||
        !hux::test::makeLink("../java.xml/LICENSE", image.path("legal/java.base/NOTICE"), false) ||
        !hux::test::makeLink(certs, image.path("lib/security/cacerts"), false))
        GTEST_SKIP() << "links cannot be made here";
    std::vector<std::string> warnings;
    packImage(&warnings);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("'lib/security/cacerts' links to '" + fs::canonical(certs).generic_string() + "'"),
              std::string::npos)
        << warnings[0];
    const std::string text = formatRuntimeIndex(index);
    EXPECT_NE(text.find("= 11 legal/java.xml/LICENSE\tlegal/java.base/LICENSE\n"), std::string::npos) << text;
    EXPECT_NE(text.find("= 11 legal/java.base/NOTICE\tlegal/java.base/LICENSE\n"), std::string::npos) << text;
    EXPECT_NE(text.find("- 12 lib/security/cacerts\n"), std::string::npos) << text;
    // Each name is in the archive once, the links' not at all.
    std::ifstream in(exe, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (const char* name : {"hux-runtime/legal/java.base/LICENSE", "hux-runtime/lib/security/cacerts"}) {
        size_t count = 0;
        for (size_t at = bytes.find(name); at != std::string::npos; at = bytes.find(name, at + 1)) ++count;
        EXPECT_EQ(count, 2u) << name << ": a local header and a directory entry";
    }
    EXPECT_EQ(bytes.find("hux-runtime/legal/java.xml/LICENSE"), std::string::npos);

    ASSERT_FALSE(unpack().empty());
    const struct {
        const char* path;
        const char* content;
    } files[] = {{"legal/java.base/LICENSE", "the license"},
                 {"legal/java.xml/LICENSE", "the license"},
                 {"legal/java.base/NOTICE", "the license"},
                 {"lib/security/cacerts", "certificates"}};
    for (const auto& f : files) {
        EXPECT_FALSE(fs::is_symlink(home + "/" + f.path)) << f.path;
        std::ifstream file(home + "/" + f.path, std::ios::binary);
        EXPECT_EQ(std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>()), f.content)
            << f.path;
    }

    // What cannot be carried is refused by name.
    fs::remove(certs);
    std::string error;
    EXPECT_FALSE(tool::indexRuntimeImage(image.root(), index, error));
    EXPECT_NE(error.find("lib/security/cacerts', a link to '" + certs + "', which does not exist"), std::string::npos)
        << error;
}

TEST_F(EmbeddedRuntime, CopiesUnusedFor90DaysGoWhenAnotherIsUnpacked) {
    const std::string runtimes = tree.path("cache/hux/runtimes/");
    const struct {
        std::string name;
        std::chrono::hours age;
        bool kept;
    } others[] = {
        {std::string(32, '1'), std::chrono::hours(24 * 91), false},
        {std::string(32, '2'), std::chrono::hours(24 * 89), true},
        {std::string(32, '3') + ".tmp42", std::chrono::hours(25), false},
        {std::string(32, '4') + ".tmp43", std::chrono::hours(1), true},
        {"not-ours", std::chrono::hours(24 * 400), true},
    };
    for (const auto& o : others) {
        fs::create_directories(runtimes + o.name);
        std::ofstream(runtimes + o.name + "/.hux-complete") << "x\n";
        ASSERT_TRUE(hux::test::makeOlder(runtimes + o.name + "/.hux-complete", o.age));
        ASSERT_TRUE(hux::test::makeOlder(runtimes + o.name, o.age));
    }
    ASSERT_FALSE(unpack().empty());
    for (const auto& o : others) EXPECT_EQ(fs::exists(runtimes + o.name), o.kept) << o.name;
}

TEST_F(EmbeddedRuntime, ACacheOthersCanChangeIsRefused) {
    const struct {
        const char* what;
        bool (*spoil)(const TempTree& tree);
    } cases[] = {
        {"runtimes writable by others",
         [](const TempTree& t) {
             fs::create_directories(t.path("cache/hux/runtimes"));
             return hux::test::letOthersWrite(t.path("cache/hux/runtimes"));
         }},
        {"runtimes a link",
         [](const TempTree& t) {
             fs::create_directories(t.path("elsewhere"));
             fs::create_directories(t.path("cache/hux"));
             return hux::test::makeLink(t.path("elsewhere"), t.path("cache/hux/runtimes"), true);
         }},
    };
    for (const auto& c : cases) {
        TempTree fresh;
        env.set(cacheBaseVariable(), fresh.dir("cache"));
        if (!c.spoil(fresh)) continue;  // links cannot be made here
        ByteString failure;
        EXPECT_TRUE(unpack(&failure).empty()) << c.what;
        EXPECT_NE(std::string(failure.c_str()).find("is not a private directory of the user's own"), std::string::npos)
            << c.what << ": " << failure.c_str();
        EXPECT_FALSE(fs::exists(fresh.path("elsewhere/" + index.hash))) << c.what;
    }
}

TEST_F(EmbeddedRuntime, AnExecutableWithoutARuntimeHasNone) {
    tool::ZipWriter zip;
    std::string error;
    ASSERT_TRUE(zip.add("app.jar", std::vector<uint8_t>(10, 1), tool::ZipWriter::Method::Stored, error));
    ASSERT_TRUE(zip.finish(error));
    std::ofstream(exe, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(zip.bytes().data()), static_cast<std::streamsize>(zip.bytes().size()));
    ByteString failure;
    EXPECT_TRUE(unpack(&failure).empty());
    EXPECT_TRUE(failure.empty()) << failure.c_str();
    EXPECT_FALSE(fs::exists(tree.path("cache/hux/runtimes")));
}

}  // namespace

TEST_F(EmbeddedRuntime, AKeptFrameThatNoLongerDecodesToTheFileIsMadeAgain) {
    if (!tool::zstdForTarget("linux-x64")) GTEST_SKIP() << "this build writes no Zstandard frames";
    std::vector<fs::path> kept;
    for (const auto& e : fs::directory_iterator(tree.path("cache/hux/frames"))) kept.push_back(e.path());
    ASSERT_EQ(kept.size(), 1u) << "the library's frame is kept for the next pack";
    const auto original = fs::file_size(kept[0]);
    const struct {
        const char* what;
        void (*damage)(const fs::path&);
    } cases[] = {
        {"garbage", [](const fs::path& f) { std::ofstream(f, std::ios::binary | std::ios::trunc) << "not a frame"; }},
        {"cut short", [](const fs::path& f) { fs::resize_file(f, fs::file_size(f) / 2); }},
    };
    for (const auto& c : cases) {
        c.damage(kept[0]);
        packImage();
        ASSERT_FALSE(unpack().empty()) << c.what;
        std::ifstream in(library(), std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()),
                  std::string(70000, 'j'))
            << c.what;
        EXPECT_EQ(fs::file_size(kept[0]), original) << c.what << ": the frame is made and kept again";
        fs::remove_all(home);
    }
}
