// The installers' own rules: associations, the request's checks, the icon
// converted for the hicolor theme and the identifiers that make upgrades.
#include <gtest/gtest.h>
#include <zlib.h>

#include <set>

#include "support/icon_samples.h"
#include "tool/installers/installer.h"

using namespace hux::tool;

TEST(Installer, ParsesAssociations) {
    struct Case {
        const char* text;
        bool ok;
        const char* extension;
        const char* description;
    } cases[] = {
        {".hxd", true, "hxd", "hxd document"},
        {"hxd=Hux drawing", true, "hxd", "Hux drawing"},
        {".tar-gz=Archive", true, "tar-gz", "Archive"},
        {".", false, "", ""},
        {".a b", false, "", ""},
        {".a/b", false, "", ""},
        {".x=<b>", false, "", ""},
        {"=desc", false, "", ""},
    };
    for (const Case& c : cases) {
        FileAssociation a;
        std::string error;
        EXPECT_EQ(parseAssociation(c.text, a, error), c.ok) << c.text;
        if (!c.ok) {
            EXPECT_FALSE(error.empty()) << c.text;
            continue;
        }
        EXPECT_EQ(a.extension, c.extension);
        EXPECT_EQ(a.description, c.description);
    }
}

TEST(Installer, NamesPackagesAndRefusesBadRequests) {
    EXPECT_EQ(defaultPackageName("/x/My App.EXE"), "my-app");
    EXPECT_EQ(defaultPackageName("tool_2"), "tool-2");
    InstallerRequest r;
    r.format = "deb";
    r.name = "app";
    r.maintainer = "A <a@b.org>";
    r.version.set("ProductVersion", "1.2.3");
    EXPECT_EQ(installerRequestProblem(r), "");
    EXPECT_EQ(defaultInstallerName(r), "app_1.2.3_amd64.deb");
    struct Case {
        void (*spoil)(InstallerRequest&);
        const char* starts;
    } cases[] = {
        {[](InstallerRequest& q) { q.format = "rpm"; }, "unknown installer format"},
        {[](InstallerRequest& q) { q.name = "a"; }, "the name 'a' is not a package name"},
        {[](InstallerRequest& q) { q.name = "-ab"; }, "the name '-ab' is not"},
        {[](InstallerRequest& q) { q.version.set("ProductVersion", "beta"); }, "name the version"},
        {[](InstallerRequest& q) { q.version.set("ProductVersion", "1.0 rc"); }, "the version '1.0 rc' cannot"},
        {[](InstallerRequest& q) { q.maintainer = "a@b.org"; }, "name the package's maintainer"},
        {[](InstallerRequest& q) { q.perMachine = true; }, "--sign-key and --per-machine go with"},
        {[](InstallerRequest& q) { q.format = "msi", q.sign.key = "k"; },
         "signing needs both --sign-key and --sign-cert (or a .pfx or .p12 --sign-key alone)"},
    };
    for (const Case& c : cases) {
        InstallerRequest spoiled = r;
        c.spoil(spoiled);
        EXPECT_EQ(installerRequestProblem(spoiled).rfind(c.starts, 0), 0u) << installerRequestProblem(spoiled);
    }
}

TEST(Installer, ConvertsTheLargestIconImageToPng) {
    namespace t = hux::test;
    const std::string png = t::pngImage(48, 48);
    struct Case {
        std::string file;
        unsigned size;
    } cases[] = {{png, 48},
                 {t::icoFile({{16, t::bitmapImage(16)}, {48, png}}), 48},
                 {t::icoFile({{32, t::bitmapImage(32)}}), 32}};
    for (const Case& c : cases) {
        std::vector<uint8_t> out;
        unsigned size = 0;
        std::string error;
        ASSERT_TRUE(iconAsPng({c.file.begin(), c.file.end()}, out, size, error)) << error;
        EXPECT_EQ(size, c.size);
        ASSERT_GT(out.size(), 33u);
        EXPECT_EQ(std::string(out.begin(), out.begin() + 8), "\x89PNG\r\n\x1A\n");
        if (c.size != 32) continue;
        // The bitmap's BGRA pixels come out as RGBA rows behind a filter byte.
        const uint32_t idat = (out[33] << 24) | (out[34] << 16) | (out[35] << 8) | out[36];
        ASSERT_EQ(std::string(out.begin() + 37, out.begin() + 41), "IDAT");
        std::vector<uint8_t> raw(33 * 4 * 32);
        uLongf rawSize = raw.size();
        ASSERT_EQ(uncompress(raw.data(), &rawSize, out.data() + 41, idat), Z_OK);
        ASSERT_EQ(rawSize, (32u * 4 + 1) * 32);
        EXPECT_EQ(std::vector<uint8_t>(raw.begin(), raw.begin() + 5), (std::vector<uint8_t>{0, 32, 64, 96, 255}));
    }
    std::vector<uint8_t> out;
    unsigned size = 0;
    std::string error;
    std::string eightBit = t::bitmapImage(16);
    eightBit[14] = 8;
    const std::string ico = t::icoFile({{16, eightBit}});
    EXPECT_FALSE(iconAsPng({ico.begin(), ico.end()}, out, size, error));
    EXPECT_EQ(error, "the icon's largest image is not a 32-bit image: convert the icon to PNG");
}

TEST(Installer, UpgradeCodeIsAStableNameBasedUuid) {
    const std::string code = nameBasedUuid("app|Mordavin");
    EXPECT_EQ(code, nameBasedUuid("app|Mordavin"));
    EXPECT_NE(code, nameBasedUuid("app|Other"));
    ASSERT_EQ(code.size(), 36u);
    EXPECT_EQ(code[14], '5');  // version 5
    EXPECT_NE(std::string("89AB").find(code[19]), std::string::npos);
    // The same identity gives the same source apart from the version.
    InstallerRequest r;
    r.format = "msi";
    r.name = "app";
    r.executablePath = "/nowhere/app.exe";
    r.version.set("ProductVersion", "1.0");
    r.version.set("CompanyName", "Mordavin");
    const std::string first = wixSource(r, "/nowhere/app.exe");
    EXPECT_NE(first.find("UpgradeCode=\"" + code + "\""), std::string::npos) << first;
    EXPECT_NE(first.find("InstallScope=\"perUser\""), std::string::npos);
    r.perMachine = true;
    EXPECT_NE(wixSource(r, "/nowhere/app.exe").find("<Directory Id=\"ProgramFiles64Folder\">"), std::string::npos);
}

TEST(Installer, BuildsTheMsiWithTheToolThatIsThere) {
    struct Case {
        const char* host;
        std::set<std::string> onPath;
        std::vector<std::vector<std::string>> commands;  // empty: refused
        const char* refusal;
    } cases[] = {
        {"windows-x64",
         {"wix", "candle", "light", "wixl"},
         {{"wix", "convert", "-nologo", "s.wxs"},
          {"wix", "build", "-nologo", "-arch", "x64", "-sval", "-o", "o.msi", "s.wxs"}},
         ""},
        {"windows-x64",
         {"candle", "light", "wixl"},
         {{"candle", "-nologo", "-arch", "x64", "-out", "s.wixobj", "s.wxs"},
          {"light", "-nologo", "-sval", "-out", "o.msi", "s.wixobj"}},
         ""},
        {"windows-x64", {"candle", "wixl"}, {{"wixl", "-a", "x64", "-o", "o.msi", "s.wxs"}}, ""},
        {"linux-x64", {"wix", "candle", "light", "wixl"}, {{"wixl", "-a", "x64", "-o", "o.msi", "s.wxs"}}, ""},
        {"windows-x64", {"light"}, {}, "writing a .msi needs the WiX toolset on PATH"},
        {"linux-x64", {"wix"}, {}, "writing a .msi needs wixl (apt install wixl)"},
    };
    for (const Case& c : cases) {
        std::string error;
        const std::vector<MsiStep> steps = msiBuildSteps(
            c.host, [&](const std::string& program) { return c.onPath.count(program) > 0; }, "s.wxs", "s.wixobj",
            "o.msi", error);
        std::vector<std::vector<std::string>> commands;
        for (const MsiStep& step : steps) commands.push_back(step.argv);
        EXPECT_EQ(commands, c.commands) << c.host << " " << c.onPath.size();
        EXPECT_EQ(error.rfind(c.refusal, 0), 0u) << error;
        // Only the conversion's exit code does not count.
        for (const MsiStep& step : steps) EXPECT_EQ(step.checked, step.argv[1] != "convert");
    }
}
