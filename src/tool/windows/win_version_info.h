// Windows version information: the fields given, the VS_VERSIONINFO block
// written from them and read back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace hux::tool {

// Version information: string fields by name (ProductName, FileDescription,
// CompanyName, LegalCopyright, FileVersion, ProductVersion, ...) and the
// numeric version.
struct VersionInfo {
    std::vector<std::pair<std::string, std::string>> strings;  // UTF-8 values, in output order
    uint16_t version[4] = {0, 0, 0, 0};                        // the fixed block's file version
    uint16_t productVersion[4] = {0, 0, 0, 0};                 // its product version, when set
    bool productVersionSet = false;                            // else the file version stands for it
    uint16_t language = 0x0409;                                // of the strings, the translation and the resource
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

}  // namespace hux::tool
