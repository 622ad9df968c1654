#include <gtest/gtest.h>

#include "common/byte_string.h"
#include "common/utf.h"

using namespace hux;

TEST(ByteString, GrowthFollowsTheLauncherRule) {
    ByteString s;
    EXPECT_EQ(s.capacity(), 8);
    EXPECT_STREQ(s.c_str(), "");
    s.resize(7);  // 8 bytes hold 7 + NUL
    EXPECT_EQ(s.capacity(), 8);
    s.resize(8);  // doubled
    EXPECT_EQ(s.capacity(), 16);
    s.resize(40);  // doubling to 32 is short: (40 + 12) & ~7
    EXPECT_EQ(s.capacity(), 48);
    s.resize(3);  // shrinking keeps the memory
    EXPECT_EQ(s.capacity(), 48);
    EXPECT_EQ(s.length(), 3);
    EXPECT_EQ(s.c_str()[3], '\0');
}

TEST(ByteString, AppendCopyMoveAndSelfAppend) {
    ByteString s("abc");
    s.append(s.view());  // appending its own bytes survives the reallocation
    EXPECT_EQ(s, "abcabc");
    ByteString moved(std::move(s));
    EXPECT_EQ(moved, "abcabc");
    EXPECT_STREQ(s.c_str(), "");  // NOLINT: moved-from stays a valid empty string
    s.append("x");
    EXPECT_EQ(s, "x");
    moved.erasePrefix(2);
    EXPECT_EQ(moved, "cabc");
}

TEST(ByteBuffer, GrowthAndStringList) {
    ByteBuffer b;
    EXPECT_EQ(b.capacity(), 8);
    b.resize(9);
    EXPECT_EQ(b.capacity(), 16);
    b.resize(37);  // (37 + 11) & ~7
    EXPECT_EQ(b.capacity(), 48);

    StringList list;
    list.append("one");
    list.append("");
    list.append("three");
    ASSERT_EQ(list.count(), 3);
    EXPECT_STREQ(list.at(0), "one");
    EXPECT_STREQ(list.at(1), "");
    EXPECT_STREQ(list.at(2), "three");
    EXPECT_EQ(list.bytes().length(), 4 + 1 + 6);
}

TEST(Utf, EncoderWorksPerCodeUnit) {
    const char16_t units[] = {u'A', 0x00E9, 0x20AC, 0xD83D, 0xDE00, 0};
    ByteString s = utf16ToUtf8(std::u16string_view(units, 5));
    // Surrogates are encoded one by one, three bytes each.
    EXPECT_EQ(s, "A\xC3\xA9\xE2\x82\xAC\xED\xA0\xBD\xED\xB8\x80");
    ByteString stop;
    const char16_t withZero[] = {u'a', 0, u'b'};
    appendUtf8FromUtf16(stop, withZero, 3);
    EXPECT_EQ(stop, "a");
}

TEST(Utf, DecoderReplacesMalformedSequences) {
    EXPECT_EQ(utf8ToUtf16("A\xC3\xA9\xE2\x82\xAC"), (std::u16string{u'A', 0xE9, 0x20AC}));
    // A stray continuation byte and a four-byte lead give '?'.
    EXPECT_EQ(utf8ToUtf16("\x80x\xF0"), u"?x?");
    // A missing continuation gives '?' and the byte is read again.
    EXPECT_EQ(utf8ToUtf16("\xC3x"), u"?x");
    // A sequence cut off by the end ends decoding.
    EXPECT_EQ(utf8ToUtf16("ab\xE2\x82"), u"ab");
}
