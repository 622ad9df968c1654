#include "tool/windows/win_version_info.h"

#include "common/hex_digit.h"
#include "common/utf.h"
#include "tool/payload/little_endian.h"

namespace hux::tool {

namespace {

// Version strings read back from an image: a lone surrogate becomes U+FFFD.
std::string utf8Of(const std::u16string& in) { return std::string(utf16ToUtf8Standard(in, U'\uFFFD').view()); }

void align4(std::vector<uint8_t>& out) {
    while (out.size() % 4 != 0) out.push_back(0);
}
void putText(std::vector<uint8_t>& out, const std::u16string& text) {
    for (char16_t c : text) put16(out, static_cast<uint16_t>(c));
    put16(out, 0);
}

// One node of the version block: header, key, value, children; its length
// field is patched when the node is closed.
size_t openNode(std::vector<uint8_t>& out, const std::u16string& key, uint16_t valueLength, uint16_t type) {
    align4(out);
    const size_t at = out.size();
    put16(out, 0);
    put16(out, valueLength);
    put16(out, type);
    putText(out, key);
    align4(out);
    return at;
}
void closeNode(std::vector<uint8_t>& out, size_t at) {
    writeLe16(out.data() + at, static_cast<uint16_t>(out.size() - at));
}

std::u16string ascii16(const char* s) {
    std::u16string out;
    while (*s) out.push_back(static_cast<char16_t>(*s++));
    return out;
}

struct FieldName {
    const char* option;
    const char* field;
};
constexpr FieldName kFieldNames[] = {
    {"product-name", "ProductName"}, {"file-description", "FileDescription"},
    {"company", "CompanyName"},      {"copyright", "LegalCopyright"},
    {"version", "FileVersion"},      {"product-version", "ProductVersion"},
    {nullptr, "InternalName"},       {nullptr, "OriginalFilename"},
    {nullptr, "Comments"},           {nullptr, "LegalTrademarks"},
};

std::string trim(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t");
    if (a == std::string::npos) return "";
    const size_t b = s.find_last_not_of(" \t");
    return s.substr(a, b - a + 1);
}

}  // namespace

void VersionInfo::set(const std::string& key, const std::string& value) {
    for (auto& [k, v] : strings)
        if (k == key) {
            v = value;
            return;
        }
    strings.emplace_back(key, value);
}

std::string VersionInfo::get(const std::string& key) const {
    for (const auto& [k, v] : strings)
        if (k == key) return v;
    return "";
}

bool parseVersionNumber(const std::string& text, uint16_t out[4]) {
    uint16_t parts[4] = {0, 0, 0, 0};
    size_t part = 0, i = 0;
    while (true) {
        if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
        uint32_t value = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            value = value * 10 + static_cast<uint32_t>(text[i] - '0');
            if (value > 65535) return false;
            ++i;
        }
        parts[part++] = static_cast<uint16_t>(value);
        if (i == text.size()) break;
        if (text[i] != '.' || part == 4) return false;
        ++i;
    }
    std::memcpy(out, parts, sizeof parts);
    return true;
}

bool parseVersionText(const std::string& text, uint16_t out[4]) {
    // The longest leading run of digits and dots is the number; the rest,
    // if any, is free text.
    size_t end = 0;
    while (end < text.size() && ((text[end] >= '0' && text[end] <= '9') || text[end] == '.')) ++end;
    return parseVersionNumber(text.substr(0, end), out);
}

namespace {

struct LanguageName {
    const char* name;
    uint16_t id;
};
constexpr LanguageName kLanguageNames[] = {
    {"neutral", 0x0000}, {"en-US", 0x0409}, {"en-GB", 0x0809}, {"de-DE", 0x0407}, {"de-AT", 0x0C07}, {"de-CH", 0x0807},
    {"fr-FR", 0x040C},   {"fr-CA", 0x0C0C}, {"fr-CH", 0x100C}, {"it-IT", 0x0410}, {"es-ES", 0x0C0A}, {"es-MX", 0x080A},
    {"pt-BR", 0x0416},   {"pt-PT", 0x0816}, {"nl-NL", 0x0413}, {"da-DK", 0x0406}, {"sv-SE", 0x041D}, {"nb-NO", 0x0414},
    {"fi-FI", 0x040B},   {"pl-PL", 0x0415}, {"cs-CZ", 0x0405}, {"hu-HU", 0x040E}, {"ru-RU", 0x0419}, {"uk-UA", 0x0422},
    {"tr-TR", 0x041F},   {"el-GR", 0x0408}, {"ja-JP", 0x0411}, {"ko-KR", 0x0412}, {"zh-CN", 0x0804}, {"zh-TW", 0x0404},
};

bool equalsAsciiIgnoringCase(const std::string& a, const char* b) {
    if (a.size() != std::strlen(b)) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] + 32) : a[i];
        const char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] + 32) : b[i];
        if (x != y) return false;
    }
    return true;
}

}  // namespace

bool parseLanguage(const std::string& text, uint16_t& out) {
    for (const LanguageName& l : kLanguageNames)
        if (equalsAsciiIgnoringCase(text, l.name)) {
            out = l.id;
            return true;
        }
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const size_t from = hex ? 2 : 0;
    if (text.size() == from || text.size() - from > 5) return false;
    uint32_t value = 0;
    for (size_t i = from; i < text.size(); ++i) {
        const int digit = hex ? hexDigitValue(text[i]) : (text[i] >= '0' && text[i] <= '9' ? text[i] - '0' : -1);
        if (digit < 0) return false;
        value = value * (hex ? 16 : 10) + static_cast<uint32_t>(digit);
    }
    if (value > 0xFFFF) return false;
    out = static_cast<uint16_t>(value);
    return true;
}

bool applyVersionInfoLine(VersionInfo& info, const std::string& rawLine, std::string& error) {
    const std::string line = trim(rawLine);
    if (line.empty() || line[0] == '#') return true;
    const size_t eq = line.find('=');
    if (eq == std::string::npos) {
        error = "'" + line + "' is not a key=value line";
        return false;
    }
    const std::string key = trim(line.substr(0, eq));
    const std::string value = trim(line.substr(eq + 1));
    if (key == "language" || key == "Language") {
        if (!parseLanguage(value, info.language)) {
            error = "unknown language '" + value + "' (a Windows language id such as 0x0407, or a name such as de-DE)";
            return false;
        }
        info.languageSet = true;
        return true;
    }
    const char* field = nullptr;
    for (const FieldName& f : kFieldNames)
        if ((f.option && key == f.option) || key == f.field) field = f.field;
    if (!field) {
        error = "unknown version field '" + key + "'";
        return false;
    }
    std::u16string units;
    if (!decodeUtf8OrReject(value, units)) {
        error = "the value of '" + key + "' is not valid UTF-8";
        return false;
    }
    if (std::strcmp(field, "FileVersion") == 0 || std::strcmp(field, "ProductVersion") == 0) {
        // Text such as "2.1-beta" stays in the string field; its number
        // goes into the fixed block.
        uint16_t numbers[4];
        if (!parseVersionText(value, numbers)) {
            error = "the version '" + value +
                    "' is not of the form 1.2.3.4 (numbers up to 65535), optionally followed by text such as -beta";
            return false;
        }
        if (std::strcmp(field, "FileVersion") == 0) {
            std::memcpy(info.version, numbers, sizeof numbers);
        } else {
            std::memcpy(info.productVersion, numbers, sizeof numbers);
            info.productVersionSet = true;
        }
    }
    info.set(field, value);
    return true;
}

void completeVersionInfo(VersionInfo& info, const std::string& fileName) {
    if (info.empty()) return;
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", info.version[0], info.version[1], info.version[2], info.version[3]);
    if (info.get("FileVersion").empty()) info.set("FileVersion", text);
    if (info.get("ProductVersion").empty()) info.set("ProductVersion", info.get("FileVersion"));
    // Task Manager shows the description; the product name stands in for it.
    if (info.get("FileDescription").empty() && !info.get("ProductName").empty())
        info.set("FileDescription", info.get("ProductName"));
    if (info.get("InternalName").empty()) info.set("InternalName", fileName);
    if (info.get("OriginalFilename").empty()) info.set("OriginalFilename", fileName);
}

std::vector<uint8_t> versionResource(const VersionInfo& info) {
    std::vector<uint8_t> out;
    const size_t root = openNode(out, u"VS_VERSION_INFO", 52, 0);
    const uint32_t ms = (static_cast<uint32_t>(info.version[0]) << 16) | info.version[1];
    const uint32_t ls = (static_cast<uint32_t>(info.version[2]) << 16) | info.version[3];
    put32(out, 0xFEEF04BD);  // signature
    put32(out, 0x00010000);  // structure version
    put32(out, ms);          // file version
    put32(out, ls);
    // The product version has numbers of its own when it was given.
    const uint16_t* product = info.productVersionSet ? info.productVersion : info.version;
    put32(out, (static_cast<uint32_t>(product[0]) << 16) | product[1]);  // product version
    put32(out, (static_cast<uint32_t>(product[2]) << 16) | product[3]);
    put32(out, 0x3F);     // flags mask
    put32(out, 0);        // flags
    put32(out, 0x40004);  // Windows NT, 32-bit API
    put32(out, 1);        // application
    put32(out, 0);        // subtype
    put32(out, 0);        // date
    put32(out, 0);
    const size_t stringInfo = openNode(out, u"StringFileInfo", 0, 1);
    // The string table is named after the language and code page 1200.
    std::u16string tableName;
    for (int shift = 12; shift >= 0; shift -= 4)
        tableName.push_back(static_cast<char16_t>("0123456789ABCDEF"[(info.language >> shift) & 0xF]));
    tableName += u"04B0";
    const size_t table = openNode(out, tableName, 0, 1);
    for (const auto& [key, value] : info.strings) {
        std::u16string units;
        decodeUtf8OrReject(value, units);
        const size_t node = openNode(out, ascii16(key.c_str()), static_cast<uint16_t>(units.size() + 1), 1);
        putText(out, units);
        closeNode(out, node);
    }
    closeNode(out, table);
    closeNode(out, stringInfo);
    const size_t varInfo = openNode(out, u"VarFileInfo", 0, 1);
    const size_t var = openNode(out, u"Translation", 4, 0);
    put16(out, info.language);
    put16(out, 1200);
    closeNode(out, var);
    closeNode(out, varInfo);
    closeNode(out, root);
    return out;
}

namespace {

struct Node {
    size_t start = 0, end = 0;
    uint16_t valueLength = 0, type = 0;
    std::u16string key;
    size_t value = 0;     // offset of the value
    size_t children = 0;  // offset of the first child
};

// Reads the node at `at` inside [at, limit); false when it does not fit.
bool readNode(const std::vector<uint8_t>& b, size_t at, size_t limit, Node& node) {
    if (at + 6 > limit) return false;
    const uint16_t length = readLe16(b.data() + at);
    if (length < 6 || at + length > limit) return false;
    node.start = at;
    node.end = at + length;
    node.valueLength = readLe16(b.data() + at + 2);
    node.type = readLe16(b.data() + at + 4);
    node.key.clear();
    size_t p = at + 6;
    while (true) {
        if (p + 2 > node.end) return false;
        const uint16_t c = readLe16(b.data() + p);
        p += 2;
        if (c == 0) break;
        node.key.push_back(static_cast<char16_t>(c));
    }
    node.value = (p + 3) / 4 * 4;
    const size_t valueBytes = node.type == 1 ? 2u * node.valueLength : node.valueLength;
    if (node.value > node.end || node.end - node.value < valueBytes) return false;
    node.children = (node.value + valueBytes + 3) / 4 * 4;
    return true;
}

}  // namespace

bool parseVersionResource(const std::vector<uint8_t>& b, VersionInfo& info) {
    info = VersionInfo();
    Node root;
    if (!readNode(b, 0, b.size(), root) || root.key != u"VS_VERSION_INFO") return false;
    if (root.valueLength >= 52) {
        if (readLe32(b.data() + root.value) != 0xFEEF04BD) return false;
        const uint32_t ms = readLe32(b.data() + root.value + 8);
        const uint32_t ls = readLe32(b.data() + root.value + 12);
        info.version[0] = static_cast<uint16_t>(ms >> 16);
        info.version[1] = static_cast<uint16_t>(ms);
        info.version[2] = static_cast<uint16_t>(ls >> 16);
        info.version[3] = static_cast<uint16_t>(ls);
        const uint32_t pms = readLe32(b.data() + root.value + 16);
        const uint32_t pls = readLe32(b.data() + root.value + 20);
        info.productVersion[0] = static_cast<uint16_t>(pms >> 16);
        info.productVersion[1] = static_cast<uint16_t>(pms);
        info.productVersion[2] = static_cast<uint16_t>(pls >> 16);
        info.productVersion[3] = static_cast<uint16_t>(pls);
        info.productVersionSet = true;
    }
    for (size_t at = root.children; at < root.end;) {
        Node child;
        if (!readNode(b, at, root.end, child)) return false;
        if (child.key == u"StringFileInfo") {
            for (size_t t = child.children; t < child.end;) {
                Node table;
                if (!readNode(b, t, child.end, table)) return false;
                // "LLLLCCCC": the language, then the code page.
                uint16_t language = 0;
                bool named = table.key.size() == 8;
                for (size_t i = 0; named && i < 4; ++i) {
                    const int d = table.key[i] < 128 ? hexDigitValue(static_cast<char>(table.key[i])) : -1;
                    named = d >= 0;
                    language = static_cast<uint16_t>(language << 4 | (d & 0xF));
                }
                if (named && !info.languageSet) {
                    info.language = language;
                    info.languageSet = true;
                }
                for (size_t s = table.children; s < table.end;) {
                    Node str;
                    if (!readNode(b, s, table.end, str)) return false;
                    // A text value's length counts units, a binary one's bytes
                    // (readNode checked that either fits).
                    const size_t units = str.type == 1 ? str.valueLength : str.valueLength / 2u;
                    std::u16string value;
                    for (size_t i = 0; i < units; ++i) {
                        const uint16_t c = readLe16(b.data() + str.value + 2 * i);
                        if (c == 0) break;
                        value.push_back(static_cast<char16_t>(c));
                    }
                    info.strings.emplace_back(utf8Of(str.key), utf8Of(value));
                    s = (str.end + 3) / 4 * 4;
                }
                t = (table.end + 3) / 4 * 4;
            }
        }
        at = (child.end + 3) / 4 * 4;
    }
    return true;
}

}  // namespace hux::tool
