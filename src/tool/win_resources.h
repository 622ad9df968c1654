// The Windows resources the packer writes: icons (from .ico or .png files),
// version information and the application manifest; and their decoding for
// `hux inspect`. Pure byte work, no resource toolchain.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace hux::tool {

struct IconImage {
    uint16_t width = 0;  // 1..256
    uint16_t height = 0;
    uint16_t planes = 0;
    uint16_t bitCount = 0;
    uint8_t colorCount = 0;
    std::vector<uint8_t> data;  // a BMP DIB or a PNG stream, as an RT_ICON holds it
};

// Parses an .ico file, or wraps a .png image (at most 256 x 256) as a
// one-image icon; false with one line in `error` for anything else.
bool parseIconFile(const std::vector<uint8_t>& bytes, std::vector<IconImage>& images, std::string& error);

// The RT_GROUP_ICON directory for `images` whose RT_ICON ids start at `firstId`.
std::vector<uint8_t> iconGroup(const std::vector<IconImage>& images, uint16_t firstId);

struct IconGroupEntry {
    uint16_t width = 0, height = 0, bitCount = 0, iconId = 0;
    uint32_t bytes = 0;
};
// Decodes an RT_GROUP_ICON directory; false when damaged.
bool parseIconGroup(const std::vector<uint8_t>& bytes, std::vector<IconGroupEntry>& entries);

// Version information: string fields by name (ProductName, FileDescription,
// CompanyName, LegalCopyright, FileVersion, ProductVersion, ...) and the
// numeric version.
struct VersionInfo {
    std::vector<std::pair<std::string, std::string>> strings;  // UTF-8 values, in output order
    uint16_t version[4] = {0, 0, 0, 0};         // the fixed block's file version
    uint16_t productVersion[4] = {0, 0, 0, 0};  // its product version, when set
    bool productVersionSet = false;             // else the file version stands for it
    uint16_t language = 0x0409;                 // of the strings, the translation and the resource
    bool languageSet = false;
    bool empty() const { return strings.empty(); }
    void set(const std::string& key, const std::string& value);
    std::string get(const std::string& key) const;
};

// "1", "1.2", "1.2.3" or "1.2.3.4", each part 0..65535.
bool parseVersionNumber(const std::string& text, uint16_t out[4]);
// A version as the string fields may hold it: such a number, optionally
// followed by text that does not go on with a digit or '.' ("2.1-beta",
// "3.0 RC1"); `out` gets the number, for the fixed block.
bool parseVersionText(const std::string& text, uint16_t out[4]);
// A language for --language: a Windows language id ("0x0407", "1031") or a
// name of the common ones ("de-DE", case-insensitive); false when unknown.
bool parseLanguage(const std::string& text, uint16_t& out);
// Applies one "key=value" line of a --version-info file (keys: the packer's
// option names such as product-name, or the field names such as ProductName).
// Blank lines and lines starting with '#' are skipped.
bool applyVersionInfoLine(VersionInfo& info, const std::string& line, std::string& error);
// Fills the fields every version resource carries (FileVersion,
// ProductVersion, FileDescription, InternalName, OriginalFilename) from the
// given ones and the executable's file name.
void completeVersionInfo(VersionInfo& info, const std::string& fileName);
// The VS_VERSIONINFO block (its language, Unicode code page). Its lengths
// are 16-bit: a block longer than kMaxVersionResourceBytes is unreadable.
constexpr size_t kMaxVersionResourceBytes = 0xFFFF;
std::vector<uint8_t> versionResource(const VersionInfo& info);
// Decodes a VS_VERSIONINFO block; false when damaged.
bool parseVersionResource(const std::vector<uint8_t>& bytes, VersionInfo& info);

// Checks that `bytes` is a manifest the system loader will accept: UTF-8
// (optionally with a mark), well-formed XML elements, an <assembly> root.
bool checkManifest(const std::vector<uint8_t>& bytes, std::string& error);
// Whether a manifest checkManifest accepts sets the process's ANSI code page
// to UTF-8: an <activeCodePage> element (any namespace prefix) outside
// comments whose text is "UTF-8" (case and surrounding blanks ignored).
bool manifestSetsUtf8CodePage(const std::vector<uint8_t>& bytes);
// Whether it declares <longPathAware>true</longPathAware> (same reading).
bool manifestIsLongPathAware(const std::vector<uint8_t>& bytes);
// The manifest written when none is given.
const std::string& defaultManifest();

}  // namespace hux::tool
