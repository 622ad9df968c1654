// Feeds arbitrary bytes to the packer's readers of user files and of
// executables: icon files (.ico / .png), manifests, icon groups, version
// blocks, and the PE headers and resource tree of an image (which is then
// rewritten with a new resource section, as packing does).
#include <cstdint>
#include <string>
#include <vector>

#include "tool/windows/pe_image.h"
#include "tool/windows/pe_resources.h"
#include "tool/windows/win_resources.h"

using namespace hux::tool;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> bytes(data, data + size);
    std::string error;

    std::vector<IconImage> images;
    if (parseIconFile(bytes, images, error)) {
        // What the parser accepts must make a group that reads back the same.
        std::vector<IconGroupEntry> entries;
        if (!parseIconGroup(iconGroup(images, 7), entries) || entries.size() != images.size()) __builtin_trap();
        for (size_t i = 0; i < images.size(); ++i)
            if (entries[i].width != images[i].width || entries[i].iconId != 7 + i ||
                entries[i].bytes != images[i].data.size())
                __builtin_trap();
    }
    checkManifest(bytes, error);
    std::vector<IconGroupEntry> entries;
    parseIconGroup(bytes, entries);
    VersionInfo info;
    parseVersionResource(bytes, info);
    VersionInfo line;
    applyVersionInfoLine(line, std::string(bytes.begin(), bytes.end()), error);

    PeImage pe;
    ResourceTree tree;
    if (pe.parse(bytes, error) && tree.read(pe, bytes, error)) {
        std::vector<uint8_t> image = bytes;
        if (pe.imageEnd() < image.size()) image.resize(pe.imageEnd());
        const uint32_t rva = pe.resourceSectionAddress();
        const std::vector<uint8_t> section = tree.build(rva);
        if (image.size() < (64u << 20) && pe.placeResources(image, rva, section, error)) {
            // The rewritten image must hold the same tree.
            ResourceTree again;
            if (!again.read(pe, image, error)) __builtin_trap();
            if (again.build(rva) != section) __builtin_trap();
        }
    }
    return 0;
}
