// The platform layer's failures: the system's code and a text that names what
// was tried, from the status type itself and from a call that fails.
#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <string>

#include "platform/files.h"
#include "platform/run_program.h"
#include "platform/status.h"
#include "support/test_support.h"

using namespace hux;

namespace {

// ENOENT and ERROR_FILE_NOT_FOUND are both 2.
constexpr int kNotFound = ENOENT;

}  // namespace

TEST(PlatformStatus, CarriesCodeAndText) {
    struct Case {
        const char* name;
        platform::Status status;
        bool ok;
        int code;
        std::string message;
    };
    const std::string notFound = platform::systemErrorText(kNotFound);
    const Case cases[] = {
        {"success", platform::Status(), true, 0, ""},
        {"own refusal", platform::Status::failure("cannot open 'x': not a regular file"), false, 0,
         "cannot open 'x': not a regular file"},
        {"system error", platform::errorStatus(platform::describe("cannot open", "/x/y"), kNotFound), false, kNotFound,
         "cannot open '/x/y': " + notFound},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.status.ok(), c.ok);
        EXPECT_EQ(static_cast<bool>(c.status), c.ok);
        EXPECT_EQ(c.status.code(), c.code);
        EXPECT_EQ(c.status.message(), c.message);
    }
    // The system's own words, without the line break or full stop they end with.
    ASSERT_FALSE(notFound.empty());
    EXPECT_EQ(notFound.find_first_of("\r\n"), std::string::npos);
    EXPECT_NE(notFound.back(), '.');
    EXPECT_EQ(platform::systemErrorText(-12345).empty(), false);

    const platform::Result<int> value(7);
    const platform::Result<int> failed(platform::Status::failure("no value", 3));
    EXPECT_TRUE(value.ok());
    EXPECT_EQ(value.value(), 7);
    EXPECT_FALSE(failed.ok());
    EXPECT_EQ(failed.status().code(), 3);
    EXPECT_EQ(failed.value(), 0);
}

TEST(PlatformStatus, FileCallsNameWhatFailed) {
    test::TempDir dir;
    const std::string missing = dir.file("missing.bin");
    const std::string short_ = dir.file("short.bin");
    std::ofstream(short_, std::ios::binary) << "abc";
    const std::string notFound = platform::systemErrorText(kNotFound);

    platform::InputFile file;
    platform::Status opened = file.open(missing.c_str());
    EXPECT_EQ(opened.code(), kNotFound);
    EXPECT_EQ(opened.message(), "cannot open '" + missing + "': " + notFound);

    ASSERT_TRUE(file.open(short_.c_str()));
    char buffer[8];
    const platform::Status read = file.readAt(1, buffer, sizeof buffer);
    EXPECT_EQ(read.message(), "cannot read 8 bytes at 1: the file ends first");

    platform::DirLister lister;
    const std::string pattern = dir.file("absent") + "/*";
    const platform::Status listed = lister.open(pattern.c_str());
    EXPECT_FALSE(listed.ok());
    EXPECT_EQ(listed.message().rfind("cannot list '" + pattern + "': ", 0), 0u) << listed.message();
}

TEST(PlatformStatus, ProgramCallsNameWhatFailed) {
    test::TempDir dir;
    const std::string missing = dir.file("missing-program");
    const std::string start = "cannot start '" + missing + "': ";
    const platform::Result<int> ran = platform::runProgram({missing});
    bool timedOut = true;
    const platform::Result<int> within =
        platform::runProgramCapturingWithin({missing}, dir.file("log"), 5, 1, timedOut);
    for (const platform::Status& s : {ran.status(), within.status()}) {
        EXPECT_EQ(s.code(), kNotFound);
        EXPECT_EQ(s.message().rfind(start, 0), 0u) << s.message();
        EXPECT_GT(s.message().size(), start.size());
    }
    EXPECT_FALSE(timedOut);
    EXPECT_EQ(platform::runProgram({}).status().message(), "no program to run");
}
