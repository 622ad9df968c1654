#include "tool/windows/windows_listing.h"

#include <cstdio>
#include <string>

#include "tool/payload/payload_listing.h"
#include "tool/windows/pe_image.h"
#include "tool/windows/pe_resources.h"
#include "tool/windows/win_resources.h"

namespace hux::tool {

bool describeWindowsImage(const std::vector<uint8_t>& file, std::ostream& out, std::string& error) {
    PeImage pe;
    ResourceTree tree;
    if (!pe.parse(file, error) || !tree.read(pe, file, error)) return false;
    const uint16_t subsystem = pe.subsystem();
    out << "subsystem: "
        << (subsystem == kSubsystemGui       ? "gui"
            : subsystem == kSubsystemConsole ? "console"
                                             : "other")
        << " (" << subsystem << ")\n";
    // The section table in file order: one ".rsrc", last, is what resource
    // editors expect.
    out << "sections:";
    for (const PeSection& s : pe.sections()) out << " " << printable(s.name);
    out << "\n";

    out << "icon:";
    const ResourceTree::Languages* group = tree.find(kRtGroupIcon, 1);
    std::vector<IconGroupEntry> entries;
    if (!group || group->empty()) {
        out << " none";
    } else if (!parseIconGroup(group->begin()->second.bytes, entries)) {
        out << " damaged";
    } else {
        for (const IconGroupEntry& e : entries)
            out << " " << e.width << "x" << e.height << (e.bitCount ? "x" + std::to_string(e.bitCount) : "");
    }
    out << "\n";

    const ResourceTree::Languages* version = tree.find(kRtVersion, 1);
    VersionInfo info;
    if (!version || version->empty()) {
        out << "version: none\n";
    } else if (!parseVersionResource(version->begin()->second.bytes, info)) {
        out << "version: damaged\n";
    } else {
        auto dotted = [](const uint16_t* v) {
            return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." +
                   std::to_string(v[3]);
        };
        char language[8];
        std::snprintf(language, sizeof language, "%04X", info.language);
        out << "version: " << dotted(info.version) << " (product " << dotted(info.productVersion) << ", language "
            << language << ")\n";
        for (const auto& [key, value] : info.strings) out << "  " << printable(key) << ": " << printable(value) << "\n";
    }

    const ResourceTree::Languages* manifest = tree.find(kRtManifest, 1);
    if (!manifest || manifest->empty()) {
        out << "manifest: none\n";
    } else {
        const std::vector<uint8_t>& bytes = manifest->begin()->second.bytes;
        out << "manifest: " << bytes.size() << " bytes\n";
        const std::string text(bytes.begin(), bytes.end());
        size_t i = 0;
        while (i < text.size()) {
            size_t j = text.find('\n', i);
            if (j == std::string::npos) j = text.size();
            std::string line = text.substr(i, j - i);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.find_first_not_of(" \t") != std::string::npos) out << "  " << printable(line) << "\n";
            i = j + 1;
        }
    }
    return true;
}

}  // namespace hux::tool
