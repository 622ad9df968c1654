// The packer's rules for archive names and archive comments.
#include <gtest/gtest.h>

#include <algorithm>

#include "tool/packer.h"
#include "tool/payload/payload_listing.h"

using namespace hux::tool;

TEST(EntryNames, OneRuleNormalisesOrRefuses) {
    const std::pair<const char*, const char*> normalised[] = {
        {"x", "x"},       {"./x", "x"},      {"a//b", "a/b"}, {"a/./b", "a/b"}, {"lib/app.jar", "lib/app.jar"},
        {"a/.b", "a/.b"}, {"..x/y", "..x/y"}};
    for (const auto& [given, expected] : normalised) {
        std::string out, error;
        EXPECT_TRUE(normaliseEntryName(given, out, error)) << given << ": " << error;
        EXPECT_EQ(out, expected);
    }
    const char* const refused[] = {"../x", "a/../../x", "a/..", "dir/", "./", ".", "", "/abs", "a\\b", "a//"};
    for (const char* given : refused) {
        std::string out, error;
        EXPECT_FALSE(normaliseEntryName(given, out, error)) << given;
        EXPECT_NE(error.find(std::string("'") + given + "'"), std::string::npos) << error;
    }
}

namespace {

std::vector<uint8_t> endRecordWith(const std::string& comment) {
    std::vector<uint8_t> record(22 + comment.size(), 0);
    record[0] = 'P';
    record[1] = 'K';
    record[2] = 5;
    record[3] = 6;
    record[20] = static_cast<uint8_t>(comment.size());
    record[21] = static_cast<uint8_t>(comment.size() >> 8);
    std::copy(comment.begin(), comment.end(), record.begin() + 22);
    return record;
}

}  // namespace

TEST(ArchiveComments, TheLauncherMustFindTheEndRecordBehindThem) {
    std::string error;
    EXPECT_TRUE(checkArchiveComment(endRecordWith(""), error)) << error;
    EXPECT_TRUE(checkArchiveComment(endRecordWith("release 1.0 PK"), error)) << error;
    // The launcher, like the runtime's zip reader, looks back over 65535
    // bytes after the record; signing may pad by up to 7.
    EXPECT_TRUE(checkArchiveComment(endRecordWith(std::string(60000, 'c')), error)) << error;
    EXPECT_TRUE(checkArchiveComment(endRecordWith(std::string(65527, 'c')), error)) << error;
    EXPECT_FALSE(checkArchiveComment(endRecordWith(std::string(65528, 'c')), error));
    EXPECT_NE(error.find("65528"), std::string::npos) << error;
    // A signature in the comment, or one formed with the length field before it
    // (a comment of 0x4B50 bytes starting with 05 06).
    EXPECT_FALSE(checkArchiveComment(endRecordWith("xxPK\x05\x06yy"), error));
    std::string tricky(0x4B50, 'z');
    tricky[0] = 5;
    tricky[1] = 6;
    EXPECT_FALSE(checkArchiveComment(endRecordWith(tricky), error));
    EXPECT_NE(error.find("signature"), std::string::npos) << error;
}

TEST(InspectText, ControlAndStrayBytesAreEscapedTextStays) {
    EXPECT_EQ(printable("jvmdll C:\\jre\\bin\\server\\jvm.dll"), "jvmdll C:\\jre\\bin\\server\\jvm.dll");
    EXPECT_EQ(printable("caf\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x98\x80"), "caf\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x98\x80");
    EXPECT_EQ(printable(std::string("a\x01\x1B[2J\x7F\0z", 9)), "a\\x01\\x1B[2J\\x7F\\x00z");
    // Stray, cut-off and overlong lead bytes.
    EXPECT_EQ(printable("\xFF\xC3 \xE6\x97 \xC0\x80"), "\\xFF\\xC3 \\xE6\\x97 \\xC0\\x80");
}
