// What the packer takes in: configuration text (one strict UTF-8 decoder),
// argument files, the checks on configuration lines, the class files it
// reads, the libraries it names, and the file writer it streams through.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "support/temp_dir.h"
#include "archive/zip_reader.h"
#include "tool/config_checks.h"
#include "tool/jars/flatten.h"
#include "tool/jars/jar_facts.h"
#include "tool/packer.h"
#include "tool/windows/pe_image.h"
#include "tool/payload/zip_writer.h"

namespace fs = std::filesystem;
using namespace hux::tool;

namespace {

std::vector<uint8_t> bytesOf(const std::string& s) { return {s.begin(), s.end()}; }

}  // namespace

TEST(ConfigText, OnlyWellFormedUtf8IsTaken) {
    const std::pair<const char*, bool> cases[] = {
        {"property y=caf\xC3\xA9", true},
        {"property y=\xE6\x97\xA5\xF0\x9F\x98\x80", true},  // a character beyond the BMP
        {"property y=\xF4\x8F\xBF\xBF", true},              // U+10FFFF
        {"property y=\xE0\x80\xAF", false},                 // overlong '/'
        {"property y=\xC0\xAF", false},                     // overlong '/'
        {"property y=\xF0\x80\x80\xAF", false},             // overlong, four bytes
        {"property y=\xF4\x90\x80\x80", false},             // past U+10FFFF
        {"property y=\xF5\x80\x80\x80", false},             // a lead that starts nothing
        {"property y=\xF7\xBF\xBF\xBF", false},
        {"property y=\xED\xA0\x80", false},  // a surrogate
        {"property y=\xC3", false},          // cut off
        {"property y=\x80", false},          // stray continuation
    };
    for (const auto& [line, good] : cases) {
        std::vector<std::string> lines;
        std::string error;
        const std::string text = std::string("mainclass a.B\n") + line + "\n";
        EXPECT_EQ(readConfigLines(bytesOf(text), lines, error), good) << line;
        if (!good) {
            EXPECT_NE(error.find("line 2 is not valid UTF-8"), std::string::npos) << error;
        }
    }
    // UTF-16: a pair is one character, a lone surrogate is refused.
    std::vector<std::string> lines;
    std::string error;
    const std::vector<uint8_t> pair = {0xFF, 0xFE, 'x', 0, ' ', 0, 0x3D, 0xD8, 0x00, 0xDE};
    ASSERT_TRUE(readConfigLines(pair, lines, error)) << error;
    EXPECT_EQ(lines, std::vector<std::string>{"x \xF0\x9F\x98\x80"});
    const std::vector<uint8_t> lone = {0xFF, 0xFE, 'x', 0, ' ', 0, 0x3D, 0xD8, 'y', 0};
    EXPECT_FALSE(readConfigLines(lone, lines, error));
    EXPECT_NE(error.find("surrogate"), std::string::npos) << error;
}

TEST(ArgumentFiles, SplitAsJavacSplitsThem) {
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"pack -t linux-x64\n  app.jar\r\n", {"pack", "-t", "linux-x64", "app.jar"}},
        {"-l \"mainclass demo.Main\" 'my app.jar'", {"-l", "mainclass demo.Main", "my app.jar"}},
        {"-o out\\dir\\app", {"-o", "out\\dir\\app"}},    // a backslash outside quotes stays
        {"\"a \\\" b\" x\"y z\"w", {"a \" b", "xy zw"}},  // quotes inside one argument
        {"", {}},
    };
    for (const auto& [text, expected] : cases) {
        std::vector<std::string> out;
        EXPECT_TRUE(splitArgumentFile(text, out)) << text;
        EXPECT_EQ(out, expected) << text;
    }
    std::vector<std::string> out;
    EXPECT_FALSE(splitArgumentFile("-l \"mainclass a.B", out));
}

TEST(ConfigChecks, BlanksAfterSingleValuesAndSeveralOptionsPerLine) {
    struct Case {
        const char* line;
        const char* warning;  // empty: none
    };
    const Case cases[] = {
        {"mainclass demo.Main ", "ends in a blank or holds a tab"},
        {"jvmdll /opt/jdk/lib/server/libjvm.so\t", "ends in a blank or holds a tab"},
        {"minjre\t17", "ends in a blank or holds a tab"},
        {"argv two words ", ""},  // a list value: its blanks are the user's
        {"option -Xmx1g -Dx=y", "holds several options"},
        {"option -Dx=y --enable-preview", "holds several options"},
        {"option -Dtitle=My App", ""},
        {"option --add-opens java.base/java.lang=ALL-UNNAMED", ""},
        {"option -Dneg=-1", ""},
        {"option -Xmx1g", ""},
    };
    for (const Case& c : cases) {
        ConfigPolicy policy;
        std::vector<std::string> lines = {"mainclass a.B", c.line}, warnings;
        std::string error;
        ASSERT_TRUE(checkConfiguration(lines, policy, warnings, error)) << error;
        if (*c.warning == 0) {
            EXPECT_TRUE(warnings.empty()) << c.line << ": " << warnings.front();
        } else {
            ASSERT_EQ(warnings.size(), 1u) << c.line;
            EXPECT_NE(warnings[0].find(c.warning), std::string::npos) << warnings[0];
            EXPECT_NE(warnings[0].find(std::string("'") + c.line + "'"), std::string::npos) << warnings[0];
        }
    }
}

TEST(ClassFiles, VersionsAndReleases) {
    const std::pair<const char*, int> versions[] = {{"1.8", 8}, {"1.8.0_40", 8}, {"8", 8}, {"11.0.2", 11},
                                                    {"17", 17}, {"21-ea", 21},   {"", 0},  {"x", 0}};
    for (const auto& [text, release] : versions) EXPECT_EQ(javaReleaseOfVersion(text), release) << text;
    const std::pair<int, int> majors[] = {{52, 8}, {55, 11}, {61, 17}, {65, 21}, {69, 25}, {48, 1}, {0, 0}};
    for (const auto& [major, release] : majors) EXPECT_EQ(javaReleaseOf(major), release) << major;
    const uint8_t head[] = {0xCA, 0xFE, 0xBA, 0xBE, 0, 0, 0, 61};
    EXPECT_EQ(classMajor(head, 8), 61);
    EXPECT_EQ(classMajor(head, 7), 0);
    const uint8_t notClass[] = {'P', 'K', 3, 4, 0, 0, 0, 61};
    EXPECT_EQ(classMajor(notClass, 8), 0);
    std::string super;
    EXPECT_EQ(mainMethodOf(notClass, 8, super), MainMethod::NotAClass);
}

TEST(NestedJarHints, EachScannerByTheClassItIsKnownBy) {
    const std::pair<const char*, const char*> known[] = {
        {"org/testng/TestNG.class", "TestNG"},
        {"org/junit/platform/commons/util/ClasspathScanner.class", "JUnit"},
        {"io/github/classgraph/ClassGraph.class", "ClassGraph"},
        {"org/hibernate/boot/archive/scan/spi/AbstractScannerImpl.class", "Hibernate"},
        {"org/jboss/weld/environment/se/Weld.class", "Weld"},
        {"org/python/core/PySystemState.class", "Jython"},
    };
    for (const auto& [entry, library] : known) EXPECT_NE(libraryHint(entry).find(library), std::string::npos) << entry;
    EXPECT_EQ(libraryHint("org/testng/TestNGException.class"), "");
    EXPECT_EQ(libraryHint("shaded/org/testng/TestNG.class"), "");
}

TEST(FileSink, StreamedArchiveReadsBackAndKeepsThePeChecksum) {
    const hux::test::TempDir scratch;
    const fs::path dir = scratch.path();
    std::string big(3 << 20, '\0');  // three pieces of the writer's chunk size
    uint32_t x = 7;
    for (char& c : big) c = static_cast<char>((x = x * 1103515245 + 12345) >> 16);
    std::ofstream((dir / "big.bin").string(), std::ios::binary) << big;
    std::ofstream((dir / "text.txt").string(), std::ios::binary) << std::string(100000, 'a') + "end";
    std::ofstream((dir / "empty.txt").string(), std::ios::binary);

    FileSink sink;
    ASSERT_TRUE(sink.open((dir / "out.bin").string()));
    sink.keepChecksum();
    // An odd length before the archive, starting with a 4-byte "checksum field".
    const std::string prefix = std::string(4, '\0') + std::string(997, 'p');
    ASSERT_TRUE(sink.write(reinterpret_cast<const uint8_t*>(prefix.data()), prefix.size()));
    ZipWriter zip(sink);
    std::string error;
    ASSERT_TRUE(zip.addFile("big.bin", (dir / "big.bin").string(), ZipWriter::Method::Stored, error)) << error;
    ASSERT_TRUE(zip.addFile("text.txt", (dir / "text.txt").string(), ZipWriter::Method::Deflated, error)) << error;
    ASSERT_TRUE(zip.addFile("empty.txt", (dir / "empty.txt").string(), ZipWriter::Method::Deflated, error)) << error;
    EXPECT_FALSE(zip.addFile("gone.txt", (dir / "gone.txt").string(), ZipWriter::Method::Stored, error));
    ASSERT_TRUE(zip.add("small", bytesOf("xyz"), ZipWriter::Method::Stored, error));
    ASSERT_TRUE(zip.finish(error, "comment")) << error;
    const uint8_t zeros[4] = {0, 0, 0, 0};
    const uint32_t streamed = sink.peChecksum(0, zeros);
    ASSERT_TRUE(sink.close());

    std::ifstream in((dir / "out.bin").string(), std::ios::binary);
    std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(file.size(), sink.size());
    hux::ZipReader reader;
    ASSERT_TRUE(reader.open(std::make_unique<hux::MemorySource>(file.data(), file.size())));
    ASSERT_EQ(reader.entryCount(), 4);
    EXPECT_EQ(reader.archiveStart(), 1001);
    for (int32_t i = 0; i < reader.entryCount(); ++i) {
        std::vector<uint8_t> data(reader.entry(i).size);
        EXPECT_TRUE(reader.readEntry(i, data.data())) << i;  // CRC checked
    }
    EXPECT_EQ(reader.entry(0).size, big.size());
    EXPECT_EQ(reader.entry(1).method, 8);
    // The running sum, CRC patches included, is the checksum of the file as
    // written: no second pass needed.
    EXPECT_EQ(streamed, peChecksum(file, 0));
}
