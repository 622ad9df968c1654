#include <gtest/gtest.h>

#include <string>

#include "common/utf.h"
#include "config/messages.h"
#include "platform/environment.h"
#include "platform/resources.h"
#include "support/packed_config.h"
#include "support/test_support.h"

using namespace hux;

namespace {

// Loads a configuration built from `embedded` and `external` and forgets the
// override table before and after each test.
class MessageTest : public ::testing::Test {
protected:
    void SetUp() override { resetMessageOverridesForTesting(); }
    void TearDown() override { resetMessageOverridesForTesting(); }
    void load(const std::string& embedded, const std::string& external = "") {
        config_ = test::loadPackedConfig(dir_.path(), embedded, external);
    }
    std::string text(int number) const { return std::string(messageText(*config_, number).view()); }

    test::TempDir dir_;
    std::unique_ptr<LaunchConfig> config_;
};

std::string format(std::string_view fmt, std::initializer_list<std::string_view> args) {
    ByteString out;
    formatText(out, fmt, args);
    return std::string(out.view());
}

}  // namespace

// The Windows executable carries the texts as a string table; it must hold
// exactly the compiled-in texts (and nothing where they have none).
TEST(MessageResources, StringTableMatchesCompiledInTexts) {
    std::u16string units;
    if (!platform::stringResource(1, units)) GTEST_SKIP() << "no string-table resources on this platform";
    for (int number = 0; number < 40; ++number) {
        units.clear();
        const bool found = platform::stringResource(number, units);
        const char* builtin = builtinMessageText(number);
        ASSERT_EQ(found, builtin != nullptr) << "message " << number;
        if (found) {
            EXPECT_EQ(std::string(utf16ToUtf8(units).view()), builtin) << "message " << number;
        }
    }
}

TEST_F(MessageTest, OverridesParseTheNumberAndTheFirstLineWins) {
    load(
        "message 13=Embedded text\r\n"
        "message 7 = Missing class\r\n"
        "message 5abc=five\r\n"
        "message abc=ignored\r\n"
        "message 0=zero\r\n"
        "message -4=negative\r\n"
        "message 8 no equals sign\r\n"
        "message \t+2=two\r\n"
        "message 99999999999=huge\r\n"
        "message 3=a=b\r\n",
        "message 13=External text\r\n");
    EXPECT_EQ(text(13), "External text");  // external lines come first
    EXPECT_EQ(text(7), " Missing class");  // the space after '=' stays
    EXPECT_EQ(text(5), "five");
    EXPECT_EQ(text(2), "two");
    EXPECT_EQ(text(3), "a=b");  // the first '=' splits
    // Numbers without an override keep the built-in text, or none.
    EXPECT_EQ(text(8), "The main startup class is not valid, main method missing.");
    EXPECT_EQ(text(4), "Java Virtual Machine starts failed.");
    EXPECT_EQ(text(9), "");
    EXPECT_EQ(text(-3), "");
    EXPECT_EQ(text(0), "");
    EXPECT_EQ(text(2147483647), "huge");  // saturates like the standard conversion
}

TEST_F(MessageTest, OverrideTableIsBuiltOnceAndExpanded) {
    ASSERT_TRUE(platform::putEnv("HUX_T_MSG=expanded"));
    load("message 13=%HUX_T_MSG% \\tvalue\r\n");
    EXPECT_EQ(text(13), "expanded \tvalue");
    load("message 13=changed\r\n");  // the table is kept for the process
    EXPECT_EQ(text(13), "expanded \tvalue");
    platform::putEnv("HUX_T_MSG=").ignore();
}

TEST(MessageEscapes, UnescapeMessage) {
    EXPECT_EQ(unescapeMessage("First line\\nSecond line"), "First line\nSecond line");
    EXPECT_EQ(unescapeMessage("a\\rb\\tc"), "a\rb\tc");
    EXPECT_EQ(unescapeMessage("\\\\ and \\= and \\q"), "\\ and = and q");
    EXPECT_EQ(unescapeMessage("trailing\\"), "trailing");
    EXPECT_EQ(unescapeMessage("\\"), "");
    EXPECT_EQ(unescapeMessage(""), "");
}

TEST(MessageFormat, HostileFormatsNeverReadMissingArguments) {
    EXPECT_EQ(format("%n%d%x%p %5s %-s", {"a"}), "%n%d%x%p %5s %-s");
    EXPECT_EQ(format("%s %s %s %s %s %s", {"1", "2", "3", "", ""}), "1 2 3   ");
    EXPECT_EQ(format("100%% %s%", {"done"}), "100% done%");
    EXPECT_EQ(format("%", {}), "%");
    EXPECT_EQ(format("%s", {}), "");
    const std::string longText(5000, 'y');
    const std::string longVersion(3000, '9');
    const std::string out = format(longText + "%s", {longVersion});
    EXPECT_EQ(out.size(), 8000u);
    EXPECT_EQ(out.substr(4998, 4), "yy99");
}

TEST_F(MessageTest, VersionMessageUsesOverrides) {
    load("message 6=Need %s, have %s %d\r\nmessage 12=%s>%s..%s%s%s%s\r\n");
    EXPECT_EQ(std::string(versionMessage(*config_, 6, "1.8", "11", "17").view()), "Need 1.8, have 11 %d");
    EXPECT_EQ(std::string(versionMessage(*config_, 12, "21", "11", "17").view()), "21>11..17");
    resetMessageOverridesForTesting();
    load("mainclass a.B\r\n");
    EXPECT_EQ(std::string(versionMessage(*config_, 6, "1.8", "11", "").view()),
              "Java virtual machine version 1.8 is too low, require 11 or higher.");
    EXPECT_EQ(std::string(versionMessage(*config_, 12, "21", "11", "17").view()),
              "Java virtual machine version 21 is too high, version between 11 and 17 is required.");
}
