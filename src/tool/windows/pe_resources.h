// The resource tree of a Windows executable (type / name / language), read
// from an image and written back as a complete resource section.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tool/windows/pe_image.h"

namespace hux::tool {

// Standard resource types.
constexpr uint16_t kRtIcon = 3;
constexpr uint16_t kRtString = 6;
constexpr uint16_t kRtGroupIcon = 14;
constexpr uint16_t kRtVersion = 16;
constexpr uint16_t kRtManifest = 24;
constexpr uint16_t kLangEnglishUs = 0x0409;

// A type or name: a number, or (when `name` is not empty) a string.
struct ResourceKey {
    uint16_t id = 0;
    std::u16string name;
    ResourceKey() = default;
    ResourceKey(uint16_t number) : id(number) {}  // NOLINT: numbers are keys
    explicit ResourceKey(std::u16string text) : name(std::move(text)) {}
    bool isName() const { return !name.empty(); }
    bool operator<(const ResourceKey& other) const;
    bool operator==(const ResourceKey& other) const { return id == other.id && name == other.name; }
};

struct ResourceData {
    std::vector<uint8_t> bytes;
    uint32_t codePage = 0;
};

class ResourceTree {
public:
    using Languages = std::map<uint16_t, ResourceData>;
    using Names = std::map<ResourceKey, Languages>;

    // Reads the tree of a parsed image (empty when it has none); false with
    // one line in `error` when the tree is damaged.
    bool read(const PeImage& image, const std::vector<uint8_t>& bytes, std::string& error);
    // The section content for the tree, with data addresses for `rva`.
    std::vector<uint8_t> build(uint32_t rva) const;

    // Every language of (type, name), or null.
    const Languages* find(const ResourceKey& type, const ResourceKey& name) const;
    const Names* names(const ResourceKey& type) const;
    // Replaces every language of (type, name) by one entry.
    void put(const ResourceKey& type, const ResourceKey& name, uint16_t language, std::vector<uint8_t> bytes);
    void remove(const ResourceKey& type, const ResourceKey& name);
    // The language an existing (type, name) uses, else `fallback`.
    uint16_t languageOf(const ResourceKey& type, const ResourceKey& name, uint16_t fallback) const;
    bool empty() const { return types_.empty(); }

private:
    std::map<ResourceKey, Names> types_;
};

}  // namespace hux::tool
