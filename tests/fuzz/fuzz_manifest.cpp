// libFuzzer target: the packer's manifest reader (Class-Path of the jars it
// packs), the attribute's removal from flattened manifests, marking a
// flattened manifest multi-release, and the resolution of Class-Path entries
// to file paths.
#include <cstddef>
#include <cstdint>
#include <string>

#include "tool/manifest.h"

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
    return 0;
}
