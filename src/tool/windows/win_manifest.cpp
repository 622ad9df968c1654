#include "tool/windows/win_manifest.h"

#include "common/utf.h"

namespace hux::tool {

namespace {

// Where the tag opened at `open` ends (its '>', or the '<' or end of text
// that cuts it off), outside quoted attribute values.
size_t tagEnd(const std::string& text, size_t open) {
    size_t j = open + 1;
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
    return j;
}

// The element name from `from` up to a blank, '/' or '>' before `end`.
std::string tagName(const std::string& text, size_t from, size_t end) {
    size_t nameEnd = from;
    while (nameEnd < end && text[nameEnd] != ' ' && text[nameEnd] != '\t' && text[nameEnd] != '\r' &&
           text[nameEnd] != '\n' && text[nameEnd] != '/' && text[nameEnd] != '>')
        ++nameEnd;
    return text.substr(from, nameEnd - from);
}

}  // namespace

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
        const size_t j = tagEnd(text, i);
        if (j >= text.size() || text[j] != '>') {
            error = "the manifest has an unterminated tag";
            return false;
        }
        const bool closing = text[i + 1] == '/';
        const bool empty = text[j - 1] == '/' && !closing;
        const std::string name = tagName(text, i + (closing ? 2 : 1), j);
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
