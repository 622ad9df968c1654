#include "tool/win_resources.h"

#include <cstring>

#include "common/hex_digit.h"
#include "common/utf.h"

namespace hux::tool {

namespace {

constexpr uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

uint32_t readBe32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

// Version strings read back from an image: a lone surrogate becomes U+FFFD.
std::string utf8Of(const std::u16string& in) { return std::string(utf16ToUtf8Standard(in, U'\uFFFD').view()); }

void put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
void put32(std::vector<uint8_t>& out, uint32_t v) {
    put16(out, static_cast<uint16_t>(v));
    put16(out, static_cast<uint16_t>(v >> 16));
}
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

bool parseIconFile(const std::vector<uint8_t>& bytes, std::vector<IconImage>& images, std::string& error) {
    images.clear();
    if (bytes.size() >= 24 && std::memcmp(bytes.data(), kPngSignature, 8) == 0) {
        if (readBe32(bytes.data() + 8) != 13 || std::memcmp(bytes.data() + 12, "IHDR", 4) != 0) {
            error = "the PNG image has no header chunk";
            return false;
        }
        const uint32_t w = readBe32(bytes.data() + 16);
        const uint32_t h = bytes.size() >= 24 ? readBe32(bytes.data() + 20) : 0;
        if (w == 0 || h == 0 || w > 256 || h > 256) {
            error = "an icon image is at most 256 x 256 pixels (the PNG image is " + std::to_string(w) + " x " +
                    std::to_string(h) + ")";
            return false;
        }
        IconImage image;
        image.width = static_cast<uint16_t>(w);
        image.height = static_cast<uint16_t>(h);
        image.planes = 1;
        image.bitCount = 32;
        image.data = bytes;
        images.push_back(std::move(image));
        return true;
    }
    if (bytes.size() < 6 || readLe16(bytes.data()) != 0 || readLe16(bytes.data() + 2) != 1) {
        error = "not an icon file (.ico) or a PNG image";
        return false;
    }
    const uint16_t count = readLe16(bytes.data() + 4);
    if (count == 0 || bytes.size() < 6 + 16u * count) {
        error = "the icon file's directory is empty or cut off";
        return false;
    }
    for (uint16_t i = 0; i < count; ++i) {
        const uint8_t* e = bytes.data() + 6 + 16 * i;
        const uint32_t size = readLe32(e + 8);
        const uint32_t offset = readLe32(e + 12);
        if (size < 40 || offset > bytes.size() || bytes.size() - offset < size) {
            error = "icon image " + std::to_string(i + 1) + " lies outside the file";
            return false;
        }
        IconImage image;
        image.width = e[0] == 0 ? 256 : e[0];
        image.height = e[1] == 0 ? 256 : e[1];
        image.colorCount = e[2];
        image.planes = readLe16(e + 4);
        image.bitCount = readLe16(e + 6);
        image.data.assign(bytes.begin() + offset, bytes.begin() + offset + size);
        const bool png = std::memcmp(image.data.data(), kPngSignature, 8) == 0;
        if (!png && readLe32(image.data.data()) != 40) {
            error = "icon image " + std::to_string(i + 1) + " is neither a bitmap nor a PNG image";
            return false;
        }
        // Some writers leave planes and depth 0 in the directory; the bitmap
        // header knows them.
        if (!png && image.bitCount == 0) image.bitCount = readLe16(image.data.data() + 14);
        if (!png && image.planes == 0) image.planes = readLe16(image.data.data() + 12);
        if (png && image.bitCount == 0) image.bitCount = 32;
        if (image.planes == 0) image.planes = 1;
        images.push_back(std::move(image));
    }
    return true;
}

std::vector<uint8_t> iconGroup(const std::vector<IconImage>& images, uint16_t firstId) {
    std::vector<uint8_t> out;
    put16(out, 0);
    put16(out, 1);
    put16(out, static_cast<uint16_t>(images.size()));
    uint16_t id = firstId;
    for (const IconImage& image : images) {
        out.push_back(static_cast<uint8_t>(image.width >= 256 ? 0 : image.width));
        out.push_back(static_cast<uint8_t>(image.height >= 256 ? 0 : image.height));
        out.push_back(image.colorCount);
        out.push_back(0);
        put16(out, image.planes);
        put16(out, image.bitCount);
        put32(out, static_cast<uint32_t>(image.data.size()));
        put16(out, id++);
    }
    return out;
}

bool parseIconGroup(const std::vector<uint8_t>& bytes, std::vector<IconGroupEntry>& entries) {
    entries.clear();
    if (bytes.size() < 6 || readLe16(bytes.data()) != 0 || readLe16(bytes.data() + 2) != 1) return false;
    const uint16_t count = readLe16(bytes.data() + 4);
    if (bytes.size() < 6 + 14u * count) return false;
    for (uint16_t i = 0; i < count; ++i) {
        const uint8_t* e = bytes.data() + 6 + 14 * i;
        IconGroupEntry entry;
        entry.width = e[0] == 0 ? 256 : e[0];
        entry.height = e[1] == 0 ? 256 : e[1];
        entry.bitCount = readLe16(e + 6);
        entry.bytes = readLe32(e + 8);
        entry.iconId = readLe16(e + 12);
        entries.push_back(entry);
    }
    return true;
}

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
    {"neutral", 0x0000}, {"en-US", 0x0409}, {"en-GB", 0x0809}, {"de-DE", 0x0407}, {"de-AT", 0x0C07},
    {"de-CH", 0x0807},   {"fr-FR", 0x040C}, {"fr-CA", 0x0C0C}, {"fr-CH", 0x100C}, {"it-IT", 0x0410},
    {"es-ES", 0x0C0A},   {"es-MX", 0x080A}, {"pt-BR", 0x0416}, {"pt-PT", 0x0816}, {"nl-NL", 0x0413},
    {"da-DK", 0x0406},   {"sv-SE", 0x041D}, {"nb-NO", 0x0414}, {"fi-FI", 0x040B}, {"pl-PL", 0x0415},
    {"cs-CZ", 0x0405},   {"hu-HU", 0x040E}, {"ru-RU", 0x0419}, {"uk-UA", 0x0422}, {"tr-TR", 0x041F},
    {"el-GR", 0x0408},   {"ja-JP", 0x0411}, {"ko-KR", 0x0412}, {"zh-CN", 0x0804}, {"zh-TW", 0x0404},
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
    for (int shift = 12; shift >= 0; shift -= 4) tableName.push_back(static_cast<char16_t>("0123456789ABCDEF"[(info.language >> shift) & 0xF]));
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

bool checkManifest(const std::vector<uint8_t>& bytes, std::string& error) {
    std::string text(bytes.begin(), bytes.end());
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
    std::u16string units;
    if (text.find('\0') != std::string::npos || !decodeUtf8OrReject(text, units)) {
        error = "the manifest is not UTF-8 text";
        return false;
    }
    // Elements must nest properly under one <assembly> root; declarations,
    // comments and processing instructions are skipped.
    std::vector<std::string> open;
    std::string root;
    size_t i = 0;
    bool sawRoot = false;
    while ((i = text.find('<', i)) != std::string::npos) {
        if (text.compare(i, 4, "<!--") == 0) {
            const size_t end = text.find("-->", i + 4);
            if (end == std::string::npos) break;
            i = end + 3;
            continue;
        }
        if (text.compare(i, 2, "<?") == 0 || text.compare(i, 2, "<!") == 0) {
            const size_t end = text.find('>', i);
            if (end == std::string::npos) break;
            i = end + 1;
            continue;
        }
        // Find the tag's end outside quoted attribute values.
        size_t j = i + 1;
        char quote = 0;
        for (; j < text.size(); ++j) {
            if (quote) {
                if (text[j] == quote) quote = 0;
            } else if (text[j] == '"' || text[j] == '\'') {
                quote = text[j];
            } else if (text[j] == '>' || text[j] == '<') {
                break;
            }
        }
        if (j >= text.size() || text[j] != '>') {
            error = "the manifest has an unterminated tag";
            return false;
        }
        const bool closing = text[i + 1] == '/';
        const bool empty = text[j - 1] == '/' && !closing;
        const size_t nameStart = i + (closing ? 2 : 1);
        size_t nameEnd = nameStart;
        while (nameEnd < j && text[nameEnd] != ' ' && text[nameEnd] != '\t' && text[nameEnd] != '\r' &&
               text[nameEnd] != '\n' && text[nameEnd] != '/' && text[nameEnd] != '>')
            ++nameEnd;
        const std::string name = text.substr(nameStart, nameEnd - nameStart);
        if (name.empty()) {
            error = "the manifest has a tag without a name";
            return false;
        }
        if (closing) {
            if (open.empty() || open.back() != name) {
                error = "the manifest closes <" + name + "> where it is not open";
                return false;
            }
            open.pop_back();
        } else {
            if (open.empty()) {
                if (sawRoot) {
                    error = "the manifest has more than one root element";
                    return false;
                }
                sawRoot = true;
                root = name;
            }
            if (!empty) open.push_back(name);
        }
        i = j + 1;
    }
    if (i != std::string::npos) {
        error = "the manifest has an unterminated comment or declaration";
        return false;
    }
    if (!open.empty()) {
        error = "the manifest leaves <" + open.back() + "> open";
        return false;
    }
    const size_t colon = root.find(':');
    if ((colon == std::string::npos ? root : root.substr(colon + 1)) != "assembly") {
        error = "the manifest's root element is not <assembly>";
        return false;
    }
    return true;
}

namespace {

// Whether the first <element> (any namespace prefix) outside comments has the
// text `value` (case and surrounding blanks ignored).
bool manifestElementIs(const std::vector<uint8_t>& bytes, const char* element, const char* value) {
    const std::string text(bytes.begin(), bytes.end());
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    size_t i = 0;
    while ((i = text.find('<', i)) != std::string::npos) {
        if (text.compare(i, 4, "<!--") == 0) {
            const size_t end = text.find("-->", i + 4);
            if (end == std::string::npos) return false;
            i = end + 3;
            continue;
        }
        size_t nameEnd = i + 1;
        while (nameEnd < text.size() && !blank(text[nameEnd]) && text[nameEnd] != '>' && text[nameEnd] != '/')
            ++nameEnd;
        std::string name = text.substr(i + 1, nameEnd - i - 1);
        const size_t colon = name.find(':');
        if (colon != std::string::npos) name.erase(0, colon + 1);
        const size_t tagEnd = text.find('>', nameEnd);
        if (tagEnd == std::string::npos) return false;
        i = tagEnd + 1;
        if (name != element || text[tagEnd - 1] == '/') continue;
        const size_t valueEnd = text.find('<', i);
        if (valueEnd == std::string::npos) return false;
        size_t from = i;
        size_t to = valueEnd;
        while (from < to && blank(text[from])) ++from;
        while (to > from && blank(text[to - 1])) --to;
        return equalsIgnoreCase(text.substr(from, to - from), value);
    }
    return false;
}

}  // namespace

bool manifestSetsUtf8CodePage(const std::vector<uint8_t>& bytes) {
    return manifestElementIs(bytes, "activeCodePage", "UTF-8");
}

bool manifestIsLongPathAware(const std::vector<uint8_t>& bytes) {
    return manifestElementIs(bytes, "longPathAware", "true");
}

const std::string& defaultManifest() {
    static const std::string text =
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
        "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\r\n"
        "  <trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\">\r\n"
        "    <security>\r\n"
        "      <requestedPrivileges>\r\n"
        "        <requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>\r\n"
        "      </requestedPrivileges>\r\n"
        "    </security>\r\n"
        "  </trustInfo>\r\n"
        "  <compatibility xmlns=\"urn:schemas-microsoft-com:compatibility.v1\">\r\n"
        "    <application>\r\n"
        "      <supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>\r\n"  // 10 and 11
        "      <supportedOS Id=\"{1f676c76-80e1-4239-95bb-83d0f6d0da78}\"/>\r\n"  // 8.1
        "      <supportedOS Id=\"{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}\"/>\r\n"  // 8
        "      <supportedOS Id=\"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}\"/>\r\n"  // 7
        "      <supportedOS Id=\"{e2011457-1546-43c5-a5fe-008deee3d3f0}\"/>\r\n"  // Vista
        "    </application>\r\n"
        "  </compatibility>\r\n"
        "  <application xmlns=\"urn:schemas-microsoft-com:asm.v3\">\r\n"
        "    <windowsSettings>\r\n"
        "      <dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">true/pm</dpiAware>\r\n"
        "      <dpiAwareness xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">PerMonitorV2, "
        "PerMonitor</dpiAwareness>\r\n"
        "      <longPathAware xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">true</longPathAware>\r\n"
        "      <activeCodePage "
        "xmlns=\"http://schemas.microsoft.com/SMI/2019/WindowsSettings\">UTF-8</activeCodePage>\r\n"
        "    </windowsSettings>\r\n"
        "  </application>\r\n"
        "</assembly>\r\n";
    return text;
}

}  // namespace hux::tool
