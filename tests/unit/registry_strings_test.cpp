// Text values read through the registry reader: types, terminators and the
// path-buffer limit. Where there is no registry every read fails.
#include <gtest/gtest.h>

#include <string>

#include "platform/files.h"
#include "platform/registry.h"
#include "support/test_registry.h"

namespace hux {
namespace {

constexpr const char kKey[] = "Software\\HuxTest\\Strings";

bool readString(const char* valueName, std::string& out) {
    ByteString text("unchanged");
    const bool found = platform::readRegistryString(platform::RegistryRoot::CurrentUser, kKey, valueName, text);
    out.assign(text.c_str(), static_cast<size_t>(text.length()));
    return found;
}

TEST(RegistryStrings, NothingIsReadWithoutARegistry) {
    if (platform::hasRegistry()) GTEST_SKIP() << "this system has a registry";
    ByteString text("unchanged");
    EXPECT_FALSE(platform::readRegistryString(platform::RegistryRoot::LocalMachine, "SOFTWARE", "", text));
    EXPECT_EQ(text, "unchanged");
}

TEST(RegistryStrings, TextTypesTerminatorsAndLimit) {
    if (!test::userRegistryAvailable()) GTEST_SKIP() << "no registry";
    test::deleteRegistryTree(kKey);
    const std::string fits(platform::kPathMax - 1, 'f');
    const std::string tooLong(platform::kPathMax, 'g');
    const std::string padded = std::string("short") + '\0' + std::string(platform::kPathMax, 'p');
    const uint32_t number = 7;
    ASSERT_TRUE(test::setRegistryValue(kKey, "Plain", platform::kRegString, "C:\\Java\\17", 11));
    ASSERT_TRUE(test::setRegistryValue(kKey, "Expand", platform::kRegExpandString, "%JAVA%\\bin", 11));
    // Stored without its terminator, and with text after an inner NUL.
    ASSERT_TRUE(test::setRegistryValue(kKey, "Unended", platform::kRegString, "abc", 3));
    ASSERT_TRUE(test::setRegistryValue(kKey, "Inner", platform::kRegString, "one\0two", 8));
    ASSERT_TRUE(test::setRegistryValue(kKey, "Number", platform::kRegDword, &number, 4));
    ASSERT_TRUE(test::setRegistryValue(kKey, "Binary", 3, "xyz", 3));
    ASSERT_TRUE(test::setRegistryValue(kKey, "Fits", platform::kRegString, fits.c_str(),
                                       static_cast<uint32_t>(fits.size() + 1)));
    ASSERT_TRUE(test::setRegistryValue(kKey, "TooLong", platform::kRegString, tooLong.c_str(),
                                       static_cast<uint32_t>(tooLong.size() + 1)));
    ASSERT_TRUE(test::setRegistryValue(kKey, "Padded", platform::kRegString, padded.data(),
                                       static_cast<uint32_t>(padded.size())));

    std::string text;
    EXPECT_TRUE(readString("Plain", text));
    EXPECT_EQ(text, "C:\\Java\\17");
    EXPECT_TRUE(readString("Expand", text));
    EXPECT_EQ(text, "%JAVA%\\bin");  // read as stored, never expanded
    EXPECT_TRUE(readString("Unended", text));
    EXPECT_EQ(text, "abc");
    EXPECT_TRUE(readString("Inner", text));
    EXPECT_EQ(text, "one");
    EXPECT_TRUE(readString("Fits", text));
    EXPECT_EQ(text, fits);

    // Not text, too long for a path, or longer than a path buffer as stored:
    // nothing is read and the output is left alone.
    for (const char* refused : {"Number", "Binary", "TooLong", "Padded", "Missing"}) {
        EXPECT_FALSE(readString(refused, text)) << refused;
        EXPECT_EQ(text, "unchanged") << refused;
    }
    ByteString none("unchanged");
    EXPECT_FALSE(platform::readRegistryString(platform::RegistryRoot::CurrentUser, "Software\\HuxTest\\NoSuchKey",
                                              "Plain", none));
    test::deleteRegistryTree(kKey);
}

}  // namespace
}  // namespace hux
