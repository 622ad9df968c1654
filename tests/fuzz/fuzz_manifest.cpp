// libFuzzer target: the packer's manifest reader (Class-Path of the jars it
// packs), the attribute's removal from flattened manifests, marking a
// flattened manifest multi-release, the sections a flattened manifest gains
// for packages, the resolution of Class-Path entries to file paths, and the
// readers of the index files that flattening merges (properties, the logging
// library's plugin cache, HOCON documents to join).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "tool/jars/index_files.h"
#include "tool/jars/manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<std::string> entries = hux::tool::manifestClassPath(data, size);
    for (const std::string& entry : entries) {
        // Entries are what lies between white space: never empty, never holding any.
        if (entry.empty() || entry.find_first_of(" \t\r\n\f") != std::string::npos) __builtin_trap();
        hux::tool::ClassPathTarget target;
        std::string why;
        if (hux::tool::resolveClassPathEntry("/base/dir", entry, target, why)) {
            // A relative entry resolves under the base unless ".." leaves it.
            if (target.path.empty()) __builtin_trap();
            if (!target.relative && target.path[0] != '/') __builtin_trap();
        } else if (why.empty()) {
            __builtin_trap();
        }
    }
    // Removing the attribute leaves none behind, and removing again changes nothing.
    bool removed = false;
    const std::string without =
        hux::tool::withoutClassPath(std::string(reinterpret_cast<const char*>(data), size), removed);
    if (without.size() > size || (!removed && without.size() != size)) __builtin_trap();
    if (!hux::tool::manifestClassPath(reinterpret_cast<const uint8_t*>(without.data()), without.size()).empty())
        __builtin_trap();
    bool again = true;
    if (hux::tool::withoutClassPath(without, again) != without || again) __builtin_trap();
    // Marking a manifest multi-release always makes it read as one, and keeps
    // every other main-section attribute (Class-Path here) as it read before.
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string marked = hux::tool::withMultiRelease(text);
    const auto* markedBytes = reinterpret_cast<const uint8_t*>(marked.data());
    if (!hux::tool::saysMultiRelease(markedBytes, marked.size())) __builtin_trap();
    if (hux::tool::manifestClassPath(markedBytes, marked.size()) != entries) __builtin_trap();
    if (hux::tool::saysMultiRelease(data, size) && marked != text) __builtin_trap();
    // Sections added after the text leave its main section as it read; after
    // a text of one section, they read back.
    using hux::tool::readManifest;
    auto read = [](const std::string& s) { return readManifest(reinterpret_cast<const uint8_t*>(s.data()), s.size()); };
    const std::string sealed =
        hux::tool::manifestHeader("Name", "p/") + hux::tool::manifestHeader("Sealed", "true") + "\r\n";
    const std::string extended = hux::tool::withSections(text, sealed);
    const hux::tool::ManifestSections before = read(text), after = read(extended);
    if (after.main.size() != before.main.size()) __builtin_trap();
    for (size_t i = 0; i < before.main.size(); ++i)
        if (after.main[i].name != before.main[i].name || after.main[i].value != before.main[i].value) __builtin_trap();
    const bool oneBlock = (text.empty() || (text[0] != '\r' && text[0] != '\n')) &&
                          text.find("\n\n") == std::string::npos && text.find("\r\r") == std::string::npos &&
                          text.find("\n\r") == std::string::npos;
    if (oneBlock) {
        const std::string* value = hux::tool::packageAttribute(after, "p/", "Sealed");
        if (value == nullptr || *value != "true") __builtin_trap();
    }
    // Any value (without line ends) wraps into lines of at most 72 bytes and reads back whole.
    std::string value = text.substr(0, 300);
    value.erase(std::remove_if(value.begin(), value.end(), [](char c) { return c == '\r' || c == '\n'; }), value.end());
    const std::string header = hux::tool::manifestHeader("X-Value", value);
    for (size_t start = 0, end; (end = header.find("\r\n", start)) != std::string::npos; start = end + 2)
        if (end - start > 72) __builtin_trap();
    const hux::tool::ManifestSections one = read("M: 1\r\n" + header);
    const std::string* back = hux::tool::findAttribute(one.main, "x-value");
    if (back == nullptr || *back != value) __builtin_trap();
    // Properties written back as "key=value" lines read as they did: the
    // merged factory lists rely on it.
    const auto pairs = hux::tool::rawProperties(text);
    std::string written;
    for (const auto& [key, v] : pairs) written += key + "=" + v + "\n";
    if (hux::tool::rawProperties(written) != pairs) __builtin_trap();
    // A plugin cache read ends inside the bytes, and two copies' categories
    // joined under the summed count read as one cache that ends at its end.
    const std::vector<uint8_t> bytes(data, data + size);
    uint32_t count = 0;
    size_t end = 0;
    if (hux::tool::log4jPluginCategories(bytes, count, end)) {
        if (end < 4 || end > size) __builtin_trap();
        if (count <= UINT32_MAX / 2) {
            std::vector<uint8_t> joined(4);
            for (int i = 0; i < 4; ++i) joined[i] = static_cast<uint8_t>((2 * count) >> (24 - 8 * i));
            for (int copy = 0; copy < 2; ++copy) joined.insert(joined.end(), bytes.begin() + 4, bytes.begin() + end);
            uint32_t joinedCount = 0;
            size_t joinedEnd = 0;
            if (!hux::tool::log4jPluginCategories(joined, joinedCount, joinedEnd) || joinedCount != 2 * count ||
                joinedEnd != joined.size())
                __builtin_trap();
        }
    }
    // A HOCON body is the text less a byte-order mark, or less a braced
    // root's two braces.
    std::string body;
    if (hux::tool::hoconRootBody(text, body)) {
        const size_t mark = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
        if (body.size() != text.size() - mark && body.size() != text.size() - mark - 2) __builtin_trap();
        if (body.size() == text.size() - mark && body != text.substr(mark)) __builtin_trap();
    }
    return 0;
}
