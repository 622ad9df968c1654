// The zip64 records the packer writes behind a launcher image, read field by
// field and the way the JDK's zip reader and the launcher's reader find them;
// and the nested archives the launcher could not inflate.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>

#include "support/temp_dir.h"
#include "archive/zip_reader.h"
#include "tool/jars/flatten.h"
#include "tool/payload/zip_writer.h"

namespace fs = std::filesystem;
using namespace hux::tool;

namespace {

uint64_t le(const std::vector<uint8_t>& b, size_t at, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | b[at + static_cast<size_t>(i)];
    return v;
}

}  // namespace

TEST(Zip64Records, TheLocatorNamesTheRecordsPlaceInTheFileAndTheRecordCountsFromTheArchive) {
    struct Case {
        const char* what;
        size_t prefix;  // bytes before the archive: image, block, length, reserved bytes
        ZipWriter::Limits limits;
        bool savedEntries, savedSize, savedOffset;  // which plain fields are saturated
    };
    const Case cases[] = {
        {"entries, bare archive", 0, {3, 0xFFFFFFFF}, true, false, false},
        {"entries, behind an image", 1001, {3, 0xFFFFFFFF}, true, false, false},
        {"directory offset, behind an image", 4096, {0xFFFF, 250}, false, false, true},
        {"directory size, behind an image", 77, {0xFFFF, 100}, false, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MemorySink sink;
        const std::vector<uint8_t> image(c.prefix, 'i');
        ASSERT_TRUE(sink.write(image.data(), image.size()));
        ZipWriter zip(sink, c.limits);
        std::string error;
        for (int i = 0; i < 4; ++i)
            ASSERT_TRUE(
                zip.add("entry/" + std::to_string(i), std::vector<uint8_t>(40, 'e'), ZipWriter::Method::Stored, error));
        ASSERT_TRUE(zip.finish(error, "note")) << error;
        ASSERT_TRUE(zip.wroteZip64());
        const std::vector<uint8_t>& file = sink.bytes();

        const size_t end = file.size() - 4 - 22;
        ASSERT_EQ(le(file, end, 4), 0x06054b50u);
        const size_t locator = end - 20, record = locator - 56;
        ASSERT_EQ(le(file, locator, 4), 0x07064b50u);
        ASSERT_EQ(le(file, record, 4), 0x06064b50u);
        // Locator: disk 0, the record at its place in the whole file, 1 disk.
        EXPECT_EQ(le(file, locator + 4, 4), 0u);
        EXPECT_EQ(le(file, locator + 8, 8), record);
        EXPECT_EQ(le(file, locator + 16, 4), 1u);
        // Record: its size after the first 12 bytes, versions, disks, counts,
        // then the directory's size and its offset from the archive's first byte.
        EXPECT_EQ(le(file, record + 4, 8), 44u);
        EXPECT_EQ(le(file, record + 12, 2), 45u);
        EXPECT_EQ(le(file, record + 14, 2), 45u);
        EXPECT_EQ(le(file, record + 16, 8), 0u);
        EXPECT_EQ(le(file, record + 24, 8), 4u);
        EXPECT_EQ(le(file, record + 32, 8), 4u);
        const uint64_t directorySize = le(file, record + 40, 8);
        const uint64_t directoryOffset = le(file, record + 48, 8);
        EXPECT_EQ(c.prefix + directoryOffset + directorySize, record);
        EXPECT_EQ(le(file, c.prefix + directoryOffset, 4), 0x02014b50u);
        // The plain record defers exactly the overflowing fields.
        EXPECT_EQ(le(file, end + 10, 2), c.savedEntries ? 0xFFFFu : 4u);
        EXPECT_EQ(le(file, end + 12, 4), c.savedSize ? 0xFFFFFFFFu : directorySize);
        EXPECT_EQ(le(file, end + 16, 4), c.savedOffset ? 0xFFFFFFFFu : directoryOffset);

        // The launcher's reader takes the record as adjacent, whatever the locator says.
        hux::ZipReader reader;
        ASSERT_TRUE(reader.open(std::make_unique<hux::MemorySource>(file.data(), file.size())));
        EXPECT_EQ(reader.entryCount(), 4);
        EXPECT_EQ(reader.archiveStart(), static_cast<int64_t>(c.prefix));
        std::vector<uint8_t> data(40);
        EXPECT_TRUE(reader.readEntry(3, data.data()));
    }

    // Archives that fit the plain records get no zip64 records.
    ZipWriter plain;
    std::string error;
    ASSERT_TRUE(plain.add("x", {'x'}, ZipWriter::Method::Stored, error));
    ASSERT_TRUE(plain.finish(error));
    EXPECT_FALSE(plain.wroteZip64());
    EXPECT_EQ(plain.bytes().size(), 30u + 1 + 1 + 46 + 1 + 22);
}

TEST(NestedArchives, DeflatedOnesOverTheLaunchersBufferAreNamedAndRefusedWhenFlattened) {
    struct Case {
        const char* name;
        uint16_t method;
        uint64_t size;
        bool problem;
    };
    const Case cases[] = {
        {"lib/inner.jar", 8, kLargestInflatedNestedArchive, false},
        {"lib/inner.jar", 8, kLargestInflatedNestedArchive + 1, true},
        {"INNER.ZIP", 8, uint64_t{3} << 30, true},
        {"lib/inner.jar", 0, uint64_t{3} << 30, false},  // stored: read in place
        {"data/blob.bin", 8, uint64_t{3} << 30, false},  // no archive
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.size));
        const std::string problem = inflatedArchiveProblem("lib/outer.zip", c.name, c.method, c.size);
        EXPECT_EQ(!problem.empty(), c.problem) << problem;
        if (c.problem) {
            EXPECT_NE(problem.find("'lib/outer.zip'"), std::string::npos) << problem;
            EXPECT_NE(problem.find(std::string("'") + c.name + "'"), std::string::npos) << problem;
            EXPECT_EQ(problem.find('\n'), std::string::npos);
        }
    }

    // Flattening puts the inner archive at the top level: a 3 GiB one is
    // refused before any of it is copied, one of 2 GiB - 1 goes in. The
    // compressed bytes are filler: only the sizes matter here.
    const hux::test::TempDir scratch;
    const fs::path dir = scratch.path();
    const std::vector<uint8_t> compressed(static_cast<size_t>((uint64_t{3} << 30) / 1032 + 1), 0x03);
    for (const uint64_t size : {uint64_t{3} << 30, kLargestInflatedNestedArchive}) {
        SCOPED_TRACE(size);
        ZipWriter outer;
        std::string error;
        ASSERT_TRUE(outer.add("a/Small.class", {'c'}, ZipWriter::Method::Stored, error));
        ASSERT_TRUE(outer.addRaw("inner.jar", compressed.data(), compressed.size(), ZipWriter::Method::Deflated, 0,
                                 size, error));
        ASSERT_TRUE(outer.finish(error)) << error;
        const std::string path = (dir / "outer.zip").string();
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(outer.bytes().data()),
                   static_cast<std::streamsize>(outer.bytes().size()));
        ZipWriter packed;
        std::set<std::string> names;
        Flattener flattener(packed, names);
        std::vector<std::string> warnings;
        const bool added = flattener.addJar(path, "lib/outer.zip", warnings, error);
        if (size > kLargestInflatedNestedArchive) {
            EXPECT_FALSE(added);
            EXPECT_NE(error.find("'lib/outer.zip': the archive 'inner.jar' in it is deflated and inflates to 3.0 GiB"),
                      std::string::npos)
                << error;
            EXPECT_EQ(names.count("inner.jar"), 0u);
        } else {
            EXPECT_TRUE(added) << error;
            EXPECT_EQ(names.count("inner.jar"), 1u);
        }
    }
}
