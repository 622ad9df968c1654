#include "tool/windows/windows_image.h"

#include <algorithm>
#include <string>

#include "common/utf.h"
#include "tool/packer.h"
#include "tool/windows/pe_image.h"
#include "tool/windows/pe_resources.h"

namespace hux::tool {

bool asksForWindowsLook(const WindowsLook& look) {
    return !look.iconPath.empty() || !look.manifestPath.empty() || !look.version.empty() || look.gui;
}

namespace {

// Replaces icon group 1 and the icon images only it used; false when the
// images do not fit the 16-bit resource ids left.
bool replaceMainIcon(ResourceTree& tree, const std::vector<IconImage>& images) {
    const uint16_t language = tree.languageOf(kRtGroupIcon, 1, kLangEnglishUs);
    std::vector<uint16_t> stillUsed;
    if (const ResourceTree::Names* groups = tree.names(kRtGroupIcon)) {
        for (const auto& [name, langs] : *groups) {
            if (name == ResourceKey(1)) continue;
            for (const auto& [lang, data] : langs) {
                std::vector<IconGroupEntry> entries;
                if (parseIconGroup(data.bytes, entries))
                    for (const IconGroupEntry& e : entries) stillUsed.push_back(e.iconId);
            }
        }
    }
    if (const ResourceTree::Languages* old = tree.find(kRtGroupIcon, 1)) {
        std::vector<uint16_t> dropped;
        for (const auto& [lang, data] : *old) {
            std::vector<IconGroupEntry> entries;
            if (parseIconGroup(data.bytes, entries))
                for (const IconGroupEntry& e : entries) dropped.push_back(e.iconId);
        }
        for (uint16_t id : dropped)
            if (std::find(stillUsed.begin(), stillUsed.end(), id) == stillUsed.end()) tree.remove(kRtIcon, id);
    }
    // New images take the ids after the highest one left.
    uint16_t firstId = 1;
    if (const ResourceTree::Names* icons = tree.names(kRtIcon))
        for (const auto& [name, langs] : *icons)
            if (!name.isName() && name.id >= firstId) firstId = static_cast<uint16_t>(name.id + 1);
    if (firstId == 0 || images.size() > size_t{0xFFFF} - firstId + 1) return false;
    for (size_t i = 0; i < images.size(); ++i)
        tree.put(kRtIcon, static_cast<uint16_t>(firstId + i), language, images[i].data);
    tree.put(kRtGroupIcon, 1, language, iconGroup(images, firstId));
    return true;
}

}  // namespace

bool applyWindowsLook(std::vector<uint8_t>& image, const WindowsLook& look, std::string& error, bool* imageAtFault) {
    bool ignored = false;
    bool& imageFault = imageAtFault ? *imageAtFault : ignored;
    imageFault = true;
    PeImage pe;
    if (!pe.parse(image, error)) return false;
    ResourceTree tree;
    if (!tree.read(pe, image, error)) return false;
    imageFault = false;

    if (!look.iconPath.empty()) {
        std::vector<uint8_t> bytes;
        std::vector<IconImage> images;
        if (!readFile(look.iconPath, bytes)) {
            error = "cannot read the icon '" + look.iconPath + "'";
            return false;
        }
        if (!parseIconFile(bytes, images, error)) {
            error = look.iconPath + ": " + error;
            return false;
        }
        if (!replaceMainIcon(tree, images)) {
            error = look.iconPath + ": " + std::to_string(images.size()) + " images are more than an icon can hold";
            return false;
        }
    }

    std::vector<uint8_t> manifest(defaultManifest().begin(), defaultManifest().end());
    if (!look.manifestPath.empty()) {
        if (!readFile(look.manifestPath, manifest)) {
            error = "cannot read the manifest '" + look.manifestPath + "'";
            return false;
        }
        if (!checkManifest(manifest, error)) {
            error = look.manifestPath + ": " + error;
            return false;
        }
    }
    const uint16_t manifestLanguage = tree.languageOf(kRtManifest, 1, kLangEnglishUs);
    tree.put(kRtManifest, 1, manifestLanguage, manifest);

    if (!look.version.empty()) {
        VersionInfo info = look.version;
        completeVersionInfo(info, look.fileName);
        const std::vector<uint8_t> block = versionResource(info);
        // Every length in the block is 16 bits wide: a longer one cannot be read.
        if (block.size() > kMaxVersionResourceBytes) {
            error = "the version information takes " + std::to_string(block.size()) + " bytes, more than the " +
                    std::to_string(kMaxVersionResourceBytes) + " a version resource can hold";
            return false;
        }
        // A language asked for is the resource's too; else it keeps the stub's.
        tree.put(kRtVersion, 1, info.languageSet ? info.language : tree.languageOf(kRtVersion, 1, kLangEnglishUs),
                 block);
    }

    if (pe.imageEnd() < image.size()) image.resize(pe.imageEnd());
    const uint32_t rva = pe.resourceSectionAddress();
    if (!pe.placeResources(image, rva, tree.build(rva), error)) {
        imageFault = true;
        return false;
    }
    pe.setSubsystem(image, look.gui ? kSubsystemGui : kSubsystemConsole);
    return true;
}

void updatePeChecksum(std::vector<uint8_t>& file) {
    const size_t at = checksumFieldOffset(file);
    writeLe32(file.data() + at, peChecksum(file, at));
}

}  // namespace hux::tool
