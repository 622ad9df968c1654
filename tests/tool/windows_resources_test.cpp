// The Windows resource writer: icons, version information, manifests, and a
// real launcher stub rewritten with them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "support/temp_dir.h"
#include "common/utf.h"
#include "support/icon_samples.h"
#include "tool/packer.h"
#include "tool/windows/pe_image.h"
#include "tool/windows/pe_resources.h"
#include "tool/windows/win_resources.h"
#include "tool/windows/windows_image.h"

using namespace hux::tool;
namespace test = hux::test;
using hux::readLe16;
using hux::readLe32;
using hux::writeLe16;
using hux::writeLe32;

namespace {

std::vector<uint8_t> bytesOf(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

// A file in one scratch directory for the whole run.
std::string writeTemp(const std::string& name, const std::string& bytes) {
    static const test::TempDir dir;
    return dir.write(name, bytes);
}

// The headers of a minimal PE32+ image: 0x400 bytes of headers, file
// alignment 0x200, section alignment 0x1000, `sections` section headers from
// offset 0x188, and a resource directory entry. Returns the image.
std::vector<uint8_t> peHeaders(uint16_t sections, uint32_t resourceRva, uint32_t resourceSize) {
    std::vector<uint8_t> image(0x400, 0);
    image[0] = 'M';
    image[1] = 'Z';
    writeLe32(image.data() + 0x3C, 0x80);
    std::memcpy(image.data() + 0x80, "PE\0\0", 4);
    writeLe16(image.data() + 0x80 + 6, sections);
    writeLe16(image.data() + 0x80 + 20, 240);
    uint8_t* opt = image.data() + 0x98;
    writeLe16(opt, 0x20B);
    writeLe32(opt + 32, 0x1000);
    writeLe32(opt + 36, 0x200);
    writeLe32(opt + 60, 0x400);
    writeLe32(opt + 108, 16);
    writeLe32(opt + 112 + 16, resourceRva);
    writeLe32(opt + 112 + 20, resourceSize);
    return image;
}

}  // namespace

TEST(IconFiles, IcoAndPngImagesBecomeOneGroup) {
    const std::string ico =
        test::icoFile({{16, test::bitmapImage(16)}, {48, test::bitmapImage(48)}, {256, test::pngImage(256, 256)}});
    std::vector<IconImage> images;
    std::string error;
    ASSERT_TRUE(parseIconFile(bytesOf(ico), images, error)) << error;
    ASSERT_EQ(images.size(), 3u);
    EXPECT_EQ(images[1].width, 48);
    EXPECT_EQ(images[1].data, bytesOf(test::bitmapImage(48)));
    EXPECT_EQ(images[2].width, 256);  // 0 in the directory
    std::vector<IconGroupEntry> entries;
    const std::vector<uint8_t> group = iconGroup(images, 5);
    ASSERT_TRUE(parseIconGroup(group, entries));
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(group[6 + 14 * 2], 0);  // 256 is written as 0
    EXPECT_EQ(entries[2].width, 256);
    EXPECT_EQ(entries[2].iconId, 7);
    EXPECT_EQ(entries[0].bytes, test::bitmapImage(16).size());

    ASSERT_TRUE(parseIconFile(bytesOf(test::pngImage(64, 32)), images, error)) << error;
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(images[0].width, 64);
    EXPECT_EQ(images[0].height, 32);
    EXPECT_EQ(images[0].bitCount, 32);
}

TEST(IconFiles, RefusesWhatIsNoIcon) {
    const std::string good = test::icoFile({{32, test::bitmapImage(32)}});
    std::string cutOff = good.substr(0, good.size() - 1);
    std::string emptyDirectory = good.substr(0, 6);
    emptyDirectory[4] = 0;
    std::string notBitmap = good;
    notBitmap[22] = 41;  // the image's header size
    const std::string cases[] = {"",
                                 "GIF89a....",
                                 cutOff,
                                 emptyDirectory,
                                 notBitmap,
                                 test::pngImage(257, 16),
                                 test::pngImage(16, 300),
                                 test::pngImage(16, 16).substr(0, 20)};
    for (const std::string& bytes : cases) {
        std::vector<IconImage> images;
        std::string error;
        EXPECT_FALSE(parseIconFile(bytesOf(bytes), images, error)) << bytes.size();
        EXPECT_FALSE(error.empty());
    }
}

TEST(VersionInfo, BlockReadsBackWithEveryField) {
    VersionInfo info;
    std::string error;
    ASSERT_TRUE(applyVersionInfoLine(info, "product-name = Caf\xC3\xA9 \xF0\x9F\x98\x80 Suite", error)) << error;
    ASSERT_TRUE(applyVersionInfoLine(info, "CompanyName=Mordavin", error)) << error;
    ASSERT_TRUE(applyVersionInfoLine(info, "version=2.10.0.65535", error)) << error;
    ASSERT_TRUE(applyVersionInfoLine(info, "# a comment", error)) << error;
    completeVersionInfo(info, "app.exe");
    const std::vector<uint8_t> block = versionResource(info);
    EXPECT_EQ(readLe16(block.data()), block.size());
    EXPECT_EQ(block.size() % 4, 0u);

    VersionInfo back;
    ASSERT_TRUE(parseVersionResource(block, back));
    EXPECT_EQ(back.version[1], 10);
    EXPECT_EQ(back.version[3], 65535);
    EXPECT_EQ(back.get("ProductName"), "Caf\xC3\xA9 \xF0\x9F\x98\x80 Suite");
    EXPECT_EQ(back.get("FileDescription"), back.get("ProductName"));
    EXPECT_EQ(back.get("CompanyName"), "Mordavin");
    EXPECT_EQ(back.get("FileVersion"), "2.10.0.65535");
    EXPECT_EQ(back.get("ProductVersion"), "2.10.0.65535");
    EXPECT_EQ(back.get("OriginalFilename"), "app.exe");
    EXPECT_EQ(back.strings.size(), info.strings.size());

    for (size_t cut : {size_t{0}, size_t{5}, size_t{40}, block.size() - 2})
        EXPECT_FALSE(parseVersionResource(std::vector<uint8_t>(block.begin(), block.begin() + cut), back)) << cut;

    // A string typed as binary counts its value in bytes, not units: only
    // those are read ("Mordavin\0" is 9 units, so 9 bytes: 4 units).
    std::vector<uint8_t> binary = block;
    const std::u16string key = u"CompanyName";
    const auto at = std::search(binary.begin(), binary.end(), reinterpret_cast<const uint8_t*>(key.data()),
                                reinterpret_cast<const uint8_t*>(key.data() + key.size()));
    ASSERT_NE(at, binary.end());
    const size_t header = static_cast<size_t>(at - binary.begin()) - 6;
    ASSERT_EQ(readLe16(binary.data() + header + 2), 9);
    binary[header + 4] = 0;
    ASSERT_TRUE(parseVersionResource(binary, back));
    EXPECT_EQ(back.get("CompanyName"), "Mord");
}

TEST(VersionInfo, ProductVersionTextAndLanguageReadBack) {
    struct Case {
        std::vector<std::string> lines;
        uint16_t file[4], product[4], language;
        const char* productText;
    };
    const std::vector<Case> cases = {
        {{"version=2.1.0.7", "product-version=2.1.0.0"}, {2, 1, 0, 7}, {2, 1, 0, 0}, 0x0409, "2.1.0.0"},
        {{"version=2.1-beta"}, {2, 1, 0, 0}, {2, 1, 0, 0}, 0x0409, "2.1-beta"},
        {{"version=4", "ProductVersion=5.0 final", "language=0x0407"}, {4, 0, 0, 0}, {5, 0, 0, 0}, 0x0407, "5.0 final"},
        {{"language=ja-jp", "version=1.2.3.4"}, {1, 2, 3, 4}, {1, 2, 3, 4}, 0x0411, "1.2.3.4"},
        {{"language=1031"}, {0, 0, 0, 0}, {0, 0, 0, 0}, 0x0407, "0.0.0.0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lines.front());
        VersionInfo info;
        std::string error;
        for (const std::string& line : c.lines) ASSERT_TRUE(applyVersionInfoLine(info, line, error)) << error;
        ASSERT_TRUE(applyVersionInfoLine(info, "product-name=P", error)) << error;
        completeVersionInfo(info, "p.exe");
        VersionInfo back;
        ASSERT_TRUE(parseVersionResource(versionResource(info), back));
        EXPECT_TRUE(std::equal(c.file, c.file + 4, back.version));
        EXPECT_TRUE(std::equal(c.product, c.product + 4, back.productVersion));
        EXPECT_EQ(back.language, c.language);
        EXPECT_EQ(back.get("ProductVersion"), c.productText);
        EXPECT_EQ(back.get("ProductName"), "P");
    }
    uint16_t language = 0;
    for (const char* bad : {"", "0x", "xx-YY", "0x10000", "65536", "de_DE", "0x04 07"})
        EXPECT_FALSE(parseLanguage(bad, language)) << bad;
}

TEST(VersionInfo, RefusesBadLines) {
    const char* const lines[] = {"no equals sign", "colour=blue",   "version=1.2.3.4.5", "version=1.70000",
                                 "version=",       "version=1..2",  "ProductVersion=x",  "company=\xFF",
                                 "version=1.x",    "version=-beta", "version=2.1.",      "language=xx"};
    for (const char* line : lines) {
        VersionInfo info;
        std::string error;
        EXPECT_FALSE(applyVersionInfoLine(info, line, error)) << line;
        EXPECT_FALSE(error.empty());
    }
    uint16_t v[4];
    ASSERT_TRUE(parseVersionNumber("7", v));
    EXPECT_EQ(v[0], 7);
    EXPECT_EQ(v[1] + v[2] + v[3], 0);
}

TEST(Manifests, WellFormedAssemblyOnly) {
    std::string error;
    EXPECT_TRUE(checkManifest(bytesOf(defaultManifest()), error)) << error;
    EXPECT_TRUE(checkManifest(bytesOf("\xEF\xBB\xBF<?xml version='1.0'?><!-- <x> --><asmv1:assembly a=\"x>y\">"
                                      "<b/><c d='/'></c></asmv1:assembly>"),
                              error))
        << error;
    const char* const bad[] = {"",
                               "plain text",
                               "<assembly>",
                               "<assembly></assemblyx>",
                               "<a></a>",
                               "<assembly></assembly><assembly></assembly>",
                               "<assembly><b></assembly></b>",
                               "<assembly a=\"x></assembly>",
                               "<assembly><!-- </assembly>",
                               "</assembly>"};
    for (const char* text : bad) {
        error.clear();
        EXPECT_FALSE(checkManifest(bytesOf(text), error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
    EXPECT_FALSE(checkManifest(bytesOf(std::string("<assembly>\xC3</assembly>")), error));
    EXPECT_NE(defaultManifest().find("asInvoker"), std::string::npos);
    EXPECT_NE(defaultManifest().find(">UTF-8</activeCodePage>"), std::string::npos);
}

TEST(Manifests, Utf8CodePageOnlyFromTheElementItself) {
    EXPECT_TRUE(manifestSetsUtf8CodePage(bytesOf(defaultManifest())));
    const struct {
        const char* text;
        bool utf8;
    } cases[] = {
        {"<assembly><application><windowsSettings><activeCodePage>UTF-8</activeCodePage>"
         "</windowsSettings></application></assembly>",
         true},
        {"<assembly><ws:activeCodePage xmlns:ws='x'> utf-8\r\n</ws:activeCodePage></assembly>", true},
        {"<assembly></assembly>", false},
        {"<assembly><activeCodePage>Legacy</activeCodePage></assembly>", false},
        {"<assembly><activeCodePage>windows-1252</activeCodePage></assembly>", false},
        {"<assembly><activeCodePage/>UTF-8</assembly>", false},
        {"<assembly><!-- <activeCodePage>UTF-8</activeCodePage> --></assembly>", false},
        {"<assembly><activeCodePageX>UTF-8</activeCodePageX></assembly>", false},
        {"<assembly><description>activeCodePage UTF-8</description></assembly>", false},
    };
    for (const auto& c : cases) EXPECT_EQ(manifestSetsUtf8CodePage(bytesOf(c.text)), c.utf8) << c.text;
}

TEST(ResourceTree, BuildAndReadAgreeForNamesNumbersAndLanguages) {
    ResourceTree tree;
    tree.put(kRtString, 1, 0x409, {1, 2, 3});
    tree.put(ResourceKey(u"CUSTOM"), ResourceKey(u"NAME"), 0x407, std::vector<uint8_t>(100, 7));
    tree.put(kRtManifest, 1, 0, {9});
    // A fake image holding the section at RVA 0x5000 as the only section.
    const uint32_t rva = 0x5000;
    const std::vector<uint8_t> section = tree.build(rva);
    std::vector<uint8_t> image = peHeaders(1, rva, static_cast<uint32_t>(section.size()));
    uint8_t* header = image.data() + 0x98 + 240;
    std::memcpy(header, ".rsrc", 5);
    writeLe32(header + 8, static_cast<uint32_t>(section.size()));
    writeLe32(header + 12, rva);
    writeLe32(header + 16, static_cast<uint32_t>((section.size() + 0x1FF) / 0x200 * 0x200));
    writeLe32(header + 20, 0x400);
    image.resize(0x400 + (section.size() + 0x1FF) / 0x200 * 0x200, 0);
    std::copy(section.begin(), section.end(), image.begin() + 0x400);

    PeImage pe;
    std::string error;
    ASSERT_TRUE(pe.parse(image, error)) << error;
    ResourceTree back;
    ASSERT_TRUE(back.read(pe, image, error)) << error;
    ASSERT_NE(back.find(ResourceKey(u"CUSTOM"), ResourceKey(u"NAME")), nullptr);
    EXPECT_EQ(back.find(ResourceKey(u"CUSTOM"), ResourceKey(u"NAME"))->at(0x407).bytes, std::vector<uint8_t>(100, 7));
    EXPECT_EQ(back.find(kRtString, 1)->at(0x409).bytes, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(back.build(rva), section);
    // The resource section is last: it is rewritten in place.
    EXPECT_EQ(pe.resourceSectionAddress(), rva);

    // Damaged: a data entry pointing outside the image.
    std::vector<uint8_t> damaged = image;
    bool changed = false;
    for (size_t at = 0x400; at + 16 <= 0x400 + section.size() && !changed; at += 4) {
        const uint32_t v = readLe32(damaged.data() + at);
        if (v > rva && v < rva + section.size() && readLe32(damaged.data() + at + 4) == 100) {
            writeLe32(damaged.data() + at, 0x90000);
            changed = true;
        }
    }
    ASSERT_TRUE(changed);
    EXPECT_FALSE(back.read(pe, damaged, error));
}

// Two sections; the resource directory names the second, which comes last by
// address. `rsrcRaw`/`rsrcRawSize` place its data; `.text` keeps its own.
static std::vector<uint8_t> twoSectionImage(uint32_t textRaw, uint32_t rsrcRaw, uint32_t rsrcRawSize) {
    std::vector<uint8_t> image = peHeaders(2, 0x5000, 0x10);
    const auto section = [&](size_t index, const char* name, uint32_t va, uint32_t raw, uint32_t rawSize) {
        uint8_t* h = image.data() + 0x98 + 240 + 40 * index;
        std::memcpy(h, name, std::strlen(name));
        writeLe32(h + 8, 0x200);
        writeLe32(h + 12, va);
        writeLe32(h + 16, rawSize);
        writeLe32(h + 20, raw);
    };
    section(0, ".text", 0x1000, textRaw, 0x200);
    section(1, ".rsrc", 0x5000, rsrcRaw, rsrcRawSize);
    image.resize(std::max<size_t>(textRaw + 0x200, rsrcRawSize ? rsrcRaw + rsrcRawSize : 0), 0);
    std::fill(image.begin() + textRaw, image.begin() + textRaw + 0x200, 0xC3);
    return image;
}

TEST(ResourceTree, PlacedSectionNeverOverwritesOtherSectionsOrReachesOutside) {
    ResourceTree tree;
    tree.put(kRtManifest, 1, 0, std::vector<uint8_t>(0x300, 'm'));
    const std::vector<uint8_t> section = tree.build(0x5000);
    struct Case {
        const char* what;
        uint32_t textRaw, rsrcRaw, rsrcRawSize;
    };
    for (const Case& c : {Case{"resource data last in the file", 0x400, 0x600, 0x200},
                          Case{"resource data before the code's", 0x600, 0x400, 0x200},
                          Case{"resource section without data, far offset", 0x400, 0xFFFFF000u, 0}}) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> image = twoSectionImage(c.textRaw, c.rsrcRaw, c.rsrcRawSize);
        PeImage pe;
        std::string error;
        ASSERT_TRUE(pe.parse(image, error)) << error;
        ASSERT_EQ(pe.resourceSectionAddress(), 0x5000u);
        ASSERT_TRUE(pe.placeResources(image, 0x5000, section, error)) << error;
        EXPECT_LT(image.size(), 0x2000u);
        EXPECT_TRUE(std::all_of(image.begin() + c.textRaw, image.begin() + c.textRaw + 0x200,
                                [](uint8_t b) { return b == 0xC3; }));
        ResourceTree back;
        ASSERT_TRUE(back.read(pe, image, error)) << error;
        EXPECT_EQ(back.build(0x5000), section);
    }
    // A section whose addresses reach into the resources' is refused: a
    // reader would find the resources in it (and the loader refuses it).
    std::vector<uint8_t> overlapping = twoSectionImage(0x400, 0x600, 0x200);
    writeLe32(overlapping.data() + 0x98 + 240 + 8, 0x4800);  // .text's virtual size
    PeImage pe;
    std::string error;
    ASSERT_TRUE(pe.parse(overlapping, error)) << error;
    EXPECT_FALSE(pe.placeResources(overlapping, 0x5000, section, error));
    EXPECT_NE(error.find("overlap"), std::string::npos) << error;
    // Nor can the resources take the headers' addresses.
    std::vector<uint8_t> plain = twoSectionImage(0x400, 0x600, 0x200);
    ASSERT_TRUE(pe.parse(plain, error)) << error;
    EXPECT_FALSE(pe.placeResources(plain, 0, section, error));
}

class Stub : public ::testing::Test {
protected:
    void SetUp() override {
        if (!readFile(HUX_WINDOWS_STUB, stub_)) GTEST_SKIP() << "no Windows stub at " << HUX_WINDOWS_STUB;
    }
    std::vector<uint8_t> stub_;
};

TEST_F(Stub, RewrittenWithIconVersionManifestAndGuiKeepsEverythingElse) {
    PeImage before;
    ResourceTree oldTree;
    std::string error;
    ASSERT_TRUE(before.parse(stub_, error)) << error;
    ASSERT_TRUE(oldTree.read(before, stub_, error)) << error;
    ASSERT_NE(oldTree.find(kRtString, 1), nullptr);

    WindowsLook look;
    look.iconPath = writeTemp("look.ico", test::icoFile({{16, test::bitmapImage(16)}, {32, test::bitmapImage(32)}}));
    look.manifestPath = writeTemp("look.manifest", "<assembly><x/></assembly>");
    look.gui = true;
    look.fileName = "look.exe";
    ASSERT_TRUE(applyVersionInfoLine(look.version, "product-name=Look", error));
    std::vector<uint8_t> image = stub_;
    ASSERT_TRUE(applyWindowsLook(image, look, error)) << error;

    PeImage after;
    ResourceTree tree;
    ASSERT_TRUE(after.parse(image, error)) << error;
    ASSERT_TRUE(tree.read(after, image, error)) << error;
    EXPECT_EQ(after.subsystem(), kSubsystemGui);
    // One resource section, the last; the stub's relocations moved in front
    // of it byte for byte, and the sections before are untouched.
    ASSERT_EQ(after.sections().size(), before.sections().size());
    EXPECT_EQ(std::count_if(after.sections().begin(), after.sections().end(),
                            [](const PeSection& s) { return s.name == ".rsrc"; }),
              1);
    EXPECT_EQ(after.sections().back().name, ".rsrc");
    const size_t n = before.sections().size();
    ASSERT_EQ(before.sections()[n - 2].name, ".rsrc");
    for (size_t i = 0; i + 2 < n; ++i) {
        const PeSection& s = before.sections()[i];
        EXPECT_TRUE(std::equal(stub_.begin() + s.rawOffset, stub_.begin() + s.rawOffset + s.rawSize,
                               image.begin() + s.rawOffset))
            << s.name;
    }
    const PeSection& oldRelocs = before.sections()[n - 1];
    const PeSection& relocs = after.sections()[n - 2];
    EXPECT_EQ(relocs.name, ".reloc");
    EXPECT_EQ(relocs.virtualAddress, before.sections()[n - 2].virtualAddress);
    EXPECT_TRUE(std::equal(stub_.begin() + oldRelocs.rawOffset, stub_.begin() + oldRelocs.rawOffset + oldRelocs.rawSize,
                           image.begin() + relocs.rawOffset));
    uint32_t oldRelocRva = 0, relocRva = 0, relocSize = 0, oldRelocSize = 0;
    before.dataDirectory(kDirBaseRelocations, oldRelocRva, oldRelocSize);
    after.dataDirectory(kDirBaseRelocations, relocRva, relocSize);
    EXPECT_EQ(relocRva - relocs.virtualAddress, oldRelocRva - oldRelocs.virtualAddress);
    EXPECT_EQ(relocSize, oldRelocSize);
    // The image size covers the last section; the directory names the tree.
    uint32_t rva = 0, size = 0;
    after.dataDirectory(kDirResources, rva, size);
    const PeSection& last = after.sections().back();
    EXPECT_EQ(rva, last.virtualAddress);
    EXPECT_EQ(size, last.virtualSize);
    EXPECT_EQ(readLe32(image.data() + readLe32(image.data() + 0x3C) + 24 + 56),
              (last.virtualAddress + last.virtualSize + after.sectionAlignment() - 1) / after.sectionAlignment() *
                  after.sectionAlignment());
    EXPECT_EQ(image.size(), after.imageEnd());

    // The string table survives; the old icon image gives way to the new ones.
    EXPECT_EQ(tree.find(kRtString, 1)->begin()->second.bytes, oldTree.find(kRtString, 1)->begin()->second.bytes);
    std::vector<IconGroupEntry> entries;
    ASSERT_TRUE(parseIconGroup(tree.find(kRtGroupIcon, 1)->begin()->second.bytes, entries));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(tree.names(kRtIcon)->size(), 2u);
    for (const IconGroupEntry& e : entries) {
        const ResourceTree::Languages* icon = tree.find(kRtIcon, e.iconId);
        ASSERT_NE(icon, nullptr) << e.iconId;
        EXPECT_EQ(icon->begin()->second.bytes, bytesOf(test::bitmapImage(e.width)));
    }
    EXPECT_EQ(tree.find(kRtManifest, 1)->begin()->second.bytes, bytesOf("<assembly><x/></assembly>"));
    VersionInfo info;
    ASSERT_TRUE(parseVersionResource(tree.find(kRtVersion, 1)->begin()->second.bytes, info));
    EXPECT_EQ(info.get("ProductName"), "Look");
    EXPECT_EQ(info.get("OriginalFilename"), "look.exe");

    // Packing again over the result rewrites the (now last) resource section.
    std::vector<uint8_t> again = image;
    look.gui = false;
    ASSERT_TRUE(applyWindowsLook(again, look, error)) << error;
    PeImage third;
    ASSERT_TRUE(third.parse(again, error));
    EXPECT_EQ(third.sections().size(), after.sections().size());
    EXPECT_EQ(third.subsystem(), kSubsystemConsole);
}

TEST_F(Stub, ChecksumMatchesTheLoadersAlgorithm) {
    // The linker wrote a checksum of 0; a known vector instead: bytes summed as
    // 16-bit words with carries folded, plus the length.
    std::vector<uint8_t> bytes = {0x01, 0x00, 0xFF, 0xFF, 0xAA, 0xAA, 0x02, 0x00, 0x05};
    // Words 0x0001 + 0xFFFF -> 0x10000 -> folded 0x0001; skipped field at 4..7.
    EXPECT_EQ(peChecksum(bytes, 4), 0x0001u + 0x0005u + 9u);
    updatePeChecksum(stub_);
    const size_t at = checksumFieldOffset(stub_);
    EXPECT_EQ(readLe32(stub_.data() + at), peChecksum(stub_, at));
    EXPECT_NE(readLe32(stub_.data() + at), 0u);
}

TEST_F(Stub, RefusesBrokenUserFiles) {
    WindowsLook look;
    look.iconPath = writeTemp("broken.ico", "not an icon");
    std::vector<uint8_t> image = stub_;
    std::string error;
    bool imageAtFault = true;
    EXPECT_FALSE(applyWindowsLook(image, look, error, &imageAtFault));
    EXPECT_NE(error.find("broken.ico"), std::string::npos) << error;
    EXPECT_FALSE(imageAtFault);
    look.iconPath.clear();
    look.manifestPath = writeTemp("broken.manifest", "<assembly>");
    imageAtFault = true;
    EXPECT_FALSE(applyWindowsLook(image, look, error, &imageAtFault));
    EXPECT_NE(error.find("broken.manifest"), std::string::npos) << error;
    EXPECT_FALSE(imageAtFault);
    // An icon of more images than the resource ids left: another group keeps
    // image 9, so new images take 10..65535.
    {
        std::vector<uint8_t> kept = stub_;
        PeImage pe;
        ResourceTree tree;
        ASSERT_TRUE(pe.parse(kept, error) && tree.read(pe, kept, error)) << error;
        std::vector<IconImage> one;
        ASSERT_TRUE(parseIconFile(bytesOf(test::icoFile({{16, test::bitmapImage(16)}})), one, error)) << error;
        tree.put(kRtIcon, 9, kLangEnglishUs, one[0].data);
        tree.put(kRtGroupIcon, 2, kLangEnglishUs, iconGroup(one, 9));
        if (pe.imageEnd() < kept.size()) kept.resize(pe.imageEnd());
        const uint32_t rva = pe.resourceSectionAddress();
        ASSERT_TRUE(pe.placeResources(kept, rva, tree.build(rva), error)) << error;
        look.manifestPath.clear();
        for (size_t count : {size_t{65527}, size_t{65526}}) {
            SCOPED_TRACE(count);
            look.iconPath = writeTemp("many.ico", test::icoFile(std::vector<std::pair<uint32_t, std::string>>(
                                                      count, {1, test::bitmapImage(1)})));
            image = kept;
            EXPECT_EQ(applyWindowsLook(image, look, error), count == 65526) << error;
            if (count == 65527) {
                EXPECT_NE(error.find("65527 images are more than an icon can hold"), std::string::npos) << error;
            }
        }
        look.iconPath.clear();
    }
    // Version fields that would overflow the block's 16-bit lengths; the
    // longest that fit still make a block that reads back whole.
    for (size_t length : {size_t{40000}, size_t{15000}}) {
        SCOPED_TRACE(length);
        look.version = VersionInfo();
        ASSERT_TRUE(applyVersionInfoLine(look.version, "product-name=" + std::string(length, 'n'), error)) << error;
        image = stub_;
        const bool written = applyWindowsLook(image, look, error);
        if (length == 40000) {
            EXPECT_FALSE(written);
            EXPECT_NE(error.find("more than the 65535 a version resource can hold"), std::string::npos) << error;
            continue;
        }
        ASSERT_TRUE(written) << error;
        PeImage pe;
        ResourceTree tree;
        ASSERT_TRUE(pe.parse(image, error) && tree.read(pe, image, error)) << error;
        const ResourceTree::Languages* version = tree.find(kRtVersion, 1);
        ASSERT_NE(version, nullptr);
        VersionInfo back;
        ASSERT_TRUE(parseVersionResource(version->begin()->second.bytes, back));
        EXPECT_EQ(back.get("ProductName").size(), length);
        EXPECT_EQ(back.get("FileDescription").size(), length);
    }
    std::vector<uint8_t> elf = {0x7F, 'E', 'L', 'F', 0, 0, 0, 0};
    EXPECT_FALSE(applyWindowsLook(elf, WindowsLook(), error, &imageAtFault));
    EXPECT_TRUE(imageAtFault);
}
