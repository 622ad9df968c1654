#include <gtest/gtest.h>

#include <string>

#include "common/utf.h"
#include "config/launch_config.h"
#include "support/test_support.h"

using namespace hux;
using hux::test::TempDir;

namespace {

// A loaded store whose merged text is `text`, all of it embedded.
struct TextConfig {
    LaunchConfig config{false};
    explicit TextConfig(const std::string& text) {
        const std::string withMark = "\xEF\xBB\xBF" + text;
        config.appendSource(reinterpret_cast<const uint8_t*>(withMark.data()), withMark.size());
    }
    std::string first(const char* key) const { return std::string(config.firstValue(key, false, false).view()); }
};

std::vector<std::string> all(const LaunchConfig& c, const char* key, bool embeddedOnly = false) {
    std::vector<std::string> out;
    c.findValues(
        key, embeddedOnly, false, {},
        [](void* user, const ByteString& v) { static_cast<std::vector<std::string>*>(user)->emplace_back(v.view()); },
        &out);
    return out;
}

// An executable image followed by a payload: block, length, reserved bytes, a
// minimal archive (an empty end record) and an optional archive comment.
std::string packedImage(const std::string& lines, const std::string& comment, uint32_t& archiveLength) {
    std::string image(300, 'M');  // stands in for the launcher image
    std::string block = "\xEF\xBB\xBF" + lines + std::string(1, '\0');
    std::string out = image + block;
    uint8_t len[4];
    writeLe32(len, static_cast<uint32_t>(block.size()));
    out.append(reinterpret_cast<char*>(len), 4);
    out.append(16, 'R');
    std::string record(22, '\0');
    writeLe32(reinterpret_cast<uint8_t*>(&record[0]), 0x06054b50);
    writeLe16(reinterpret_cast<uint8_t*>(&record[20]), static_cast<uint16_t>(comment.size()));
    out += record + comment;
    archiveLength = 22;
    return out;
}

}  // namespace

TEST(LineSyntax, LineBreaksOfEveryKindGiveTheSameValues) {
    for (const char* brk : {"\r\n", "\n", "\r", "\n\r"}) {
        const std::string b = brk;
        TextConfig t("mainclass a.B" + b + "option -Xmx1m" + b + "option -Dx=1" + b);
        EXPECT_EQ(t.first("mainclass"), "a.B") << "break " << int(brk[0]);
        EXPECT_EQ(all(t.config, "option"), (std::vector<std::string>{"-Xmx1m", "-Dx=1"}));
    }
    // Two breaks of the same kind are two lines (an empty one between).
    TextConfig t("a 1\r\rb 2\n\nc 3");
    EXPECT_EQ(t.first("b"), "2");
    EXPECT_EQ(t.first("c"), "3");
}

TEST(LineSyntax, KeyBoundaryAndValueTrimming) {
    TextConfig t(
        "MainClass x\r\n"
        "mainclassx y\r\n"
        "mainclass_y z\r\n"
        "  option  =  -Xmx64m  \r\n"
        "stdout\tlog.txt\r\n"
        "wildcard\r\n"
        "appid==two\r\n");
    EXPECT_EQ(t.first("mainclass"), "x");
    EXPECT_EQ(t.first("option"), "-Xmx64m  ");  // trailing blanks stay
    EXPECT_EQ(t.first("stdout"), "\tlog.txt");  // a tab ends the key but stays in the value
    EXPECT_EQ(t.first("wildcard"), "");
    EXPECT_EQ(t.first("appid"), "=two");  // exactly one '=' is removed
    TextConfig dash("mainclass-y z\r\n");
    EXPECT_EQ(dash.first("mainclass"), "-y z");
    TextConfig tab("mainclass \tapp.Main\r\n");
    EXPECT_EQ(tab.first("mainclass"), "\tapp.Main");  // a tab after the key stays in the value
}

TEST(LineSyntax, PrefixFilterAndTextEndsAtNul) {
    TextConfig t("option -Xss1m\r\noption -XstartOnFirstThread=1\r\n");
    EXPECT_EQ(t.config.findValues("option", false, false, "-XstartOnFirstThread"), "-XstartOnFirstThread=1");
    EXPECT_EQ(t.config.findValues("option", false, false, "-xstart"), "");  // prefixes are case-sensitive
    LaunchConfig c(false);
    const char bytes[] =
        "\xEF\xBB\xBF"
        "a 1\r\n\0b 2\r\n";
    c.appendSource(reinterpret_cast<const uint8_t*>(bytes), sizeof bytes - 1);
    EXPECT_EQ(c.firstValue("a", false, false), "1");
    EXPECT_EQ(c.firstValue("b", false, false), "");
}

TEST(Sources, EveryEncodingGivesTheSameText) {
    const std::u16string text = u"mainclass caf\u00e9.Main\r\nappid \u20ac\r\n";
    const ByteString utf8 = utf16ToUtf8(text);
    std::string withMark = "\xEF\xBB\xBF" + std::string(utf8.view());
    std::string le = "\xFF\xFE", be = "\xFE\xFF";
    for (char16_t u : text) {
        le += static_cast<char>(u & 0xFF);
        le += static_cast<char>(u >> 8);
        be += static_cast<char>(u >> 8);
        be += static_cast<char>(u & 0xFF);
    }
    for (const std::string& source : {withMark, le, be}) {
        LaunchConfig c(false);
        c.appendSource(reinterpret_cast<const uint8_t*>(source.data()), source.size());
        EXPECT_EQ(c.configText(), utf8);
    }
    // Without a mark the bytes are ANSI text; plain ASCII reads the same.
    LaunchConfig ansi(false);
    const std::string plain = "mainclass a.Main\r\n";
    ansi.appendSource(reinterpret_cast<const uint8_t*>(plain.data()), plain.size());
    EXPECT_EQ(ansi.configText(), plain.c_str());
    // UTF-16 stops at its first zero unit.
    const char z[] =
        "\xFF\xFE"
        "a\0b\0\0\0c\0";
    LaunchConfig c(false);
    c.appendSource(reinterpret_cast<const uint8_t*>(z), sizeof z - 1);
    EXPECT_EQ(c.configText(), "ab");
}

TEST(Sources, ToAnsiConvertsOnlyValuesWithHighBytes) {
    TextConfig t("appid caf\xC3\xA9\r\nwildcard auto\r\n");
    EXPECT_EQ(t.config.firstValue("wildcard", false, true), "auto");
    // Under the "C" locale the conversion stops at the first character it
    // cannot represent; under an ANSI code page it converts. Either way the
    // ASCII prefix survives and nothing beyond the value is read.
    const ByteString v = t.config.firstValue("appid", false, true);
    EXPECT_TRUE(startsWith(v.view(), "caf"));
    EXPECT_LE(v.length(), 5);
}

TEST(ArchiveComment, MeasuredFromTheEndRecordNearestTheEnd) {
    uint32_t a = 0;
    for (const std::string& comment : {std::string(), std::string("0123456789"), std::string(3000, 'c')}) {
        const std::string image = packedImage("x 1\r\n", comment, a);
        const auto* p = reinterpret_cast<const uint8_t*>(image.data());
        EXPECT_EQ(
            measureArchiveCommentLength(p, static_cast<int64_t>(image.size()), static_cast<int64_t>(image.size())),
            static_cast<int64_t>(comment.size()));
    }
    // No end record in reach: T = 0.
    std::string none(100, 'z');
    EXPECT_EQ(measureArchiveCommentLength(reinterpret_cast<const uint8_t*>(none.data()), 100, 100), 0);
}

TEST(LoadConfig, FindsTheEmbeddedBlockWithAnArchiveComment) {
    TempDir dir;
    uint32_t a = 0;
    const std::string exe =
        dir.write("tool.exe", packedImage("mainclass app.Main\r\noption -Xmx8m\r\n", "0123456789", a));
    LaunchConfig c(false);
    c.loadFrom(ByteString(exe.c_str()), a);
    EXPECT_EQ(c.firstValue("mainclass", true, true), "app.Main");
    EXPECT_EQ(c.externalLength(), 0);
    EXPECT_EQ(c.exePath(), exe.c_str());
    EXPECT_TRUE(endsWith(c.exeDir().view(), "/") || endsWith(c.exeDir().view(), "\\"));
    EXPECT_TRUE(isSeparator(c.workDir().back()));
}

TEST(LoadConfig, BlockPointingOutsideTheFileIsEmpty) {
    TempDir dir;
    uint32_t a = 0;
    std::string image = packedImage("mainclass app.Main\r\n", "", a);
    const std::string exe = dir.write("tool", image);
    LaunchConfig tooLong(false);
    tooLong.loadFrom(ByteString(exe.c_str()), 1u << 30);  // A larger than the file
    EXPECT_EQ(tooLong.configText(), "");
    // A damaged length field: L larger than what precedes it.
    const size_t lengthAt = image.size() - 22 - 16 - 4;
    writeLe32(reinterpret_cast<uint8_t*>(&image[lengthAt]), 0x7FFFFFF0);
    const std::string bad = dir.write("bad", image);
    LaunchConfig damaged(false);
    damaged.loadFrom(ByteString(bad.c_str()), a);
    EXPECT_EQ(damaged.configText(), "");
    LaunchConfig unpacked(false);  // a stub that was never packed
    unpacked.loadFrom(ByteString(exe.c_str()), 0);
    EXPECT_EQ(unpacked.configText(), "");
}

TEST(LoadConfig, ExternalFileOverridesAndDisableExternal) {
    TempDir dir;
    uint32_t a = 0;
    const std::string exe =
        dir.write("app.exe", packedImage("mainclass app.Main\r\nappid embedded\r\noption -Dfrom=embedded\r\n", "", a));
    dir.write("app.cfg",
              "appid external\r\nmainclass other.Main\r\noption -Dfrom=external\r\ndisableexternal true\r\n");
    LaunchConfig c(false);
    c.loadFrom(ByteString(exe.c_str()), a);
    EXPECT_EQ(c.firstValue("appid", false, true), "external");
    EXPECT_EQ(c.firstValue("mainclass", true, true), "app.Main");  // embedded-only key
    EXPECT_EQ(all(c, "option"), (std::vector<std::string>{"-Dfrom=external", "-Dfrom=embedded"}));
    EXPECT_GT(c.externalLength(), 0);  // the external file cannot set disableexternal

    const std::string exe2 = dir.write(
        "locked.exe", packedImage("appid embedded\r\ndisableexternal TRUE\r\noption -Dfrom=embedded\r\n", "", a));
    dir.write("locked.cfg", "appid external\r\noption -Dfrom=external\r\n");
    LaunchConfig locked(false);
    locked.loadFrom(ByteString(exe2.c_str()), a);
    EXPECT_EQ(locked.firstValue("appid", false, true), "embedded");
    EXPECT_EQ(all(locked, "option"), (std::vector<std::string>{"-Dfrom=embedded"}));
    EXPECT_EQ(locked.externalLength(), 0);

    const std::string exe3 = dir.write("yes.exe", packedImage("appid embedded\r\ndisableexternal yes\r\n", "", a));
    dir.write("yes.exe.config", "appid external\r\n");
    LaunchConfig yes(false);
    yes.loadFrom(ByteString(exe3.c_str()), a);
    EXPECT_EQ(yes.firstValue("appid", false, true), "external");
}

TEST(LoadConfig, EmptyExternalFileIsTakenAndStopsTheSearch) {
    TempDir dir;
    uint32_t a = 0;
    const std::string exe = dir.write("e.exe", packedImage("appid embedded\r\n", "", a));
    dir.write("e.exe.cfg", "");
    dir.write("e.cfg", "appid shadowed\r\n");
    LaunchConfig c(false);
    c.loadFrom(ByteString(exe.c_str()), a);
    EXPECT_EQ(c.externalLength(), 0);
    EXPECT_EQ(c.firstValue("appid", false, true), "embedded");
}

TEST(LoadConfig, DebugLinesNameTheExternalFileAndItsLinesWithUnknownKeys) {
    TempDir dir;
    test::EnvGuard env;
    uint32_t a = 0;
    const struct {
        const char* what;
        std::string embedded;
        const char* external;  // null: none beside the executable
        std::vector<std::string> lines;
    } cases[] = {
        {"a typo and a line without key",
         "mainclass app.Main\r\n",
         "# settings\r\n\r\npropety foo=bar\r\nOption=-Xmx1g\r\n  -Dx=y\r\n; note\r\nproperty a=b\n\tjre_order e\n",
         {"read the external configuration %s.cfg",
          "external configuration %s.cfg line 3: unknown key 'propety'; ignored",
          "external configuration %s.cfg line 5 has no key at its start; ignored",
          "external configuration %s.cfg line 8 has no key at its start; ignored"}},
        {"every key known",
         "mainclass app.Main\r\n",
         "option -Xmx1g\r\nMESSAGE 1=x\r\n",
         {"read the external configuration %s.cfg"}},
        {"dropped",
         "disableexternal true\r\n",
         "propety foo=bar\r\n",
         {"external configuration %s.cfg not used: the embedded one says disableexternal"}},
        {"none", "mainclass app.Main\r\n", nullptr, {"no external configuration (looked for %s.cfg, %s.config)"}},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string base = dir.path().string() + "/app" + std::to_string(++n);
        dir.write("app" + std::to_string(n), packedImage(c.embedded, "", a));
        if (c.external) dir.write("app" + std::to_string(n) + ".cfg", c.external);
        std::string expected;
        for (std::string line : c.lines) {
            for (size_t at = line.find("%s"); at != std::string::npos; at = line.find("%s", at))
                line.replace(at, 2, base);
            expected += "hux: " + line + "\n";
        }
        env.unset("HUX_DEBUG");
        testing::internal::CaptureStderr();
        LaunchConfig quiet(false);
        quiet.loadFrom(ByteString(base.c_str()), a);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        env.set("HUX_DEBUG", "1");
        testing::internal::CaptureStderr();
        LaunchConfig told(false);
        told.loadFrom(ByteString(base.c_str()), a);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), expected);
    }
}

TEST(ExternalCandidates, OrderAndExtensionRule) {
    ByteString c[4];
    externalConfigCandidates(ByteString("D:\\apps\\tool.exe"), c);
    EXPECT_EQ(c[0], "D:\\apps\\tool.exe.cfg");
    EXPECT_EQ(c[1], "D:\\apps\\tool.exe.config");
    EXPECT_EQ(c[2], "D:\\apps\\tool.cfg");
    EXPECT_EQ(c[3], "D:\\apps\\tool.config");
    externalConfigCandidates(ByteString("D:\\dir.x\\tool"), c);
    EXPECT_EQ(c[0], "D:\\dir.x\\tool.cfg");
    EXPECT_EQ(c[2], "D:\\dir.cfg");  // only '/' after the last '.' means "no extension"
    EXPECT_EQ(c[3], "D:\\dir.config");
    externalConfigCandidates(ByteString("/opt/dir.x/tool"), c);
    EXPECT_EQ(c[2], "/opt/dir.x/tool.cfg");
}
