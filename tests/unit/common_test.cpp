#include <gtest/gtest.h>

#include <cstdint>
#include <type_traits>

#include "common/byte_string.h"
#include "common/never_destroyed.h"
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
    EXPECT_EQ(decodeUtf8WithQuestionMarks("A\xC3\xA9\xE2\x82\xAC"), (std::u16string{u'A', 0xE9, 0x20AC}));
    // A stray continuation byte and a four-byte lead give '?'.
    EXPECT_EQ(decodeUtf8WithQuestionMarks("\x80x\xF0"), u"?x?");
    // A missing continuation gives '?' and the byte is read again.
    EXPECT_EQ(decodeUtf8WithQuestionMarks("\xC3x"), u"?x");
    // A sequence cut off by the end ends decoding.
    EXPECT_EQ(decodeUtf8WithQuestionMarks("ab\xE2\x82"), u"ab");
}

namespace {
std::u16string strict(std::string_view bytes) { return decodeUtf8Replacing(bytes, false); }
}  // namespace

TEST(Utf, DecoderReplacesEachMaximalIllFormedSubsequenceAsTheJavaRuntimeDoes) {
    const char16_t r = 0xFFFD;
    EXPECT_EQ(strict("\xFF\xFE"
                     "ab"),
              (std::u16string{r, r, u'a', u'b'}));
    // A sequence that breaks off is one replacement; the breaking byte is read again.
    EXPECT_EQ(strict("\xE2\x82"), (std::u16string{r}));
    EXPECT_EQ(strict("\xE2\x82x"), (std::u16string{r, u'x'}));
    EXPECT_EQ(strict("\xF0\x9F\x98x"), (std::u16string{r, u'x'}));
    EXPECT_EQ(strict("\xED\xA0\xC3\xA9"), (std::u16string{r, 0xE9}));
    // Overlong forms and code points past U+10FFFF fail at their second byte.
    EXPECT_EQ(strict("\xC0\xAF"), (std::u16string{r, r}));
    EXPECT_EQ(strict("\xE0\x80\x80"), (std::u16string{r, r, r}));
    EXPECT_EQ(strict("\xF4\x90\x80\x80"), (std::u16string{r, r, r, r}));
    EXPECT_EQ(strict("\xF5"), (std::u16string{r}));
    // An encoded surrogate is one replacement, unless asked for.
    EXPECT_EQ(strict("\xED\xA0\x80"), (std::u16string{r}));
    EXPECT_EQ(decodeUtf8Replacing("\xED\xA0\xBD\xED\xB8\x80", true), (std::u16string{0xD83D, 0xDE00}));
    // The edges of the well-formed ranges, and nothing cut at a zero byte.
    EXPECT_EQ(strict("\xED\x9F\xBF\xEF\xBF\xBF\xF4\x8F\xBF\xBF"), (std::u16string{0xD7FF, 0xFFFF, 0xDBFF, 0xDFFF}));
    EXPECT_EQ(strict(std::string_view("a\0b", 3)), (std::u16string{u'a', 0, u'b'}));
    EXPECT_EQ(strict("r\xC3\xA9"
                     "f \xF0\x9F\x98\x80"),
              (std::u16string{u'r', 0xE9, u'f', u' ', 0xD83D, 0xDE00}));
}

TEST(Utf, StrictDecoderRefusesWhatTheReplacingDecoderWouldReplace) {
    std::u16string out;
    for (std::string_view bad : {"\xFF", "\xE2\x82", "\xE2\x82x", "\xC0\xAF", "\xE0\x80\x80", "\xF4\x90\x80\x80",
                                 "\xF5\x80\x80\x80", "\xED\xA0\x80", "\x80"}) {
        SCOPED_TRACE(testing::PrintToString(std::string(bad)));
        EXPECT_FALSE(decodeUtf8OrReject(bad, out));
        EXPECT_NE(strict(bad).find(char16_t{0xFFFD}), std::u16string::npos);
    }
    // What came before the first ill-formed byte is kept.
    EXPECT_FALSE(decodeUtf8OrReject("ab\xC3\xA9\xC3", out));
    EXPECT_EQ(out, (std::u16string{u'a', u'b', 0xE9}));
    const std::string_view good[] = {"",
                                     "r\xC3\xA9"
                                     "f \xF0\x9F\x98\x80",
                                     "\xED\x9F\xBF\xEF\xBF\xBD\xF4\x8F\xBF\xBF", std::string_view("a\0b", 3)};
    for (std::string_view text : good) {
        SCOPED_TRACE(testing::PrintToString(std::string(text)));
        EXPECT_TRUE(decodeUtf8OrReject(text, out));
        EXPECT_EQ(out, strict(text));
    }
}

TEST(Utf, StandardEncoderJoinsPairsAndReplacesLoneSurrogates) {
    ByteString out;
    appendUtf8Standard(out, u"A\u00E9\u20AC\U0001F600");
    EXPECT_EQ(out, "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    ByteString lone;
    const char16_t units[] = {0xDC00, u'x', 0xD800, 0};
    appendUtf8Standard(lone, std::u16string_view(units, 4));
    EXPECT_EQ(lone, "?x?");
    // Or with U+FFFD, past a zero unit when asked.
    EXPECT_EQ(utf16ToUtf8Standard(std::u16string_view(units, 4), U'\uFFFD'),
              ByteString("\xEF\xBF\xBDx\xEF\xBF\xBD\0", 8));
    // Round trip of every plane boundary.
    const std::u16string text = u"\u007F\u0080\u07FF\u0800\uFFFF\U00010000\U0010FFFF";
    ByteString encoded;
    appendUtf8Standard(encoded, text);
    EXPECT_EQ(strict(encoded.view()), text);
}

TEST(Utf, PerUnitFormIsTheSameForBothSpellingsOfACharacter) {
    const ByteString fromFourBytes = utf8ToPerUnitForm(
        "A\xF0\x9F\x98\x80"
        "B");
    const ByteString fromSurrogates = utf8ToPerUnitForm(
        "A\xED\xA0\xBD\xED\xB8\x80"
        "B");
    EXPECT_EQ(fromFourBytes,
              "A\xED\xA0\xBD\xED\xB8\x80"
              "B");
    EXPECT_EQ(fromSurrogates, fromFourBytes);
    EXPECT_EQ(utf8ToPerUnitForm("caf\xC3\xA9"), "caf\xC3\xA9");
    EXPECT_EQ(utf8ToPerUnitForm("x\xFFy"), "x\xEF\xBF\xBDy");
    // Back to four bytes for showing; a lone half, a reversed pair and stray
    // bytes stay as they are.
    EXPECT_EQ(joinSurrogatePairs(fromFourBytes.view()),
              "A\xF0\x9F\x98\x80"
              "B");
    EXPECT_EQ(joinSurrogatePairs("\xED\xA0\xBDx\xED\xB8\x80\xED\xA0\xBD\xFF"),
              "\xED\xA0\xBDx\xED\xB8\x80\xED\xA0\xBD\xFF");
    EXPECT_EQ(joinSurrogatePairs("\xED\xB8\x80\xED\xA0\xBD"), "\xED\xB8\x80\xED\xA0\xBD");
    EXPECT_EQ(joinSurrogatePairs("\xE2\xED\xA0\xBD\xED\xB8\x80\xED\xA0\xBD\xED\xB8\x80"),
              "\xE2\xF0\x9F\x98\x80\xF0\x9F\x98\x80");
}

TEST(Utf, SimpleCaseFoldingCoversEuropeanScripts) {
    const std::pair<char32_t, char32_t> folds[] = {{U'A', U'a'},   {U'Z', U'z'},    {0xC9, 0xE9},    // É
                                                   {0xDE, 0xFE},   {0x178, 0xFF},   {0x100, 0x101},  // Ÿ, Ā
                                                   {0x141, 0x142}, {0x1C4, 0x1C6},  {0x1E9E, 0xDF},  // Ł, Ǆ, ẞ
                                                   {0x3A3, 0x3C3}, {0x3C2, 0x3C3},  {0x38A, 0x3AF},  // Σ, final ς, Ί
                                                   {0x391, 0x3B1}, {0x410, 0x430},  {0x401, 0x451},  // Α, А, Ё
                                                   {0x42F, 0x44F}, {0x490, 0x491},  {0x1F08, 0x1F00},
                                                   {0xB5, 0x3BC},  {0xFF21, 0xFF41}};
    for (const auto& [from, to] : folds) {
        EXPECT_EQ(foldCase(from), to) << std::hex << static_cast<uint32_t>(from);
        EXPECT_EQ(foldCase(to), to) << std::hex << static_cast<uint32_t>(to);
    }
    // Characters without a one-to-one folding stay as they are.
    for (char32_t c : {U'1', U'_', char32_t{0xDF}, char32_t{0x130}, char32_t{0x131}, char32_t{0x101}, char32_t{0x4E2D},
                       char32_t{0x1F600}})
        EXPECT_EQ(foldCase(c), c) << std::hex << static_cast<uint32_t>(c);
}

namespace {
struct CountsDestruction {
    explicit CountsDestruction(int* counter) : counter_(counter) {}
    ~CountsDestruction() { ++*counter_; }
    int value = 7;
    int* counter_;
};
}  // namespace

TEST(NeverDestroyed, BuildsInPlaceAndNeverRunsTheDestructor) {
    // A holder with a destructor would get an exit-time destructor as a static.
    static_assert(std::is_trivially_destructible_v<NeverDestroyed<CountsDestruction>>);
    int destroyed = 0;
    {
        NeverDestroyed<CountsDestruction> held(&destroyed);
        EXPECT_EQ(held->value, 7);
        held.get().value = 9;
        EXPECT_EQ((*held).value, 9);
    }
    EXPECT_EQ(destroyed, 0);
    // The held object stays aligned for its type.
    NeverDestroyed<long double> aligned(1.5L);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(&aligned.get()) % alignof(long double), 0u);
}
