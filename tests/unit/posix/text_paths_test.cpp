// Linux text and paths: UTF-8 whatever the locale, characters rather than
// bytes in the directory matcher, no short path limit, no blocking on FIFOs.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "common/utf.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/text.h"
#include "support/test_support.h"

using namespace hux;
namespace fs = std::filesystem;

namespace {

// Runs a test body under a given locale and restores the previous one.
class LocaleScope {
public:
    explicit LocaleScope(const char* name) : saved_(std::setlocale(LC_ALL, nullptr)) {
        active_ = std::setlocale(LC_ALL, name) != nullptr;
    }
    ~LocaleScope() { std::setlocale(LC_ALL, saved_.c_str()); }
    bool active() const { return active_; }

private:
    std::string saved_;
    bool active_ = false;
};

std::u16string ansi(std::string_view text) { return platform::ansiToUtf16(text.data(), text.size()); }

}  // namespace

TEST(LinuxText, AnsiIsUtf8InEveryLocale) {
    for (const char* locale : {"C", "C.UTF-8"}) {
        LocaleScope scope(locale);
        ASSERT_TRUE(scope.active()) << locale;
        SCOPED_TRACE(locale);
        EXPECT_EQ(ansi("r\xC3\xA9"
                       "f-ab.txt"),
                  u"r\u00E9f-ab.txt");
        EXPECT_EQ(ansi("\xE4\xB8\xAD \xF0\x9F\x98\x80"), u"\u4E2D \U0001F600");
        // Invalid bytes are replaced, nothing after them is lost.
        EXPECT_EQ(ansi("\xFF\xFE"
                       "ab"),
                  u"\uFFFD\uFFFDab");
        EXPECT_EQ(ansi("caf\xE9 x"), u"caf\uFFFD x");
        // A NUL still ends a C string.
        EXPECT_EQ(ansi(std::string_view("a\0b", 3)), u"a");
        const std::u16string back = u"\u00DCn\u00EFc\u00F6d\u00E9 \U0001F600";
        EXPECT_EQ(platform::utf16ToAnsi(back.data(), back.size()),
                  "\xC3\x9Cn\xC3\xAF"
                  "c\xC3\xB6"
                  "d\xC3\xA9 \xF0\x9F\x98\x80");
    }
}

TEST(LinuxText, ConfigurationTextReadsBothSpellingsOfSupplementaryCharacters) {
    EXPECT_EQ(platform::utf8TextToUtf16("A\xF0\x9F\x98\x80"
                                        "B"),
              u"A\U0001F600B");
    EXPECT_EQ(platform::utf8TextToUtf16("A\xED\xA0\xBD\xED\xB8\x80"
                                        "B"),
              u"A\U0001F600B");
    EXPECT_EQ(platform::utf8TextToUtf16("caf\xE9"), u"caf\uFFFD");
}

TEST(LinuxText, LocaleDecodesOnlyWhatTheVirtualMachineReadsBack) {
    {
        LocaleScope scope("C");
        EXPECT_TRUE(platform::localeDecodes("/tmp/plain dir/app"));
        EXPECT_FALSE(platform::localeDecodes("/tmp/\xC3\xBC dir/app"));
    }
    {
        LocaleScope scope("C.UTF-8");
        ASSERT_TRUE(scope.active());
        EXPECT_TRUE(platform::localeDecodes("/tmp/\xC3\xBC dir/app"));
        EXPECT_FALSE(platform::localeDecodes("/tmp/\xFF dir/app"));
        EXPECT_FALSE(platform::localeDecodes("/tmp/\xED\xA0\x80"));
        // Options carry a character beyond the Basic Multilingual Plane; the
        // class path reader does not, in any locale.
        EXPECT_TRUE(platform::localeDecodes("/tmp/\xF0\x9F\x98\x80/app"));
        EXPECT_FALSE(platform::classPathOpensByName("/tmp/\xF0\x9F\x98\x80/app"));
        EXPECT_TRUE(platform::classPathOpensByName("/tmp/\xC3\xBC \xEF\xBF\xBF/app"));
        EXPECT_FALSE(platform::classPathOpensByName("/tmp/\xFF/app"));
    }
}

TEST(LinuxWildcards, MatchCharactersWithUnicodeCaseFolding) {
    struct Case {
        const char* pattern;
        const char* name;
        bool match;
    };
    const Case cases[] = {
        {"caf?.txt", "caf\xC3\xA9.txt", true},  // one character, two bytes
        {"caf??.txt", "caf\xC3\xA9.txt", false},
        {"CAF\xC3\x89*", "caf\xC3\xA9.txt", true},  // É folds to é
        {"\xCE\xA3\xCE\x8A\xCE\xA3\xCE\xA5\xCE\xA6\xCE\x9F\xCE\xA3*",
         "\xCF\x83\xCE\xAF\xCF\x83\xCF\x85\xCF\x86\xCE\xBF\xCF\x82.txt", true},
        {"\xD0\x9C\xD0\x98\xD0\xA0*", "\xD0\xBC\xD0\xB8\xD1\x80.txt", true},  // МИР* / мир.txt
        {"\xC5\x81\xC3\x93"
         "D\xC5\xB9.?",
         "\xC5\x82\xC3\xB3"
         "d\xC5\xBA.x",
         true},                           // ŁÓDŹ.? / łódź.x
        {"?", "\xF0\x9F\x98\x80", true},  // one character beyond the BMP
        {"?", "\xFF", true},              // a stray byte is one character
        {"\xFE", "\xFF", false},          // two different stray bytes differ
        {"a?c",
         "a\xFF\xFE"
         "c",
         false},
        {"*.*", "README", false},  // a dot is required
        {"*.*", "notes.txt", true},
        {"*", ".hidden", true},
        {"STRASSE",
         "stra\xC3\x9F"
         "e",
         false},  // no one-to-many folding
        {"*x*y", "axbxcy", true},
        {"*x*y", "axbxc", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(platform::wildcardMatches(c.pattern, c.name), c.match) << c.pattern << " / " << c.name;
}

TEST(LinuxPaths, DeepExecutablePathsAndDirectoriesAreNotCut) {
    const std::string self = platform::moduleFileName().value().c_str();
    EXPECT_EQ(self, fs::read_symlink("/proc/self/exe").string());

    // A working directory 3,000 bytes deep is reported whole.
    const test::TempDir scratch;
    const fs::path base = scratch.path();
    fs::path deep = base;
    while (deep.string().size() < 3000) deep /= std::string(200, 'd');
    fs::create_directories(deep);
    const fs::path saved = fs::current_path();
    ASSERT_TRUE(platform::setCurrentDirectory(deep.c_str()));
    EXPECT_EQ(std::string(platform::currentDirectory().value().c_str()), deep.string());
    fs::current_path(saved);
}

TEST(LinuxPaths, DescriptorPathOpensWhatTheOriginalNames) {
    const test::TempDir scratch;
    const fs::path dir = scratch.path();
    const fs::path file = dir / "\xC3\xBC.jar";
    std::ofstream(file) << "content";
    for (const bool resolvable : {false, true}) {
        SCOPED_TRACE(resolvable);
        const ByteString name = platform::descriptorPath(file.c_str(), resolvable);
        ASSERT_TRUE(startsWith(name.view(), "/proc/self/fd/"));
        std::ifstream in(name.c_str());
        std::string text;
        in >> text;
        EXPECT_EQ(text, "content");
        // Only the copy has no way back to the original name.
        std::error_code ec;
        const fs::path canonical = fs::canonical(name.c_str(), ec);
        EXPECT_EQ(!ec && canonical == file, !resolvable) << canonical;
        EXPECT_TRUE(platform::descriptorPath((dir / "missing").c_str(), resolvable).empty());
    }
    // A directory has no copy; it is still named by a descriptor.
    EXPECT_TRUE(platform::descriptorPath(dir.c_str(), true).empty());
    EXPECT_FALSE(platform::descriptorPath(dir.c_str(), false).empty());
}

TEST(LinuxPaths, OnlyRegularFilesOpenAndAFifoNeverBlocks) {
    const test::TempDir scratch;
    const fs::path dir = scratch.path();
    const fs::path fifo = dir / "app.cfg";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const auto start = std::chrono::steady_clock::now();
    platform::InputFile f;
    EXPECT_FALSE(f.open(fifo.c_str()));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_FALSE(f.open("/dev/null"));
    EXPECT_FALSE(f.open(dir.c_str()));
    const fs::path regular = dir / "app.config";
    std::ofstream(regular) << "0123456789";
    ASSERT_TRUE(f.open(regular.c_str()));
    char buffer[4] = {};
    // Reads block again once the file is open, so nothing comes back short.
    EXPECT_TRUE(f.readAt(6, buffer, 4));
    EXPECT_EQ(std::string(buffer, 4), "6789");
    f.close();
}
