#include "tool/jars/manifest.h"

#include <algorithm>
#include <filesystem>
#include <string_view>

#include "common/hex_digit.h"
#include "common/utf.h"
#include "tool/payload/file_names.h"

namespace fs = std::filesystem;

namespace hux::tool {

namespace {

// The scheme of a URL ("file", "http"...), lower case; empty when the text
// is relative. As for java.net.URL: letters, digits, '+', '-' and '.' after a
// letter, before the first ':' and before any '/'.
std::string schemeOf(const std::string& url) {
    const size_t colon = url.find(':');
    if (colon == std::string::npos || colon == 0 || url.find('/') < colon) return {};
    std::string scheme;
    for (size_t i = 0; i < colon; ++i) {
        const char c = url[i];
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!letter && (i == 0 || !((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'))) return {};
        scheme.push_back(letter ? static_cast<char>(c | 0x20) : c);
    }
    return scheme;
}

constexpr std::string_view kClassPath = "Class-Path";

// One physical line of the main section: [start, end) is its text, `next`
// where the following line starts; `ended` tells whether a line end follows.
struct Line {
    size_t start = 0, end = 0, next = 0;
    bool ended = false;
};

Line lineAt(std::string_view text, size_t at) {
    Line line;
    line.start = at;
    size_t i = at;
    while (i < text.size() && text[i] != '\r' && text[i] != '\n') ++i;
    line.end = i;
    if (i < text.size()) {
        line.ended = true;
        i += (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
    }
    line.next = i;
    return line;
}

// Whether a header line names the attribute `name` ("Name: ...").
bool namesAttribute(std::string_view line, std::string_view name) {
    const size_t colon = line.find(':');
    return colon != std::string_view::npos && colon + 1 < line.size() && line[colon + 1] == ' ' &&
           equalsIgnoreCase(line.substr(0, colon), name);
}

}  // namespace

namespace {

// Reads one block of header lines (the main section, or a named section)
// from `at` up to the empty line that ends it, into `out`. False when the
// text ends first: a last line without a line end does not count.
bool readBlock(std::string_view text, size_t& at, std::vector<ManifestAttribute>& out) {
    bool current = false;  // the last line read began an attribute that continuations extend
    while (at < text.size()) {
        const Line line = lineAt(text, at);
        if (!line.ended) return false;
        at = line.next;
        const std::string_view body = text.substr(line.start, line.end - line.start);
        if (body.empty()) return true;
        if (body[0] == ' ') {
            if (current) out.back().value.append(body.substr(1));
            continue;
        }
        const size_t colon = body.find(':');
        current = colon != std::string_view::npos && colon + 1 < body.size() && body[colon + 1] == ' ';
        if (current) out.push_back({std::string(body.substr(0, colon)), std::string(body.substr(colon + 2))});
    }
    return false;
}

}  // namespace

ManifestSections readManifest(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    ManifestSections manifest;
    size_t at = 0;
    if (!readBlock(text, at, manifest.main)) return manifest;
    while (at < text.size()) {
        const Line line = lineAt(text, at);
        if (!line.ended) break;
        if (line.end == line.start) {  // empty lines between sections
            at = line.next;
            continue;
        }
        std::vector<ManifestAttribute> block;
        const bool complete = readBlock(text, at, block);
        if (block.empty() || !equalsIgnoreCase(block.front().name, "Name")) break;
        std::vector<ManifestAttribute>& section = manifest.sections[block.front().value];
        section.insert(section.end(), block.begin() + 1, block.end());
        if (!complete) break;
    }
    return manifest;
}

const std::string* findAttribute(const std::vector<ManifestAttribute>& attributes, std::string_view name) {
    const std::string* found = nullptr;
    for (const ManifestAttribute& a : attributes)
        if (equalsIgnoreCase(a.name, name)) found = &a.value;
    return found;
}

const std::vector<std::string_view> kPackageAttributes = {"Specification-Title",
                                                          "Specification-Version",
                                                          "Specification-Vendor",
                                                          "Implementation-Title",
                                                          "Implementation-Version",
                                                          "Implementation-Vendor",
                                                          "Sealed"};

const std::string* packageAttribute(const ManifestSections& manifest, const std::string& dir, std::string_view name) {
    const auto section = manifest.sections.find(dir);
    if (section != manifest.sections.end())
        if (const std::string* value = findAttribute(section->second, name)) return value;
    return findAttribute(manifest.main, name);
}

std::string manifestHeader(std::string_view name, std::string_view value) {
    constexpr size_t kLineBytes = 72;
    std::string line;
    line.append(name).append(": ").append(value);
    std::string out;
    size_t at = 0;
    while (true) {
        const size_t room = at == 0 ? kLineBytes : kLineBytes - 1;
        size_t end = std::min(line.size(), at + room);
        // Back to a character's first byte: at most three bytes back (what
        // is no UTF-8 splits anywhere).
        auto inside = [&](size_t i) { return i < line.size() && (static_cast<unsigned char>(line[i]) & 0xC0) == 0x80; };
        size_t start = end;
        while (start > end - 3 && inside(start)) --start;
        if (!inside(start)) end = start;
        if (at > 0) out.push_back(' ');
        out.append(line, at, end - at).append("\r\n");
        if (end >= line.size()) return out;
        at = end;
    }
}

std::string withSections(const std::string& manifest, const std::string& sections) {
    if (sections.empty()) return manifest;
    size_t at = 0;
    bool blockOpen = true;  // the text up to `at` ends inside a block (or is empty)
    while (at < manifest.size()) {
        const Line line = lineAt(manifest, at);
        if (!line.ended) break;
        blockOpen = line.end != line.start;
        at = line.next;
    }
    std::string out = manifest;
    out.insert(at, (blockOpen ? std::string("\r\n") : std::string()) + sections);
    return out;
}

bool manifestAttribute(const uint8_t* data, size_t size, std::string_view name, std::string& out) {
    // Only the main section: a signed jar's manifest has a section per entry.
    std::vector<ManifestAttribute> main;
    size_t at = 0;
    readBlock(std::string_view(reinterpret_cast<const char*>(data), size), at, main);
    const std::string* value = findAttribute(main, name);
    if (value != nullptr) out = *value;
    return value != nullptr;
}

bool saysMultiRelease(const uint8_t* data, size_t size) {
    std::string value;
    if (!manifestAttribute(data, size, "Multi-Release", value)) return false;
    return equalsIgnoreCase(value, "true");
}

std::string withMultiRelease(const std::string& manifest) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(manifest.data());
    if (saysMultiRelease(bytes, manifest.size())) return manifest;
    // After the main section's last line (a later attribute wins over an
    // earlier one of the same name), with that line's own line end.
    size_t at = 0;
    std::string end = "\r\n";
    while (at < manifest.size()) {
        const Line line = lineAt(manifest, at);
        if (!line.ended || line.end == line.start) break;
        end = manifest.substr(line.end, line.next - line.end);
        at = line.next;
    }
    std::string out = manifest;
    out.insert(at, "Multi-Release: true" + end);
    return out;
}

std::vector<std::string> manifestClassPath(const uint8_t* data, size_t size) {
    std::string classPath;
    std::vector<std::string> entries;
    if (!manifestAttribute(data, size, kClassPath, classPath)) return entries;
    size_t i = 0;
    constexpr std::string_view kSpace = " \t\r\n\f";
    while (true) {
        i = classPath.find_first_not_of(kSpace, i);
        if (i == std::string::npos) break;
        size_t j = classPath.find_first_of(kSpace, i);
        if (j == std::string::npos) j = classPath.size();
        entries.push_back(classPath.substr(i, j - i));
        i = j;
    }
    return entries;
}

std::string withoutClassPath(const std::string& manifest, bool& removed) {
    return withoutMainAttributes(manifest, {kClassPath}, removed);
}

std::string withoutMainAttributes(const std::string& manifest, const std::vector<std::string_view>& names,
                                  bool& removed) {
    removed = false;
    std::string out;
    out.reserve(manifest.size());
    bool dropping = false;
    // Appends what follows a removed line. A kept line ended by a lone CR
    // must not become CR LF with an LF after the removed lines: it gets its
    // own LF so that the line ends stay where they were.
    auto keep = [&](size_t from, size_t to) {
        if (from < to && removed && !out.empty() && out.back() == '\r' && manifest[from] == '\n') out.push_back('\n');
        out.append(manifest, from, to - from);
    };
    size_t at = 0;
    while (at < manifest.size()) {
        const Line line = lineAt(manifest, at);
        const std::string_view body(manifest.data() + line.start, line.end - line.start);
        if (body.empty()) break;  // the rest (other sections) stays as it is
        if (!(body[0] == ' ' && dropping)) {
            dropping = line.ended && std::any_of(names.begin(), names.end(),
                                                 [&](std::string_view name) { return namesAttribute(body, name); });
            removed = removed || dropping;
        }
        if (!dropping) keep(line.start, line.next);
        at = line.next;
    }
    keep(at, manifest.size());
    return out;
}

bool resolveClassPathEntry(const std::string& jarDir, const std::string& entry, ClassPathTarget& target,
                           std::string& why) {
    std::string text = entry.substr(0, entry.find('#'));
    const std::string scheme = schemeOf(text);
    if (!scheme.empty()) {
        if (scheme != "file") {
            why = "not a local file (" + scheme + ":)";
            return false;
        }
        text.erase(0, 5);
        if (text.rfind("//", 0) == 0) {
            const size_t end = text.find('/', 2);
            if (end != 2) {
                why = "a file on another host";
                return false;
            }
            text.erase(0, 2);
        }
    }
    const bool absolute = !text.empty() && text[0] == '/';
    std::string decoded;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded.push_back(text[i]);
            continue;
        }
        const int high = i + 2 < text.size() ? hexDigitValue(text[i + 1]) : -1;
        const int low = high >= 0 ? hexDigitValue(text[i + 2]) : -1;
        if (low < 0) {
            why = "a broken %-escape";
            return false;
        }
        decoded.push_back(static_cast<char>(high << 4 | low));
        i += 2;
    }
    if (decoded.empty() || decoded.find('\0') != std::string::npos) {
        why = decoded.empty() ? "an empty path" : "a NUL character in the path";
        return false;
    }
    target.directory = decoded.back() == '/';
    target.relative = !absolute;
    const fs::path resolved = absolute || jarDir.empty() ? pathOf(decoded) : pathOf(jarDir) / pathOf(decoded);
    target.path = genericTextOf(resolved.lexically_normal());
    if (target.path.size() > 1 && target.path.back() == '/') target.path.pop_back();
    return true;
}

}  // namespace hux::tool
