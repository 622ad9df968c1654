#include "tool/jars/index_files.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace hux::tool {

std::vector<std::pair<std::string, std::string>> rawProperties(const std::string& text) {
    auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\f'; };
    std::vector<std::string_view> lines;  // natural lines: CR, LF or CR LF ends one
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find_first_of("\r\n", at);
        if (end == std::string::npos) end = text.size();
        lines.push_back(std::string_view(text).substr(at, end - at));
        at = end + (end + 1 < text.size() && text[end] == '\r' && text[end + 1] == '\n' ? 2 : 1);
    }
    auto withoutLeadingBlanks = [&](std::string_view line) {
        while (!line.empty() && isBlank(line.front())) line.remove_prefix(1);
        return line;
    };
    auto continues = [](std::string_view line) {
        size_t slashes = 0;
        while (slashes < line.size() && line[line.size() - 1 - slashes] == '\\') ++slashes;
        return slashes % 2 == 1;
    };
    std::vector<std::pair<std::string, std::string>> out;
    auto add = [&](const std::string& line) {
        // The key ends at the first '=', ':' or blank that no backslash escapes.
        size_t i = 0;
        while (i < line.size() && line[i] != '=' && line[i] != ':' && !isBlank(line[i])) i += line[i] == '\\' ? 2 : 1;
        std::string key = line.substr(0, std::min(i, line.size()));
        while (i < line.size() && isBlank(line[i])) ++i;
        if (i < line.size() && (line[i] == '=' || line[i] == ':')) ++i;
        while (i < line.size() && isBlank(line[i])) ++i;
        std::string value = line.substr(std::min(i, line.size()));
        auto same = std::find_if(out.begin(), out.end(), [&](const auto& kv) { return kv.first == key; });
        if (same != out.end())
            same->second = std::move(value);
        else
            out.emplace_back(std::move(key), std::move(value));
    };
    // A logical line is one or more natural lines: one ending in an odd
    // number of backslashes goes on with the next, whose leading blanks are
    // dropped. While a logical line holds nothing yet, a blank line ends it
    // and '#' or '!' starts a comment (to the end of that natural line, which
    // a backslash does not continue).
    std::string line;
    for (std::string_view natural : lines) {
        std::string_view part = withoutLeadingBlanks(natural);
        if (line.empty() && (part.empty() || part.front() == '#' || part.front() == '!')) continue;
        if (continues(part)) {
            line.append(part.substr(0, part.size() - 1));
            continue;
        }
        line.append(part);
        add(line);
        line.clear();
    }
    if (!line.empty()) add(line);  // continued at the end of the text
    return out;
}

bool log4jPluginCategories(const std::vector<uint8_t>& data, uint32_t& count, size_t& end) {
    size_t at = 0;
    auto u32 = [&](uint32_t& v) {
        if (data.size() - at < 4) return false;
        v = uint32_t{data[at]} << 24 | uint32_t{data[at + 1]} << 16 | uint32_t{data[at + 2]} << 8 | data[at + 3];
        at += 4;
        return true;
    };
    auto skip = [&](size_t n) {
        if (data.size() - at < n) return false;
        at += n;
        return true;
    };
    auto name = [&] { return skip(2) && skip(size_t{data[at - 2]} << 8 | data[at - 1]); };
    if (!u32(count)) return false;
    for (uint32_t c = 0; c < count; ++c) {
        uint32_t entries = 0;
        if (!name() || !u32(entries)) return false;
        for (uint32_t e = 0; e < entries; ++e)
            if (!name() || !name() || !name() || !skip(2)) return false;
    }
    end = at;
    return true;
}

bool hoconRootBody(const std::string& text, std::string& body) {
    const size_t start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    auto commentAt = [&](size_t i) {
        return text[i] == '#' || (text[i] == '/' && i + 1 < text.size() && text[i + 1] == '/');
    };
    size_t open = start;
    while (open < text.size()) {
        if (std::isspace(static_cast<unsigned char>(text[open]))) {
            ++open;
        } else if (commentAt(open)) {
            open = text.find('\n', open);
            if (open == std::string::npos) open = text.size();
        } else {
            break;
        }
    }
    if (open == text.size() || text[open] != '{') {
        body = text.substr(start);
        return true;
    }
    // The last line that is neither blank nor a comment ends with the root's
    // closing brace.
    size_t end = text.size();  // the end of the line looked at
    while (end > open + 1) {
        const size_t newline = text.rfind('\n', end - 1);
        const size_t lineStart = newline == std::string::npos || newline < open ? open + 1 : newline + 1;
        size_t first = lineStart, last = end;
        while (first < last && std::isspace(static_cast<unsigned char>(text[first]))) ++first;
        while (last > first && std::isspace(static_cast<unsigned char>(text[last - 1]))) --last;
        if (first < last && !commentAt(first)) {
            if (text[last - 1] != '}') return false;
            body = text.substr(start, open - start) + text.substr(open + 1, last - 1 - (open + 1)) + text.substr(last);
            return true;
        }
        end = lineStart == open + 1 ? open + 1 : lineStart - 1;
    }
    return false;
}

}  // namespace hux::tool
