#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "archive/archive_store.h"
#include "archive/name_forms.h"
#include "archive/entry_names.h"
#include "support/test_support.h"
#include "support/zip_builder.h"

using namespace hux;
using hux::test::buildZip;
using hux::test::ZipItem;

namespace {

// Collects the committed bytes; counts the calls so that a dropped array can be told apart.
struct TestSink : ByteArraySink {
    std::string bytes;
    int creates = 0, commits = 0, aborts = 0;
    bool create(int32_t size) override {
        ++creates;
        bytes.assign(static_cast<size_t>(size), '\xAA');
        return true;
    }
    uint8_t* elements() override { return reinterpret_cast<uint8_t*>(&bytes[0]); }
    void commit(bool ok) override {
        ++commits;
        if (!ok) {
            ++aborts;
            bytes.clear();
        }
    }
};

void openStore(ArchiveStore& store, const std::string& zip) {
    auto* copy = static_cast<uint8_t*>(std::malloc(zip.size() + 1));
    std::memcpy(copy, zip.data(), zip.size());
    store.openFromMemory(copy, static_cast<int32_t>(zip.size()));
}

// The bytes readEntry yields, or "<null>".
std::string read(ArchiveStore& store, const std::string& name, bool searchNested) {
    TestSink sink;
    if (!store.readEntry(sink, name, searchNested)) {
        EXPECT_EQ(sink.creates, sink.aborts) << "a failed read left an array behind";
        return "<null>";
    }
    EXPECT_EQ(sink.commits - sink.aborts, 1);
    return sink.bytes;
}

std::string locate(const ArchiveStore& store, const std::string& name) {
    ByteString full;
    return store.locateResource(name, "", full) ? std::string(full.view()) : "<none>";
}

std::vector<std::string> locateAll(const ArchiveStore& store, const std::string& name) {
    std::vector<std::string> all;
    store.locateResource(name, "", [&](const ByteString& full) { all.emplace_back(full.view()); });
    return all;
}

std::string resourceNorm(const char* s) {
    ByteString b(s);
    normalizeResourceName(b);
    return std::string(b.view());
}
std::string entryNorm(const char* s) {
    ByteString b(s);
    normalizeEntryName(b);
    return std::string(b.view());
}

// root: top.txt, dup.txt, libs/a.jar, m.jar, b.jar, LIB/X.JAR, .jar, zero.jar, junk.zip, bad.jar
//   libs/a.jar: x/y.txt, dup.txt, inner/b.jar
//     inner/b.jar: d.txt, dup.txt, deep.jar (third level: never opened)
//   m.jar: dup.txt, only-m.txt     b.jar: dup.txt      LIB/X.JAR: upper.txt
std::string treeArchive() {
    const std::string deep = buildZip({{"e.txt", "E"}});
    const std::string b = buildZip({{"d.txt", "D"}, {"dup.txt", "dup in b"}, {"deep.jar", deep, 0}});
    const std::string a = buildZip({{"x/y.txt", "Y"}, {"dup.txt", "dup in a"}, {"inner/b.jar", b, 8}});
    ZipItem badJar{"bad.jar", buildZip({{"hidden.txt", "H"}}), 8};
    badJar.crcXor = 1;
    return buildZip({{"top.txt", "TOP", 0},
                     {"libs/a.jar", a, 0},
                     {"m.jar", buildZip({{"dup.txt", "dup in m"}, {"only-m.txt", "M"}}), 8},
                     {"b.jar", buildZip({{"dup.txt", "dup in top b"}}), 0},
                     {"LIB/X.JAR", buildZip({{"upper.txt", "U"}}), 0},
                     {".jar", buildZip({{"dot.txt", "."}}), 0},
                     {"zero.jar", "", 0},
                     {"junk.zip", "this is not an archive", 8},
                     {"empty.txt", "", 8},
                     badJar});
}

}  // namespace

TEST(EntryNames, IndexOrderAndNormalisations) {
    EXPECT_LT(compareEntryNames("zz", "aaa"), 0);    // shorter first
    EXPECT_LT(compareEntryNames("a\x80", "aa"), 0);  // signed bytes: high bytes before ASCII
    EXPECT_EQ(compareEntryNames("a/b\\c", "a\\b/c"), 0);
    EXPECT_NE(compareEntryNames("A", "a"), 0);
    EXPECT_FALSE(entryNamesEqual("a/b", "a/bb"));

    EXPECT_EQ(resourceNorm("a\\b\\..\\d"), "a\\d");
    EXPECT_EQ(resourceNorm("x!y\\..\\z"), "x!z");
    EXPECT_EQ(resourceNorm("a\\.\\b"), "a\\b");
    EXPECT_EQ(resourceNorm("\\..\\x"), "x");
    EXPECT_EQ(resourceNorm("c:x\\..\\y"), "c:y");
    EXPECT_EQ(resourceNorm("a\\b\\.\\.\\..\\..\\c"), "c");
    EXPECT_EQ(entryNorm("a\\b\\..\\d"), "a\\d");
    EXPECT_EQ(entryNorm("b\\..\\d"), "d");
    EXPECT_EQ(entryNorm("..\\x"), "x");
    EXPECT_EQ(entryNorm("\\..\\x"), "\\x");
    EXPECT_EQ(entryNorm("a\\..\\..\\b"), "b");
    EXPECT_EQ(entryNorm("plain\\name.class"), "plain\\name.class");
}

TEST(ArchiveStore, NestedArchivesAndExplicitPaths) {
    ArchiveStore store;
    openStore(store, treeArchive());
    ASSERT_EQ(store.entryCount(), 10);
    // Nested archives in directory order; '.jar' alone is too short to be one.
    std::vector<std::string> nested;
    for (int32_t i = 0; i < store.nestedCount(); ++i) nested.emplace_back(store.nestedName(i));
    EXPECT_EQ(nested, (std::vector<std::string>{"libs/a.jar", "m.jar", "b.jar", "LIB/X.JAR", "zero.jar", "junk.zip",
                                                "bad.jar"}));
    EXPECT_EQ(store.child(6), nullptr);  // bad.jar: its inflated bytes fail the CRC check
    ASSERT_NE(store.child(5), nullptr);  // junk.zip: present but empty
    EXPECT_EQ(store.child(5)->entryCount(), 0);
    EXPECT_EQ(store.child(4), nullptr);  // zero.jar: size 0
    const ArchiveStore* a = store.child(0);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->allowance(), 1);
    ASSERT_EQ(a->nestedCount(), 1);
    ASSERT_NE(a->child(0), nullptr);
    EXPECT_EQ(a->child(0)->allowance(), 0);
    EXPECT_EQ(a->child(0)->nestedCount(), 0);  // the third level is never opened

    EXPECT_EQ(read(store, "libs\\a.jar!x\\y.txt", false), "Y");
    EXPECT_EQ(read(store, "libs/a.jar!x/y.txt", false), "Y");
    EXPECT_EQ(read(store, "libs\\a.jar!inner\\b.jar!d.txt", false), "D");
    EXPECT_EQ(read(store, "libs\\a.jar!inner\\b.jar!deep.jar!e.txt", false), "<null>");
    EXPECT_EQ(read(store, "libs\\a.jar!inner\\b.jar!deep.jar", false).substr(0, 2), "PK");
    // "x.jar!" is the nested archive's root: its bytes are the archive's.
    EXPECT_EQ(read(store, "libs\\a.jar!", false), read(store, "libs\\a.jar", false));
    EXPECT_EQ(read(store, "libs\\a.jar!inner\\b.jar!", false).substr(0, 2), "PK");
    EXPECT_EQ(read(store, "empty.txt!", false), "<null>");  // no nested archive of that name
    EXPECT_EQ(read(store, "!", true), "<null>");
    EXPECT_EQ(read(store, "LIB\\X.JAR!upper.txt", false), "U");
    EXPECT_EQ(read(store, "lib\\x.jar!upper.txt", false), "<null>");  // letter case counts
    EXPECT_EQ(read(store, "LIBS\\A.JAR!x\\y.txt", false), "<null>");
    EXPECT_EQ(read(store, "libs\\a.jar!X\\y.txt", false), "<null>");
    EXPECT_EQ(read(store, ".jar!dot.txt", false), "<null>");
    EXPECT_EQ(read(store, "bad.jar!hidden.txt", false), "<null>");
    EXPECT_EQ(read(store, "junk.zip!x", false), "<null>");
    EXPECT_EQ(read(store, "empty.txt", false), "");  // empty, yet found

    // Lookups reach the jars directly inside the archive and no deeper, for
    // classes and resources alike; an explicit path still reads deeper.
    EXPECT_EQ(locate(store, "libs\\a.jar!inner\\b.jar!d.txt"), "<none>");
    EXPECT_EQ(locate(store, "libs\\a.jar!inner\\b.jar!deep.jar!e.txt"), "<none>");
    EXPECT_EQ(locate(store, "x\\y.txt"), "libs/a.jar!x\\y.txt");  // plain names search the first level
    EXPECT_EQ(locate(store, "d.txt"), "<none>");
    EXPECT_TRUE(locateAll(store, "d.txt").empty());
    ByteString deep;
    EXPECT_TRUE(store.locateResource("d.txt", {}, deep, 2));
    EXPECT_EQ(std::string(deep.view()), "libs/a.jar!inner/b.jar!d.txt");
    EXPECT_EQ(locate(store, "upper.txt"), "LIB/X.JAR!upper.txt");
    EXPECT_EQ(locate(store, "Top.txt"), "<none>");
    EXPECT_EQ(locate(store, "libs\\a.jar"), "libs\\a.jar");
    EXPECT_EQ(store.findEntry("libs\\a.jar", 10), 1);
    EXPECT_EQ(store.findEntry("libs\\a.ja", 9), -1);

    // Archives by their "!" path, as a file system over one of them finds it.
    EXPECT_EQ(store.archiveAt(""), &store);
    EXPECT_EQ(store.archiveAt("libs/a.jar!"), a);
    EXPECT_EQ(store.archiveAt("libs\\a.jar!inner/b.jar!"), a->child(0));
    EXPECT_EQ(store.archiveAt("libs/a.jar!inner/b.jar!deep.jar!"), nullptr);  // never opened
    EXPECT_EQ(store.archiveAt("libs/a.jar"), nullptr);
    EXPECT_EQ(store.archiveAt("!"), nullptr);
    EXPECT_EQ(store.archiveAt("bad.jar!"), nullptr);
    EXPECT_EQ(store.archiveAt("LIBS/A.JAR!"), nullptr);

    // A name beginning with "!" never resolves.
    EXPECT_EQ(locate(store, "!top.txt"), "<none>");
    EXPECT_EQ(locate(store, "!x\\y.txt"), "<none>");
    EXPECT_TRUE(locateAll(store, "!dup.txt").empty());
    EXPECT_EQ(read(store, "!top.txt", true), "<null>");
    EXPECT_EQ(read(store, "!dup.txt", true), "<null>");
}

TEST(ArchiveStore, SearchOrderOfPlainNames) {
    ArchiveStore store;
    openStore(store, treeArchive());
    // Top level first, then the nested archives in directory order, the
    // class-path order the packer writes (not by name: 'libs/a.jar' comes
    // first although 'b.jar' and 'm.jar' are shorter), each depth first.
    EXPECT_EQ(locateAll(store, "dup.txt"),
              (std::vector<std::string>{"libs/a.jar!dup.txt", "m.jar!dup.txt", "b.jar!dup.txt"}));
    EXPECT_EQ(locate(store, "dup.txt"), "libs/a.jar!dup.txt");
    EXPECT_EQ(read(store, "dup.txt", true), "dup in a");
    EXPECT_EQ(read(store, "b.jar!dup.txt", false), "dup in top b");
    EXPECT_EQ(read(store, "dup.txt", false), "<null>");
    EXPECT_EQ(read(store, "libs\\a.jar!dup.txt", false), "dup in a");
    EXPECT_EQ(read(store, "m.jar!dup.txt", false), "dup in m");

    // searchNested reaches the first level only; deeper needs an explicit path.
    EXPECT_EQ(read(store, "only-m.txt", true), "M");
    EXPECT_EQ(read(store, "only-m.txt", false), "<null>");
    EXPECT_EQ(read(store, "d.txt", true), "<null>");
    EXPECT_EQ(read(store, "top.txt", false), "TOP");
    // "..\" segments of plain names are removed before the lookup, also below.
    EXPECT_EQ(read(store, "x\\..\\top.txt", false), "TOP");
    EXPECT_EQ(read(store, "libs\\a.jar!q\\..\\x\\y.txt", false), "Y");
    EXPECT_EQ(read(store, "z\\..\\only-m.txt", true), "M");
}

TEST(ArchiveStore, ADirectoryIsFoundWithoutItsSlashAsByTheJdksReader) {
    ArchiveStore store;
    openStore(store,
              buildZip({{"top/", "", 0},
                        {"top/f.txt", "F", 8},
                        {"odd.class/", "", 0},
                        {"n.jar", buildZip({{"inner/", "", 0}, {"inner", "a file wins", 0}, {"only/", "", 0}}), 0}}));
    EXPECT_EQ(store.findEntry("top", 3), store.findEntry("top/", 4));
    EXPECT_GE(store.findEntry("top", 3), 0);
    EXPECT_EQ(store.findEntry("top\\f.txt", 9), 1);
    EXPECT_EQ(store.findEntry("to", 2), -1);
    EXPECT_EQ(store.findEntry("odd.class", 9), -1);  // class lookups never end at a directory
    EXPECT_EQ(locate(store, "top"), "top");
    EXPECT_EQ(read(store, "top", true), "");
    EXPECT_EQ(locate(store, "only"), "n.jar!only");
    EXPECT_EQ(read(store, "n.jar!only", false), "");
    EXPECT_EQ(read(store, "inner", true), "a file wins");       // an entry of that very name comes first
    EXPECT_EQ(locate(store, std::string(300, 'x')), "<none>");  // a long name takes the slow path
}

TEST(ArchiveStore, UnreadableEntriesResolveLikeMissingNames) {
    const std::string text(3000, 'q');
    ZipItem crc{"crc.txt", text};
    crc.crcXor = 0x10;
    ZipItem encrypted{"enc.txt", text, 0};
    encrypted.flags = 1;
    ZipItem longer{"long.txt", text};
    longer.declaredSize = 2000;
    const std::string inner = buildZip({{"crc.txt", "good"}, {"inner-only.txt", "I"}});
    ArchiveStore store;
    openStore(store, buildZip({crc, encrypted, longer, {"n.jar", inner, 0}, {"method12", text, 12}}));
    for (const char* name : {"crc.txt", "enc.txt", "long.txt", "method12"}) {
        TestSink sink;
        EXPECT_FALSE(store.readEntry(sink, name, false)) << name;
        EXPECT_EQ(sink.creates, sink.aborts) << name;
    }
    // Found at this level but unreadable: not looked for further down.
    EXPECT_EQ(read(store, "crc.txt", true), "<null>");
    EXPECT_EQ(read(store, "n.jar!crc.txt", false), "good");
    EXPECT_EQ(locate(store, "crc.txt"), "crc.txt");  // a lookup does not read
    // The record of an entry whose fields say it cannot be read is not handed
    // out for a connection's size; a CRC mismatch shows only when reading.
    EXPECT_EQ(store.statEntry("enc.txt", false), nullptr);
    EXPECT_EQ(store.statEntry("method12", false), nullptr);
    EXPECT_NE(store.statEntry("crc.txt", false), nullptr);
    const ZipEntry* good = store.statEntry("n.jar!crc.txt", false);
    ASSERT_NE(good, nullptr);
    EXPECT_EQ(good->size, 4u);
    const ZipEntry* nested = store.statEntry("inner-only.txt", true);
    ASSERT_NE(nested, nullptr);
    EXPECT_EQ(std::string(nested->name, nested->nameLength), "inner-only.txt");
    EXPECT_EQ(store.statEntry("inner-only.txt", false), nullptr);
}

std::vector<std::string>& reportedDamage() {
    static std::vector<std::string> names;
    return names;
}

TEST(ArchiveStore, DamagedEntriesAreReportedByTheirTreeNameAndOnlyThose) {
    const std::string text(3000, 'q');
    auto falsified = [&](const char* name, uint32_t crcXor, uint16_t method = 8) {
        ZipItem item{name, text, method};
        item.crcXor = crcXor;
        return item;
    };
    ZipItem longer{"long.txt", text};
    longer.declaredSize = 2000;
    ZipItem encrypted{"enc.txt", text, 0};
    encrypted.flags = 1;
    ZipItem empty{"empty.txt", ""};
    empty.crcXor = 1;
    const std::string inner = buildZip({falsified("bad.class", 4), {"good.class", "G"}});
    // A stored jar whose directory was altered after its end record was written.
    std::string altered = buildZip({{"x.class", "X"}});
    altered[altered.find("PK\x01\x02") + 28] = '\x7f';  // the name length
    ZipItem compressed{"z.jar", inner};
    compressed.crcXor = 8;
    reportedDamage().clear();
    setDamageHandler([](std::string_view name) { reportedDamage().emplace_back(name); });
    ArchiveStore store;
    openStore(store, buildZip({falsified("crc.txt", 0x10),
                               falsified("stored.txt", 2, 0),
                               longer,
                               encrypted,
                               empty,
                               {"method12", text, 12},
                               {"n.jar", inner, 0},
                               {"d.jar", altered, 0},
                               {"named.jar", "not an archive", 0},
                               compressed}));
    // Nested archives are checked as they are opened.
    EXPECT_EQ(reportedDamage(), (std::vector<std::string>{"d.jar", "z.jar"}));
    const struct {
        const char* name;
        const char* reported;  // null: unreadable, but no damage
    } cases[] = {
        {"crc.txt", "crc.txt"},     {"stored.txt", "stored.txt"},           {"long.txt", "long.txt"},
        {"empty.txt", "empty.txt"}, {"n.jar!bad.class", "n.jar!bad.class"}, {"enc.txt", nullptr},
        {"method12", nullptr},      {"n.jar!good.class", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        reportedDamage().clear();
        const std::string bytes = read(store, c.name, false);
        EXPECT_EQ(reportedDamage(), c.reported ? std::vector<std::string>{c.reported} : std::vector<std::string>{});
        EXPECT_EQ(bytes == "<null>", c.reported != nullptr || std::string(c.name) != "n.jar!good.class");
    }
    setDamageHandler(nullptr);
    reportedDamage().clear();
    EXPECT_EQ(read(store, "crc.txt", false), "<null>");
    EXPECT_TRUE(reportedDamage().empty());
}

TEST(ArchiveStore, GarbageAndDataBeforeTheArchive) {
    ArchiveStore empty;
    openStore(empty, "not a zip at all");
    EXPECT_EQ(empty.entryCount(), 0);
    EXPECT_EQ(read(empty, "x", true), "<null>");
    EXPECT_EQ(locate(empty, "x"), "<none>");

    // A resident limit keeps nested archives beyond it closed.
    ArchiveStore limited;
    limited.setResidentLimit(100);
    openStore(limited, buildZip({{"small.jar", buildZip({}), 8},
                                 {"large.jar", buildZip({{"f", std::string(500, 'f'), 0}}), 8},
                                 {"stored.jar", buildZip({{"s", std::string(500, 's'), 0}}), 0}}));
    ASSERT_EQ(limited.nestedCount(), 3);
    EXPECT_NE(limited.child(0), nullptr);  // 'small.jar' comes first and fits
    EXPECT_EQ(limited.child(1), nullptr);
    // A stored archive is used in place, inside its parent's bytes: it costs no
    // resident memory, and its entries still check their own CRC-32.
    ASSERT_NE(limited.child(2), nullptr);
    EXPECT_EQ(read(limited, "stored.jar!s", false), std::string(500, 's'));

    const test::TempDir scratch;
    const auto dir = scratch.path();
    const std::string exe = (dir / "app.exe").string();
    {
        std::ofstream f(exe, std::ios::binary);
        f << std::string(70000, 'I') << "config block" << buildZip({{"libs/a.jar", buildZip({{"k", "K"}}), 0}}, "tail");
    }
    {
        ArchiveStore onFile;
        onFile.openFromFile(exe.c_str());
        EXPECT_EQ(read(onFile, "libs\\a.jar!k", false), "K");
        EXPECT_EQ(read(onFile, "k", true), "K");

        // The root opens once; a failed open is not tried again.
        RootArchive root;
        const std::string later = (dir / "later.exe").string();
        std::filesystem::remove(later);
        root.setPath(later.c_str());
        root.ensureOpen();
        EXPECT_TRUE(root.opened());
        EXPECT_EQ(root.store().entryCount(), 0);
        std::filesystem::copy_file(exe, later);
        root.ensureOpen();
        EXPECT_EQ(root.store().entryCount(), 0);

        RootArchive good;
        good.setPath(exe.c_str());
        good.ensureOpen();
        EXPECT_EQ(read(good.store(), "libs/a.jar!k", false), "K");
    }  // files closed before the directory goes
}

// Whether a launch needs the launcher's loader: any jar or zip entry, at any
// depth of the archive's own tree, does; a file that cannot be read as an
// archive keeps the loader too.
TEST(ArchiveStore, HoldsNestedArchivesDecidesWhetherTheLoaderIsNeeded) {
    const test::TempDir scratch;
    const auto dir = scratch.path();
    auto write = [&](const std::string& name, const std::string& bytes) {
        const std::string path = (dir / name).string();
        std::ofstream(path, std::ios::binary) << std::string(4096, 'S') << bytes;
        return path;
    };
    const std::string jar = buildZip({{"k", "K"}});
    EXPECT_FALSE(holdsNestedArchives(
        write("flat", buildZip({{"a/B.class", "B"}, {"META-INF/MANIFEST.MF", "M"}, {"lib/", ""}, {"x.jar.txt", "J"}}))
            .c_str()));
    EXPECT_TRUE(holdsNestedArchives(write("deep", buildZip({{"a/B.class", "B"}, {"lib/deep/a.jar", jar, 0}})).c_str()));
    EXPECT_TRUE(holdsNestedArchives(write("upper", buildZip({{"LIB/X.ZIP", jar, 8}})).c_str()));
    EXPECT_TRUE(holdsNestedArchives(write("garbage", "not an archive at all").c_str()));
    EXPECT_TRUE(holdsNestedArchives((dir / "missing").string().c_str()));
    EXPECT_TRUE(holdsNestedArchives(nullptr));
}

TEST(ArchiveStore, SupportClassesAreCheckedToTheirCrcAndTheBootClassesMustBeThere) {
    const test::TempDir scratch;
    const std::string text(2000, 'c');
    const ZipItem loader{"com/mordavin/hux/CarvossClassLoader.class", text};
    const ZipItem link{"com/mordavin/hux/NativeLink.class", "link", 0};
    ZipItem altered{"com/mordavin/hux/Handler.class", text};
    altered.crcXor = 1;
    ZipItem appAltered{"lib/app.jar", text, 0};
    appAltered.crcXor = 1;
    const struct {
        const char* name;
        std::vector<ZipItem> items;
        const char* damaged;  // null: intact
    } cases[] = {
        {"intact", {loader, link, {"com/mordavin/hux/Handler.class", text}}, nullptr},
        {"a support class altered", {loader, link, altered}, "com/mordavin/hux/Handler.class"},
        {"the loader's name changed",
         {{"com/mordavin/hux/CarvossClassLoadex.class", text}, link},
         "com/mordavin/hux/CarvossClassLoader.class"},
        {"no support classes", {{"a/B.class", "B"}}, nullptr},
        {"only the application's entries altered", {loader, link, appAltered}, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = scratch.write(c.name, std::string(4096, 'S') + buildZip(c.items));
        std::string damaged;
        EXPECT_EQ(supportClassesIntact(path.c_str(), damaged), c.damaged == nullptr);
        EXPECT_EQ(damaged, c.damaged ? c.damaged : "");
    }
    // A name changed in the directory alone, inside the folder or out of it.
    const std::string zip = buildZip({loader, {"com/mordavin/hux/Handler.class", text}, link, {"lib/a.jar", "A", 0}});
    const size_t directory = zip.find("PK\x01\x02");
    for (const auto& [from, to] :
         {std::pair<const char*, const char*>{"Handler", "Handlex"}, {"com/mordavin/hux/H", "cxm/mordavin/hux/H"}}) {
        SCOPED_TRACE(to);
        std::string renamed = zip;
        const size_t at = renamed.find(from, directory);
        ASSERT_NE(at, std::string::npos);
        renamed.replace(at, std::strlen(from), to);
        const std::string path = scratch.write("renamed", std::string(4096, 'S') + renamed);
        std::string damaged;
        EXPECT_FALSE(supportClassesIntact(path.c_str(), damaged));
        EXPECT_NE(damaged.find(to), std::string::npos) << damaged;
    }
}

TEST(ArchiveStore, ParallelReadsShareOneReaderPerArchive) {
    // Deflated entries read from a file go through the reader's one input
    // buffer; the entry lock keeps concurrent reads apart.
    std::vector<ZipItem> items;
    std::vector<std::string> texts;
    for (int i = 0; i < 8; ++i) {
        std::string text;  // barely compressible: several input chunks per read
        uint32_t x = 12345u + static_cast<uint32_t>(i);
        for (int k = 0; k < 150000; ++k) {
            x = x * 1103515245u + 12345u;
            text.push_back(static_cast<char>(x >> 24));
        }
        texts.push_back(text);
        items.push_back({"e" + std::to_string(i), text});
    }
    items.push_back({"n.jar", buildZip({items[0], items[1]}), 0});
    const test::TempDir scratch;
    const auto path = scratch.path() / "parallel.bin";
    {
        std::ofstream f(path, std::ios::binary);
        f << buildZip(items);
    }
    {
        ArchiveStore store;
        store.openFromFile(path.string().c_str());
        std::vector<std::thread> threads;
        std::vector<int> failures(4, 0);
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&, t] {
                for (int round = 0; round < 24; ++round) {
                    const int i = (t + round) % 8;
                    TestSink sink;
                    if (!store.readEntry(sink, "e" + std::to_string(i), false) || sink.bytes != texts[i]) ++failures[t];
                    TestSink nested;
                    if (!store.readEntry(nested, "n.jar!e" + std::to_string(round % 2), false) ||
                        nested.bytes != texts[round % 2])
                        ++failures[t];
                }
            });
        for (std::thread& th : threads) th.join();
        EXPECT_EQ(failures, std::vector<int>(4, 0));
    }
}

namespace {

ArchiveStore* nestedStore(ArchiveStore& root, std::string_view name) {
    for (int32_t i = 0; i < root.nestedCount(); ++i)
        if (root.nestedName(i) == name) return root.child(i);
    return nullptr;
}

// root: b.jar (plain, x/only.txt), mr.jar (version directories), and
// c.jar, which only has a directory named like a version directory.
std::string versionedArchive() {
    const std::string mr = buildZip({{"x/both.txt", "both base"},
                                     {"META-INF/versions/9/x/both.txt", "both 9"},
                                     {"META-INF/versions/11/x/both.txt", "both 11"},
                                     {"META-INF/versions/21/x/both.txt", "both 21"},
                                     {"META-INF/versions/9/x/only.txt", "only 9"},
                                     {"META-INF/versions/21/x/future.txt", "future"},
                                     {"META-INF/versions/8/x/eight.txt", "eight"},
                                     {"META-INF/versions/7/x/seven.txt", "seven"},
                                     {"META-INF/versions/09/x/zero.txt", "zero"},
                                     {"META-INF/versions/99999999999/x/huge.txt", "huge"},
                                     {"META-INF/versions/9/META-INF/m.txt", "meta"},
                                     {"META-INF/versions/9/d/", ""},
                                     {"meta-inf/versions/9/x/lower.txt", "lower"},
                                     {"META-INF/versions/9/x/twice.txt", "first"},
                                     {"META-INF/versions/9/x/twice.txt", "second"}});
    return buildZip({{"b.jar", buildZip({{"x/only.txt", "only in b"}}), 0},
                     {"mr.jar", mr, 8},
                     {"c.jar", buildZip({{"META-INF/versions/", ""}, {"y.txt", "Y"}}), 0}});
}

}  // namespace

TEST(ArchiveStore, MultiReleaseArchivesServeTheirVersions) {
    ArchiveStore store;
    openStore(store, versionedArchive());
    ArchiveStore* mr = nestedStore(store, "mr.jar");
    ASSERT_NE(mr, nullptr);
    EXPECT_TRUE(mr->hasVersionDirectories());
    EXPECT_FALSE(nestedStore(store, "b.jar")->hasVersionDirectories());
    EXPECT_FALSE(nestedStore(store, "c.jar")->hasVersionDirectories());

    // Until told, the archive serves its base names only.
    EXPECT_EQ(locate(store, "x\\both.txt"), "mr.jar!x\\both.txt");
    EXPECT_EQ(locateAll(store, "x\\only.txt"), (std::vector<std::string>{"b.jar!x\\only.txt"}));

    mr->serveVersions(17);
    const std::string v11 = "mr.jar!META-INF/versions/11/x\\both.txt";
    EXPECT_EQ(locate(store, "x\\both.txt"), v11);
    EXPECT_EQ(read(store, v11, false), "both 11");
    // A name only a version directory holds is found there, in the archive's
    // place in the search order, and reads back through its full name.
    EXPECT_EQ(locateAll(store, "x\\only.txt"),
              (std::vector<std::string>{"b.jar!x\\only.txt", "mr.jar!META-INF/versions/9/x\\only.txt"}));
    EXPECT_EQ(locate(store, "mr.jar!x\\only.txt"), "mr.jar!META-INF/versions/9/x\\only.txt");
    EXPECT_EQ(read(store, "mr.jar!META-INF/versions/9/x/only.txt", false), "only 9");
    EXPECT_EQ(locate(store, "x\\eight.txt"), "mr.jar!META-INF/versions/8/x\\eight.txt");
    EXPECT_EQ(locate(store, "x\\twice.txt"), "mr.jar!META-INF/versions/9/x\\twice.txt");
    EXPECT_EQ(read(store, "mr.jar!META-INF/versions/9/x/twice.txt", false), "first");
    // Not served: above the feature version, below 8, leading zeros, numbers
    // past any version, META-INF names, directories, other spellings.
    for (const char* name : {"x\\future.txt", "x\\seven.txt", "x\\zero.txt", "x\\huge.txt", "META-INF\\m.txt",
                             "META-INF/m.txt", "d\\", "d", "x\\lower.txt"})
        EXPECT_EQ(locate(store, name), "<none>") << name;
    // Version entries keep their own names, and the choice is made once.
    EXPECT_EQ(locate(store, "META-INF\\versions\\21\\x\\future.txt"), "mr.jar!META-INF\\versions\\21\\x\\future.txt");
    mr->serveVersions(25);
    EXPECT_EQ(locate(store, "x\\future.txt"), "<none>");
    EXPECT_EQ(locate(store, "x\\both.txt"), v11);
}

TEST(ArchiveStore, VersionsServedWhileOtherThreadsLookUp) {
    ArchiveStore store;
    openStore(store, versionedArchive());
    ArchiveStore* mr = nestedStore(store, "mr.jar");
    ASSERT_NE(mr, nullptr);
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    std::vector<int> wrong(2, 0);
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([&, t] {
            while (!stop.load()) {
                // Before the switch the base entry, after it the version entry: never anything else.
                const std::string found = locate(store, "x\\both.txt");
                if (found != "mr.jar!x\\both.txt" && found != "mr.jar!META-INF/versions/11/x\\both.txt") ++wrong[t];
            }
        });
    mr->serveVersions(17);
    std::thread other([&] { mr->serveVersions(21); });
    other.join();
    stop.store(true);
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(wrong, std::vector<int>(2, 0));
    EXPECT_EQ(locate(store, "x\\both.txt"), "mr.jar!META-INF/versions/11/x\\both.txt");
}

TEST(UrlText, EncodesWhatAUriCannotHoldAndDecodesBackToTheEntryName) {
    auto encode = [](const std::u16string& name) {
        std::u16string out;
        for (char16_t u : name) appendUrlUnit(out, u);
        return std::string(out.begin(), out.end());  // ASCII results only below
    };
    EXPECT_EQ(encode(u"lib/a.jar!org/x/Y.class"), "lib/a.jar!org/x/Y.class");
    EXPECT_EQ(encode(u"with space#1?%+[x]\"q\""), "with%20space%231%3F%25%2B%5Bx%5D%22q%22");
    EXPECT_EQ(encode(u"tab\tnbsp\u00A0"), "tab%09nbsp%C2%A0");
    // Other characters beyond ASCII stay as they are.
    std::u16string out;
    appendUrlUnit(out, u'\u00E9');
    appendUrlUnit(out, u'\u20AC');
    EXPECT_EQ(out, u"\u00E9\u20AC");
    // Decoding gives the UTF-8 bytes of the name back.
    EXPECT_EQ(std::string(percentDecode("with%20space%231%3F%25%2B%5Bx%5D").view()), "with space#1?%+[x]");
    EXPECT_EQ(std::string(percentDecode("nbsp%C2%A0").view()), "nbsp\xC2\xA0");
}
