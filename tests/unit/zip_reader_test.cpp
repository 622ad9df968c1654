#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "archive/zip_reader.h"
#include "common/payload_format.h"
#include "support/test_support.h"
#include "support/zip_builder.h"

using namespace hux;
using hux::test::buildZip;
using hux::test::ZipItem;

namespace {

// Keeps the bytes alive for the memory source.
struct Opened {
    std::string bytes;
    ZipReader reader;
    bool ok = false;
};

std::unique_ptr<Opened> openBytes(std::string bytes) {
    auto o = std::make_unique<Opened>();
    o->bytes = std::move(bytes);
    o->ok = o->reader.open(
        std::make_unique<MemorySource>(reinterpret_cast<const uint8_t*>(o->bytes.data()), o->bytes.size()));
    return o;
}

// The entry's bytes, or "<unreadable>".
std::string readAll(ZipReader& r, int32_t i) {
    if (!r.canRead(i)) return "<unreadable>";
    std::string out(r.entry(i).size, '\0');
    if (!r.readEntry(i, reinterpret_cast<uint8_t*>(&out[0]))) return "<unreadable>";
    return out;
}

size_t endRecord(const std::string& zip) { return zip.rfind(std::string("PK\x05\x06", 4)); }

void patch32(std::string& s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
}

std::string pattern(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>((i * 7 + i / 13) & 0xff));
    return s;
}

}  // namespace

TEST(ZipReader, StoredAndDeflatedEntriesBehindForeignBytesAndComment) {
    const std::string big = pattern(200000);
    std::string zip = buildZip({{"s.txt", "stored bytes", 0}, {"d.bin", big, 8}, {"empty", "", 8}},
                               "a comment PK\x01\x02 with noise");
    // An executable image and a configuration block in front: offsets count from
    // the archive's own first byte.
    const std::string front(4099, 'M');
    auto o = openBytes(front + zip);
    ASSERT_TRUE(o->ok);
    EXPECT_EQ(o->reader.archiveStart(), 4099);
    ASSERT_EQ(o->reader.entryCount(), 3);
    EXPECT_EQ(std::string(o->reader.entry(1).name, o->reader.entry(1).nameLength), "d.bin");
    EXPECT_EQ(readAll(o->reader, 0), "stored bytes");
    EXPECT_EQ(readAll(o->reader, 1), big);
    EXPECT_EQ(readAll(o->reader, 2), "");

    // The same through a file, which reads compressed input in chunks.
    const test::TempDir scratch;
    const auto path = scratch.path() / "reader.bin";
    {
        std::ofstream f(path, std::ios::binary);
        f << front << zip;
    }
    auto file = std::make_unique<FileSource>();
    ASSERT_TRUE(file->open(path.string().c_str()));
    ZipReader r;
    ASSERT_TRUE(r.open(std::move(file)));
    EXPECT_EQ(readAll(r, 0), "stored bytes");
    EXPECT_EQ(readAll(r, 1), big);
    r.close();
}

TEST(ZipReader, EndRecordSearchAndConsistencyChecks) {
    EXPECT_TRUE(openBytes(buildZip({}))->ok);  // an empty archive is fine
    EXPECT_FALSE(openBytes("")->ok);
    EXPECT_FALSE(openBytes(std::string(100000, 'x'))->ok);
    // A record hidden further back than the largest comment is not found.
    std::string zip = buildZip({{"a", "b", 0}});
    EXPECT_FALSE(openBytes(zip + std::string(65536, ' '))->ok);

    const size_t end = endRecord(zip);
    std::string beyond = zip;  // directory said to lie after the record
    patch32(beyond, end + hux::test::kEndDirOffset, 0x7fffff00);
    EXPECT_FALSE(openBytes(beyond)->ok);
    std::string noDir = zip;  // entries but no directory
    patch32(noDir, end + hux::test::kEndDirSize, 0);
    EXPECT_FALSE(openBytes(noDir)->ok);
    std::string noCount = zip;  // a directory but no entries
    noCount[end + hux::test::kEndTotalEntries] = 0;
    EXPECT_FALSE(openBytes(noCount)->ok);
    std::string moreCount = zip;  // more entries claimed than the directory holds
    moreCount[end + hux::test::kEndTotalEntries] = 2;
    EXPECT_FALSE(openBytes(moreCount)->ok);

    // Bytes cut off the end or out of the middle: never a crash, and an entry
    // reads either its true bytes or not at all.
    const std::string two = buildZip({{"one", pattern(300), 8}, {"two", pattern(200), 0}}, "cc");
    for (size_t cut = 0; cut < two.size(); ++cut) {
        for (const std::string& damaged : {two.substr(0, cut), std::string(two).erase(cut, 5)}) {
            auto o = openBytes(damaged);
            for (int32_t i = 0; o->ok && i < o->reader.entryCount(); ++i) {
                const std::string got = readAll(o->reader, i);
                EXPECT_TRUE(got == "<unreadable>" || got == pattern(i == 0 ? 300 : 200)) << cut;
            }
        }
    }
}

TEST(ZipReader, EntriesThatCannotBeReadToTheirEnd) {
    const std::string text = pattern(5000);
    ZipItem crc{"crc", text};
    crc.crcXor = 1;
    ZipItem encrypted{"enc", text, 0};
    encrypted.flags = 1;
    ZipItem method12{"m12", text, 12};
    ZipItem outside{"far", text, 0};
    outside.localOffsetDelta = 1000000;
    ZipItem longer{"longer", text};  // inflates beyond the declared size
    longer.declaredSize = 4999;
    ZipItem shorter{"shorter", text};  // stream ends early
    shorter.declaredSize = 5001;
    ZipItem absurd{"absurd", "x"};  // far more than one byte of deflate can give
    absurd.declaredSize = 0x7ffffff0;
    ZipItem huge{"huge", "x", 0};
    huge.declaredSize = 0x80000000u;
    ZipItem storedMismatch{"stored", text, 0};
    storedMismatch.declaredSize = 100;
    ZipItem fine{"fine", text};
    auto o =
        openBytes(buildZip({crc, encrypted, method12, outside, longer, shorter, absurd, huge, storedMismatch, fine}));
    ASSERT_TRUE(o->ok);
    for (int32_t i = 0; i < 9; ++i) {
        SCOPED_TRACE(i);
        if (i >= 6) {
            EXPECT_FALSE(o->reader.canRead(i));  // refused before anything is allocated
            continue;
        }
        EXPECT_EQ(readAll(o->reader, i), "<unreadable>");
    }
    EXPECT_EQ(readAll(o->reader, 9), text);

    // A damaged deflate stream.
    std::string zip = buildZip({{"d", text}});
    zip[40] = static_cast<char>(zip[40] ^ 0x55);
    zip[41] = static_cast<char>(zip[41] ^ 0x55);
    auto damaged = openBytes(zip);
    ASSERT_TRUE(damaged->ok);
    EXPECT_EQ(readAll(damaged->reader, 0), "<unreadable>");
}

namespace {

void put64(std::string& s, uint64_t v) {
    hux::test::put32(s, static_cast<uint32_t>(v));
    hux::test::put32(s, static_cast<uint32_t>(v >> 32));
}

// Rewrites an archive's end as JarOutputStream does past 65,535 entries: a
// zip64 end record and its locator before the end record, whose count (and,
// with `markers`, size and offset) defer to zip64.
std::string toZip64(const std::string& zip, bool markers) {
    const size_t end = endRecord(zip);
    const uint32_t count = static_cast<uint8_t>(zip[end + 10]) | static_cast<uint8_t>(zip[end + 11]) << 8;
    std::string dirSize = zip.substr(end + 12, 4), dirOffset = zip.substr(end + 16, 4);
    auto le32 = [](const std::string& b) {
        return static_cast<uint32_t>(static_cast<uint8_t>(b[0]) | static_cast<uint8_t>(b[1]) << 8 |
                                     static_cast<uint8_t>(b[2]) << 16 |
                                     static_cast<uint32_t>(static_cast<uint8_t>(b[3])) << 24);
    };
    std::string out = zip.substr(0, end);
    const uint64_t end64At = out.size();
    hux::test::put32(out, 0x06064b50);
    put64(out, 44);
    hux::test::put16(out, 45);
    hux::test::put16(out, 45);
    hux::test::put32(out, 0);
    hux::test::put32(out, 0);
    put64(out, count);
    put64(out, count);
    put64(out, le32(dirSize));
    put64(out, le32(dirOffset));
    hux::test::put32(out, 0x07064b50);
    hux::test::put32(out, 0);
    put64(out, end64At);
    hux::test::put32(out, 1);
    std::string record = zip.substr(end);
    record[8] = record[9] = record[10] = record[11] = '\xff';
    if (markers) patch32(record, 12, 0xFFFFFFFF), patch32(record, 16, 0xFFFFFFFF);
    return out + record;
}

}  // namespace

TEST(ZipReader, Zip64EndRecordsBehindForeignBytes) {
    const std::string zip = buildZip({{"a.txt", "alpha", 8}, {"b/c.txt", "gamma", 0}});
    for (const bool markers : {false, true}) {
        SCOPED_TRACE(markers ? "sizes deferred to zip64" : "sizes in both records");
        auto o = openBytes("a launcher image and a configuration block" + toZip64(zip, markers));
        ASSERT_TRUE(o->ok);
        ASSERT_EQ(o->reader.entryCount(), 2);
        EXPECT_EQ(readAll(o->reader, 0), "alpha");
        EXPECT_EQ(readAll(o->reader, 1), "gamma");
    }
    // A zip64 record that disagrees with the end record is not taken: the
    // archive then reads as the end record alone describes it, which fails here.
    std::string bad = toZip64(zip, false);
    const size_t end64 = bad.rfind(std::string("PK\x06\x06", 4));
    bad[end64 + 24] = 7;  // entries on this disk
    bad[end64 + 32] = 7;  // entries in total
    EXPECT_FALSE(openBytes(bad)->ok);
}

TEST(Payload, TheArchiveIsWholeOnlyWhereItsLengthAndEndRecordAgree) {
    auto intact = [](const std::string& file, size_t archiveLength) {
        return hux::payloadArchiveIntact(reinterpret_cast<const uint8_t*>(file.data()),
                                         static_cast<int64_t>(file.size()), static_cast<uint32_t>(archiveLength));
    };
    // A launcher image, then the configuration block as the packer frames
    // it: UTF-8 mark, lines, NUL, its length, 16 reserved bytes.
    auto framed = [](const std::string& block) {
        std::string out = "a launcher image" + block;
        hux::test::put32(out, static_cast<uint32_t>(block.size()));
        return out + std::string(16, 'r');
    };
    const std::string block = std::string("\xEF\xBB\xBFmainclass app.Main\r\n") + '\0';
    const std::string image = framed(block);
    const std::string zip = buildZip({{"a.txt", "alpha", 8}, {"b/c.txt", "gamma", 0}});
    EXPECT_TRUE(intact(image + zip, zip.size()));
    EXPECT_TRUE(intact(framed(std::string("\xEF\xBB\xBF") + '\0') + zip, zip.size()));
    // The block's framing: every flipped bit of its length, a missing mark,
    // a missing final NUL; all read as damaged, never as an empty block.
    const size_t lengthAt = image.size() - 16 - 4;
    for (size_t byte = 0; byte < 4; ++byte)
        for (int bit = 0; bit < 8; ++bit) {
            std::string flipped = image + zip;
            flipped[lengthAt + byte] = static_cast<char>(flipped[lengthAt + byte] ^ (1 << bit));
            EXPECT_FALSE(intact(flipped, zip.size())) << byte << " " << bit;
        }
    EXPECT_FALSE(intact(framed("mainclass app.Main\r\n" + std::string(1, '\0')) + zip, zip.size()));
    EXPECT_FALSE(intact(framed("\xEF\xBB\xBFmainclass app.Main\r\n") + zip, zip.size()));
    EXPECT_FALSE(intact(framed("\xEF\xBB") + zip, zip.size()));
    EXPECT_TRUE(intact(image + zip + "bytes appended later", zip.size()));
    const std::string commented = buildZip({{"a.txt", "alpha", 8}}, "release 7");
    EXPECT_TRUE(intact(image + commented, commented.size() - 9));
    for (const bool markers : {false, true}) {
        const std::string zip64 = toZip64(zip, markers);
        EXPECT_TRUE(intact(image + zip64, zip64.size())) << markers;
        EXPECT_FALSE(intact(image + zip64.substr(0, zip64.size() - 1), zip64.size())) << markers;
    }
    const std::string empty = buildZip({});
    EXPECT_TRUE(intact(image + empty, empty.size()));

    // Cut short, a length that does not fit the file, a directory that does
    // not begin with a central header, an archive without a local header.
    for (size_t cut : {1, 22, 30, 200})
        EXPECT_FALSE(intact(image + zip.substr(0, zip.size() - cut), zip.size())) << cut;
    EXPECT_FALSE(intact(image + zip, zip.size() + 1));
    EXPECT_FALSE(intact(image + zip, zip.size() - 1));
    EXPECT_FALSE(intact(zip, zip.size() + image.size()));
    std::string noCentral = image + zip;
    noCentral[noCentral.find("PK\x01\x02") + 2] = '\x09';
    EXPECT_FALSE(intact(noCentral, zip.size()));
    std::string noLocal = image + zip;
    noLocal[image.size() + 3] = '\x09';
    EXPECT_FALSE(intact(noLocal, zip.size()));
    EXPECT_FALSE(intact(image, 22));
}

TEST(ZipReader, EntryTimesAndZip64SizesFromExtraFields) {
    // One entry by hand: a DOS time, an extended timestamp and a zip64 field
    // that holds the sizes the 32-bit fields defer.
    const std::string data = "timed data";
    const uint32_t crc =
        static_cast<uint32_t>(crc32(0L, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
    std::string extra;
    hux::test::put16(extra, 0x5455);
    hux::test::put16(extra, 5);
    extra.push_back(1);
    hux::test::put32(extra, 1700000000);
    hux::test::put16(extra, 0x0001);
    hux::test::put16(extra, 16);
    put64(extra, data.size());
    put64(extra, data.size());
    std::string zip;
    hux::test::put32(zip, 0x04034b50);
    for (uint32_t v : {20u, 0u, 0u}) hux::test::put16(zip, v);
    hux::test::put32(zip, 0x5A2B6C3D);
    hux::test::put32(zip, crc);
    hux::test::put32(zip, static_cast<uint32_t>(data.size()));
    hux::test::put32(zip, static_cast<uint32_t>(data.size()));
    hux::test::put16(zip, 1);
    hux::test::put16(zip, 0);
    zip += "t" + data;
    const size_t dirAt = zip.size();
    hux::test::put32(zip, 0x02014b50);
    for (uint32_t v : {45u, 45u, 0u, 0u}) hux::test::put16(zip, v);
    hux::test::put32(zip, 0x5A2B6C3D);
    hux::test::put32(zip, crc);
    hux::test::put32(zip, 0xFFFFFFFF);
    hux::test::put32(zip, 0xFFFFFFFF);
    hux::test::put16(zip, 1);
    hux::test::put16(zip, static_cast<uint32_t>(extra.size()));
    for (uint32_t v : {0u, 0u, 0u}) hux::test::put16(zip, v);
    hux::test::put32(zip, 0);
    hux::test::put32(zip, 0);
    zip += "t" + extra;
    const size_t dirSize = zip.size() - dirAt;
    hux::test::put32(zip, 0x06054b50);
    for (uint32_t v : {0u, 0u, 1u, 1u}) hux::test::put16(zip, v);
    hux::test::put32(zip, static_cast<uint32_t>(dirSize));
    hux::test::put32(zip, static_cast<uint32_t>(dirAt));
    hux::test::put16(zip, 0);

    auto o = openBytes(zip);
    ASSERT_TRUE(o->ok);
    const ZipEntry& e = o->reader.entry(0);
    EXPECT_EQ(e.dosTime, 0x5A2B6C3Du);
    EXPECT_EQ(e.modifiedSeconds, 1700000000);
    EXPECT_EQ(e.size, data.size());
    EXPECT_EQ(e.compressedSize, data.size());
    EXPECT_EQ(readAll(o->reader, 0), data);

    // Without the extended field there is no exact time.
    auto plain = openBytes(buildZip({{"p.txt", "p", 0}}));
    ASSERT_TRUE(plain->ok);
    EXPECT_EQ(plain->reader.entry(0).modifiedSeconds, ZipEntry::kNoTime);
}
