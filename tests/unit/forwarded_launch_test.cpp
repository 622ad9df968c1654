// The natively written ForwardedLaunch message against the bytes the Java
// runtime's ObjectOutputStream writes for the same values (recorded from JDK
// 17): the same on every platform.
#include <gtest/gtest.h>

#include <string>

#include "services/forwarded_launch.h"

using namespace hux;

namespace {

std::string hexOf(const ByteBuffer& b) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (int32_t i = 0; i < b.length(); ++i) {
        s.push_back(digits[b.data()[i] >> 4]);
        s.push_back(digits[b.data()[i] & 15]);
    }
    return s;
}

// The class descriptions, identical in every stream.
const std::string kHead =
    "aced000573720020636f6d2e6d6f72646176696e2e6875782e466f727761726465644c61756e636868757846574400010200025b00046172"
    "67737400135b4c6a6176612f6c616e672f537472696e673b4c0010776f726b696e674469726563746f72797400124c6a6176612f6c616e"
    "672f537472696e673b7870757200135b4c6a6176612e6c616e672e537472696e673badd256e7e91d7b470200007870";
// The kind word of a confirmed object (2, little-endian): its receiver answers.
const std::string kKind = "02000000";

}  // namespace

TEST(ForwardedLaunch, BytesAreWhatTheRuntimeWrites) {
    EXPECT_EQ(hexOf(forwardedLaunchMessage({}, u"/w")), kKind + kHead + "000000007400022f77");
    // Latin-1, empty, CJK, a supplementary character (two surrogates, three
    // bytes each) and NUL (C0 80).
    const std::vector<std::u16string> mixed = {
        u"a", u"", u"\u00e9t\u00e9", u"\u65e5\u672c", u"\U0001F600", std::u16string(u"x\0y", 3)};
    EXPECT_EQ(hexOf(forwardedLaunchMessage(mixed, u"/d\u00ef r")),
              kKind + kHead +
                  "0000000674000161740000740005c3a974c3a9740006e697a5e69cac740006eda0bdedb88074000478c08079740006"
                  "2f64c3af2072");
}

TEST(ForwardedLaunch, LongStringsSwitchToEightByteLengths) {
    // 65535 bytes still fit a 2-byte length; one more byte needs the long form.
    ByteBuffer a;
    appendSerializedString(a, std::u16string(65535, u'x'));
    ASSERT_EQ(a.length(), 3 + 65535);
    EXPECT_EQ(a.data()[0], 0x74);
    EXPECT_EQ(a.data()[1], 0xFF);
    EXPECT_EQ(a.data()[2], 0xFF);
    ByteBuffer b;
    appendSerializedString(b, std::u16string(21846, u'\u65e5'));  // 65538 bytes
    ASSERT_EQ(b.length(), 9 + 65538);
    EXPECT_EQ(b.data()[0], 0x7C);
    const uint8_t length[] = {0, 0, 0, 0, 0, 1, 0, 2};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(b.data()[1 + i], length[i]) << i;
    EXPECT_EQ(b.data()[9], 0xE6);
}
