// What the packer's zip writer produces, read back by the launcher's zip
// reader and by the shared record parsers: every entry, byte for byte, and
// the records where the format puts them.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "archive/zip_reader.h"
#include "common/payload_format.h"
#include "common/utf.h"
#include "common/zip_format.h"
#include "tool/payload/zip_writer.h"

using namespace hux;

namespace {

std::vector<uint8_t> bytesOf(const std::string& s) { return {s.begin(), s.end()}; }

std::vector<uint8_t> noise(size_t n) {
    std::vector<uint8_t> v(n);
    uint32_t x = 12345;
    for (auto& b : v) b = static_cast<uint8_t>((x = x * 1103515245 + 12345) >> 16);
    return v;
}

TEST(ZipRoundTrip, WriterOutputReadsBackEntryForEntry) {
    constexpr int64_t kNone = tool::ZipWriter::kNoUnixTime;
    struct Item {
        std::string name;
        std::vector<uint8_t> data;
        tool::ZipWriter::Method method;
        int64_t unixTime;  // an extended timestamp, or kNone
    };
    const std::vector<Item> items = {
        {"META-INF/MANIFEST.MF", bytesOf("Manifest-Version: 1.0\r\n"), tool::ZipWriter::Method::Deflated, kNone},
        {"lib/inner.jar", noise(5000), tool::ZipWriter::Method::Stored, 1673107975},
        {"empty.txt", {}, tool::ZipWriter::Method::Deflated, -86400},  // before 1970
        {"caf\xC3\xA9/r\xC3\xA9sum\xC3\xA9.txt", std::vector<uint8_t>(70000, 'a'), tool::ZipWriter::Method::Deflated,
         int64_t{1} << 33},  // beyond the field: left out
        {"dir/", {}, tool::ZipWriter::Method::Stored, 1673107975},
    };
    auto stamped = [&](const Item& item) { return item.unixTime != kNone && item.unixTime < (int64_t{1} << 31); };
    tool::ZipWriter writer;
    std::string error;
    for (const Item& item : items)
        ASSERT_TRUE(
            writer.add(item.name, item.data, item.method, error, tool::ZipWriter::kDefaultDosTime, item.unixTime))
            << error;
    const std::string comment = "made by the round-trip test";
    ASSERT_TRUE(writer.finish(error, comment)) << error;
    const std::vector<uint8_t>& archive = writer.bytes();
    ASSERT_EQ(writer.lengthWithoutComment() + comment.size(), archive.size());

    // The records as the shared parsers see them.
    const auto size = static_cast<int64_t>(archive.size());
    const int64_t at = zip::findEndRecord(archive.data(), size);
    ASSERT_EQ(at, static_cast<int64_t>(writer.lengthWithoutComment()) - zip::kEndRecordSize);
    const zip::EndRecord end = zip::readEndRecord(archive.data() + at);
    EXPECT_EQ(end.entries, items.size());
    EXPECT_EQ(end.commentLength, comment.size());
    EXPECT_EQ(static_cast<int64_t>(end.directoryOffset) + end.directorySize, at);
    EXPECT_EQ(measureArchiveCommentLength(archive.data(), size, size), static_cast<int64_t>(comment.size()));
    uint64_t p = end.directoryOffset;
    for (const Item& item : items) {
        zip::CentralHeader h;
        const uint64_t length = zip::readCentralHeader(archive.data() + p, static_cast<uint64_t>(at) - p, h);
        ASSERT_GT(length, 0u) << item.name;
        EXPECT_EQ(std::string(h.name, static_cast<size_t>(h.nameLength)), item.name);
        EXPECT_EQ(h.method, static_cast<uint16_t>(item.method)) << item.name;
        EXPECT_EQ(h.size, item.data.size()) << item.name;
        EXPECT_EQ(readLe32(archive.data() + h.localHeaderOffset), zip::kLocalSignature) << item.name;
        EXPECT_EQ(zip::localDataOffset(archive.data() + h.localHeaderOffset),
                  zip::kLocalHeaderSize + static_cast<int64_t>(item.name.size()) + (stamped(item) ? 9 : 0))
            << item.name;
        EXPECT_EQ(h.modifiedSeconds, stamped(item) ? item.unixTime : zip::CentralHeader::kNoTime) << item.name;
        EXPECT_EQ(h.dosTime, tool::ZipWriter::kDefaultDosTime) << item.name;
        p += length;
    }
    EXPECT_EQ(p, static_cast<uint64_t>(at));

    // The launcher's reader, behind foreign bytes as in a packed executable.
    std::vector<uint8_t> packed = noise(3000);
    packed.insert(packed.end(), archive.begin(), archive.end());
    ZipReader reader;
    ASSERT_TRUE(reader.open(std::make_unique<MemorySource>(packed.data(), packed.size())));
    EXPECT_EQ(reader.archiveStart(), 3000);
    ASSERT_EQ(reader.entryCount(), static_cast<int32_t>(items.size()));
    for (int32_t i = 0; i < reader.entryCount(); ++i) {
        const ZipEntry& e = reader.entry(i);
        const Item& item = items[static_cast<size_t>(i)];
        EXPECT_EQ(std::string(e.name, static_cast<size_t>(e.nameLength)), item.name);
        std::vector<uint8_t> out(e.size + 1);
        ASSERT_TRUE(reader.readEntry(i, out.data())) << item.name;
        out.resize(e.size);
        EXPECT_EQ(out, item.data) << item.name;
    }
}

TEST(ZipRoundTrip, Zip64RecordsReadBackThroughTheSharedParsers) {
    // Limits low enough that the count, sizes and offsets all go to zip64.
    tool::ZipWriter writer(tool::ZipWriter::Limits{2, 200});
    std::string error;
    const std::vector<std::vector<uint8_t>> data = {noise(300), bytesOf("small"), noise(150), noise(10)};
    for (size_t i = 0; i < data.size(); ++i)
        ASSERT_TRUE(writer.add("e" + std::to_string(i), data[i], tool::ZipWriter::Method::Stored, error)) << error;
    ASSERT_TRUE(writer.finish(error)) << error;
    const std::vector<uint8_t>& archive = writer.bytes();
    const auto size = static_cast<int64_t>(archive.size());

    const int64_t at = zip::findEndRecord(archive.data(), size);
    ASSERT_GE(at, zip::kZip64EndSize + zip::kZip64LocatorSize);
    zip::EndRecord end = zip::readEndRecord(archive.data() + at);
    EXPECT_EQ(end.entries, 0xFFFFu);
    ASSERT_TRUE(zip::applyZip64End(archive.data() + at - zip::kZip64EndSize - zip::kZip64LocatorSize, end));
    EXPECT_EQ(end.entries, data.size());
    zip::DirectoryPlace place;
    ASSERT_TRUE(zip::locateDirectory(end, at - zip::kZip64EndSize - zip::kZip64LocatorSize, place));
    EXPECT_EQ(place.archiveStart, 0);
    // A directory that claims more than the bytes before its end record is refused.
    EXPECT_FALSE(zip::locateDirectory(end, place.start + static_cast<int64_t>(end.directorySize) - 1, place));

    std::vector<uint8_t> packed = noise(777);
    packed.insert(packed.end(), archive.begin(), archive.end());
    ZipReader reader;
    ASSERT_TRUE(reader.open(std::make_unique<MemorySource>(packed.data(), packed.size())));
    EXPECT_EQ(reader.archiveStart(), 777);
    ASSERT_EQ(reader.entryCount(), static_cast<int32_t>(data.size()));
    for (int32_t i = 0; i < reader.entryCount(); ++i) {
        const auto& want = data[static_cast<size_t>(i)];
        ASSERT_EQ(reader.entry(i).size, want.size());
        std::vector<uint8_t> out(want.size());
        ASSERT_TRUE(reader.readEntry(i, out.data())) << i;
        EXPECT_EQ(out, want) << i;
    }
}

TEST(ZipFormat, EndRecordSearchLimitsAndArchiveNames) {
    std::vector<uint8_t> bytes(100, 0);
    EXPECT_EQ(zip::findEndRecord(bytes.data(), 100), -1);
    writeLe32(bytes.data() + 10, zip::kEndSignature);
    writeLe32(bytes.data() + 40, zip::kEndSignature);
    // A signature with no room for a whole record after it is no record.
    writeLe32(bytes.data() + 90, zip::kEndSignature);
    EXPECT_EQ(zip::findEndRecord(bytes.data(), 100), 40);
    EXPECT_EQ(zip::findEndRecord(bytes.data(), 100, 41), -1);
    EXPECT_EQ(zip::findEndRecord(bytes.data(), 40 + zip::kEndRecordSize - 1), 10);
    EXPECT_EQ(zip::findEndRecord(bytes.data(), 10), -1);

    zip::CentralHeader h;
    std::vector<uint8_t> header(zip::kCentralHeaderSize + 3, 0);
    writeLe32(header.data(), zip::kCentralSignature);
    header[28] = 3;  // name length
    EXPECT_EQ(zip::readCentralHeader(header.data(), header.size(), h), header.size());
    EXPECT_EQ(zip::readCentralHeader(header.data(), header.size() - 1, h), 0u);  // the name runs past the end
    header[0] = 0;
    EXPECT_EQ(zip::readCentralHeader(header.data(), header.size(), h), 0u);

    for (const char* name : {"a.jar", "lib/b.ZIP", "x.Jar"}) EXPECT_TRUE(zip::isArchiveName(name)) << name;
    for (const char* name : {".jar", "jar", "a.jarx", "a.war", "", "a.ja"})
        EXPECT_FALSE(zip::isArchiveName(name)) << name;
}

}  // namespace
