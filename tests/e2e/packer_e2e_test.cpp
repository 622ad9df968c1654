// The packed file's layout, `hux inspect`, and the packer's refusals.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "support/harness.h"

using namespace hux::e2e;

namespace {

uint32_t le32(const std::string& s, size_t at) {
    return static_cast<uint32_t>(static_cast<uint8_t>(s[at])) |
           (static_cast<uint32_t>(static_cast<uint8_t>(s[at + 1])) << 8) |
           (static_cast<uint32_t>(static_cast<uint8_t>(s[at + 2])) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(s[at + 3])) << 24);
}

// Where the image ends and the payload begins: the stub's size on Linux; on
// Windows the end of the last section, since the packer rewrites resources.
size_t imageEnd(const std::string& file, size_t stubSize) {
    if (file.compare(0, 2, "MZ") != 0) return stubSize;
    const uint32_t pe = le32(file, 0x3C);
    const uint32_t sections = static_cast<uint8_t>(file[pe + 6]) | (static_cast<uint8_t>(file[pe + 7]) << 8);
    const uint32_t optSize = static_cast<uint8_t>(file[pe + 20]) | (static_cast<uint8_t>(file[pe + 21]) << 8);
    size_t end = 0;
    for (uint32_t i = 0; i < sections; ++i) {
        const size_t h = pe + 24 + optSize + 40 * i;
        end = std::max<size_t>(end, le32(file, h + 20) + le32(file, h + 16));
    }
    return end;
}

}  // namespace

TEST(Packer, WritesTheDocumentedLayout) {
    TempDir dir;
    dir.write("jars/lib.jar", "PK\x05\x06" + std::string(18, '\0'));  // an (empty) archive, stored as is
    dir.write("data.txt", std::string(5000, 'd'));
    for (const Target& t : targets()) {
        SCOPED_TRACE(t.name);
        const std::string exe = dir.file(t.exeName("app"));
        RunResult r = pack(t, exe, {"mainclass app.Main", "option -Xmx64m", "property k=v\xC3\xA9"},
                           {"lib/lib.jar=" + dir.file("jars/lib.jar"), dir.file("data.txt")},
                           {"--archive-comment", "0123456789", "--no-compatible", "--keep-sharing-note"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const std::string stub = readFile(buildDir() + "/share/hux/stubs/" + t.name + "/" + t.exeName("hux-stub"));
        const std::string file = readFile(exe);
        ASSERT_GT(file.size(), stub.size());
        const size_t image = imageEnd(file, stub.size());
        // Block: UTF-8 mark, CR LF lines, one NUL, the seal (NUL, key, the CRC-32 of
        // all before it in hex, NUL); then L, 16 reserved bytes, the archive.
        // --no-compatible and --keep-sharing-note: the block holds the configured lines only.
        const std::string text =
            "\xEF\xBB\xBFmainclass app.Main\r\noption -Xmx64m\r\nproperty k=v\xC3\xA9\r\n" + std::string(1, '\0');
        char seal[16];
        std::snprintf(seal, sizeof seal, "%08lx",
                      crc32(0, reinterpret_cast<const Bytef*>(text.data()), static_cast<uInt>(text.size())));
        const std::string expectedBlock = text + std::string(1, '\0') + "hux-crc32=" + seal + std::string(1, '\0');
        EXPECT_EQ(file.substr(image, expectedBlock.size()), expectedBlock);
        const size_t lengthAt = image + expectedBlock.size();
        EXPECT_EQ(le32(file, lengthAt), expectedBlock.size());
        const size_t archiveStart = lengthAt + 4 + 16;
        EXPECT_EQ(le32(file, archiveStart), 0x04034b50u);  // the first local header
        // The end record sits 10 bytes (the comment) before the end; its offsets
        // count from the archive's first byte.
        const size_t record = file.size() - 10 - 22;
        ASSERT_EQ(le32(file, record), 0x06054b50u);
        EXPECT_EQ(file.substr(file.size() - 10), "0123456789");
        const uint32_t dirSize = le32(file, record + 12);
        const uint32_t dirOffset = le32(file, record + 16);
        EXPECT_EQ(archiveStart + dirOffset + dirSize, record);
        EXPECT_EQ(le32(file, archiveStart + dirOffset), 0x02014b50u);

        RunResult shown = run({toolPath(), "inspect", exe});
        ASSERT_EQ(shown.exitCode, 0) << shown.err;
        EXPECT_NE(shown.out.find("  mainclass app.Main\n"), std::string::npos) << shown.out;
        EXPECT_NE(shown.out.find("L = " + std::to_string(expectedBlock.size()) + " bytes"), std::string::npos);
        EXPECT_NE(shown.out.find("A = " + std::to_string(record + 22 - archiveStart) + " bytes"), std::string::npos);
        EXPECT_NE(shown.out.find("T = 10 bytes"), std::string::npos);
        EXPECT_NE(shown.out.find("stored"), std::string::npos);
        EXPECT_NE(shown.out.find("lib/lib.jar"), std::string::npos);
        EXPECT_NE(shown.out.find("deflated"), std::string::npos);
        EXPECT_NE(shown.out.find(" data.txt"), std::string::npos);
        EXPECT_NE(shown.out.find("com/mordavin/hux/CarvossClassLoader.class"), std::string::npos);
    }
}

TEST(Packer, AConfiguredCompatibleLineReplacesTheDefault) {
    TempDir dir;
    const Target linux{"linux-x64"};
    for (const std::string& line : {std::string("compatible false"), std::string("  COMPATIBLE\tno")}) {
        SCOPED_TRACE(line);
        ASSERT_EQ(pack(linux, dir.file("app"), {"mainclass a.B", line}).exitCode, 0);
        const std::string file = readFile(dir.file("app"));
        EXPECT_NE(file.find(line + "\r\n"), std::string::npos);
        EXPECT_EQ(file.find("compatible true\r\n"), std::string::npos);
    }
}

TEST(Packer, InstalledToolFindsItsStubsAndSupportClasses) {
    TempDir dir;
    RunResult installed = run({"cmake", "--install", buildDir(), "--prefix", dir.file("prefix")});
    ASSERT_EQ(installed.exitCode, 0) << installed.err << installed.out;
    for (const Target& t : targets()) {
        SCOPED_TRACE(t.name);
        const std::string exe = dir.file(t.exeName("installed"));
        RunResult r = run({dir.file("prefix/bin/hux"), "pack", "-t", t.name, "-o", exe, "-l", "mainclass a.B"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        RunResult shown = run({dir.file("prefix/bin/hux"), "inspect", exe});
        EXPECT_NE(shown.out.find("com/mordavin/hux/Handler.class"), std::string::npos) << shown.out;
    }
}

TEST(Packer, RefusesBadInputWithOneLineAndNoOutput) {
    TempDir dir;
    const Target linux{"linux-x64"};
    dir.write("a.txt", "a");
    dir.write("bad.cfg", "mainclass \xFF\xFE\xFD\r\n");  // neither UTF-8 nor a UTF-16 mark at the start
    dir.write("notastub", std::string(4096, 'x'));
    struct Case {
        const char* what;
        std::vector<std::string> lines;
        std::vector<std::string> files;
        std::vector<std::string> extra;
    };
    const std::vector<Case> cases = {
        {"missing file", {"mainclass a.B"}, {dir.file("missing.jar")}, {}},
        {"unreadable config", {}, {}, {"-c", dir.file("missing.cfg")}},
        {"config that is not UTF-8", {}, {}, {"-c", dir.file("bad.cfg")}},
        {"stub without the marker", {"mainclass a.B"}, {}, {"--stub", dir.file("notastub")}},
        {"duplicate archive names",
         {"mainclass a.B"},
         {"x.txt=" + dir.file("a.txt"), "x.txt=" + dir.file("a.txt")},
         {}},
        {"line that cannot be encoded", {"mainclass \xC3"}, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string out = dir.file("out");
        RunResult r = pack(linux, out, c.lines, c.files, c.extra);
        EXPECT_NE(r.exitCode, 0);
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.err.rfind("hux pack: ", 0), 0u) << r.err;
        EXPECT_FALSE(std::filesystem::exists(out));
        EXPECT_FALSE(std::filesystem::exists(out + ".hux-partial"));
    }
}

TEST(Packer, RefusesArchiveCommentsTheLauncherCouldNotSeePast) {
    TempDir dir;
    for (const Target& t : targets()) {
        SCOPED_TRACE(t.name);
        const std::string out = dir.file(t.exeName("comment"));
        for (const std::string& comment : {std::string(65528, 'c'), std::string("see PK\x05\x06 here")}) {
            RunResult r = pack(t, out, {"mainclass a.B"}, {}, {"--archive-comment", comment});
            EXPECT_NE(r.exitCode, 0);
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
            EXPECT_EQ(r.err.rfind("hux pack: the archive comment ", 0), 0u) << r.err;
            EXPECT_FALSE(std::filesystem::exists(out));
        }
        // The longest comment it accepts still lets the launcher start.
        RunResult r =
            pack(t, out, {"mainclass a.B", "jre_order c"}, {}, {"--archive-comment", std::string(65527, 'c')});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        RunResult started = runOn(t, out);
        EXPECT_EQ(started.exitCode, 1);
        EXPECT_EQ(started.err, kNotFound);
    }
}

TEST(Packer, OneLineForUnknownTargetsAndWindowsOptionsElsewhere) {
    TempDir dir;
    const std::string out = dir.file("out");
    RunResult r = run({toolPath(), "pack", "-t", "windows-x86", "-o", out, "-l", "mainclass a.B"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, "hux pack: unknown target 'windows-x86' (use linux-x64 or windows-x64)\n");
    // Command-line mistakes too: one line, exit 2 (without a jar, -o has no default).
    r = run({toolPath(), "pack", "-t", "linux-x64", "-l", "mainclass a.B"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, "hux pack: name the executable to write with -o (no jar to name it after)\n");
    r = run({toolPath(), "inspect"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    for (const std::vector<std::string>& extra :
         {std::vector<std::string>{"--gui"}, {"--product-name", "X"}, {"--icon", dir.write("i.ico", "x")}}) {
        r = pack(Target{"linux-x64"}, out, {"mainclass a.B"}, {}, extra);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_NE(r.err.find("windows-x64 only"), std::string::npos) << r.err;
        EXPECT_FALSE(std::filesystem::exists(out));
    }
    r = pack(Target{"linux-x64"}, out, {"mainclass a.B"}, {}, {"--version", "1.x"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err.rfind("hux pack: --version: the version '1.x' is not of the form", 0), 0u) << r.err;
}

TEST(Packer, EntryNamesAreNormalisedOrRefusedByOneRule) {
    TempDir dir;
    const Target linux{"linux-x64"};
    const std::string data = dir.write("d.txt", "d");
    const std::string out = dir.file("names");
    RunResult r = pack(linux, out, {"mainclass a.B"}, {}, {"./x.txt=" + data, "a//b.txt=" + data, "c/./d.txt=" + data});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    RunResult shown = run({toolPath(), "inspect", out});
    for (const char* name : {" x.txt\n", " a/b.txt\n", " c/d.txt\n"})
        EXPECT_NE(shown.out.find(name), std::string::npos) << name;
    EXPECT_EQ(shown.out.find("./"), std::string::npos) << shown.out;
    EXPECT_EQ(shown.out.find("//"), std::string::npos) << shown.out;
    // Two spellings of one name are one name.
    r = pack(linux, out, {"mainclass a.B"}, {}, {"x.txt=" + data, "./x.txt=" + data});
    EXPECT_NE(r.err.find("duplicate archive name 'x.txt'"), std::string::npos) << r.err;
    for (const char* bad : {"../x.txt", "a/../../x", "dir/", "/abs.txt"}) {
        SCOPED_TRACE(bad);
        std::filesystem::remove(out);
        r = pack(linux, out, {"mainclass a.B"}, {}, {std::string(bad) + "=" + data});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err.rfind(std::string("hux pack: invalid archive name '") + bad + "'", 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_FALSE(std::filesystem::exists(out));
    }
}

TEST(Packer, InspectOfDamagedOrForeignFilesFailsWithoutGarbage) {
    TempDir dir;
    const Target linux{"linux-x64"};
    const std::string good = dir.file("good");
    ASSERT_EQ(pack(linux, good, {"mainclass a.B"}).exitCode, 0);
    const std::string bytes = readFile(good);
    const std::string stub = readFile(buildDir() + "/share/hux/stubs/linux-x64/hux-stub");
    // The block replaced by binary bytes; the file cut inside the archive; the
    // tool itself (it holds the marker's bytes); a file of random bytes.
    std::string binaryBlock = bytes;
    for (size_t i = stub.size(); i < stub.size() + 20; ++i) binaryBlock[i] = static_cast<char>(i * 37);
    std::string noise;
    for (int i = 0; i < 70000; ++i) noise += static_cast<char>((i * 7919) >> 3);
    noise += std::string(reinterpret_cast<const char*>("hux.archive.len\xA7"), 16) + "\x10\x00\x00\x00";
    const std::vector<std::string> files = {dir.write("binary-block", binaryBlock),
                                            dir.write("cut", bytes.substr(0, bytes.size() - 300)), toolPath(),
                                            dir.write("noise", noise), "/bin/sh"};
    for (const std::string& f : files) {
        SCOPED_TRACE(f);
        RunResult r = run({toolPath(), "inspect", f});
        EXPECT_NE(r.exitCode, 0);
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.err.rfind("hux inspect: ", 0), 0u) << r.err;
        for (char c : r.out + r.err)
            EXPECT_TRUE(c == '\n' || (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F)) << static_cast<int>(c);
        EXPECT_LT(r.out.size(), 4096u);
    }
}
