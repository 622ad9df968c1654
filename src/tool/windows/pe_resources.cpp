#include "tool/windows/pe_resources.h"

#include "common/utf.h"

namespace hux::tool {

namespace {

constexpr uint32_t kHighBit = 0x80000000u;

struct Reader {
    const std::vector<uint8_t>& bytes;
    const PeImage& image;
    size_t base;   // file offset of the resource directory
    size_t limit;  // end of the section that holds it
    std::string& error;

    bool fail(const std::string& what) {
        error = "damaged resource tree (" + what + ")";
        return false;
    }
    bool within(uint32_t offset, size_t length) const {
        return offset <= limit - base && limit - base - offset >= length;
    }

    bool keyAt(uint32_t raw, ResourceKey& key) {
        if (!(raw & kHighBit)) {
            if (raw > 0xFFFF) return fail("entry id");
            key = ResourceKey(static_cast<uint16_t>(raw));
            return true;
        }
        const uint32_t at = raw & ~kHighBit;
        if (!within(at, 2)) return fail("name outside the section");
        const uint16_t length = readLe16(bytes.data() + base + at);
        if (length == 0 || !within(at + 2, 2u * length)) return fail("name outside the section");
        std::u16string name;
        for (uint16_t i = 0; i < length; ++i)
            name.push_back(static_cast<char16_t>(readLe16(bytes.data() + base + at + 2 + 2 * i)));
        key = ResourceKey(name);
        return true;
    }

    // Calls `visit(key, offsetToData)` for each entry of the directory at `at`.
    template <typename Visit>
    bool directory(uint32_t at, Visit visit) {
        if (!within(at, 16)) return fail("directory outside the section");
        const uint8_t* d = bytes.data() + base + at;
        const uint32_t count = static_cast<uint32_t>(readLe16(d + 12)) + readLe16(d + 14);
        if (!within(at + 16, 8u * count)) return fail("directory entries outside the section");
        for (uint32_t i = 0; i < count; ++i) {
            const uint8_t* e = d + 16 + 8 * i;
            ResourceKey key;
            if (!keyAt(readLe32(e), key)) return false;
            if (!visit(key, readLe32(e + 4))) return false;
        }
        return true;
    }
};

void putLe16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void putLe32At(std::vector<uint8_t>& out, size_t at, uint32_t v) { writeLe32(out.data() + at, v); }

bool isNamed(const ResourceKey& key) { return key.isName(); }
bool isNamed(uint16_t) { return false; }

// Appends each resource's data, 8-byte aligned, and fills in its data entry
// (at the offset paired with it) for a section at `rva`.
void appendData(std::vector<uint8_t>& out, uint32_t rva,
                const std::vector<std::pair<size_t, const ResourceData*>>& dataFixups) {
    for (const auto& [at, data] : dataFixups) {
        out.resize((out.size() + 7) / 8 * 8, 0);
        putLe32At(out, at, rva + static_cast<uint32_t>(out.size()));
        putLe32At(out, at + 4, static_cast<uint32_t>(data->bytes.size()));
        putLe32At(out, at + 8, data->codePage);
        out.insert(out.end(), data->bytes.begin(), data->bytes.end());
    }
    out.resize((out.size() + 7) / 8 * 8, 0);
}

}  // namespace

bool ResourceKey::operator<(const ResourceKey& other) const {
    // Named entries precede numbered ones, as the loader's search expects.
    if (isName() != other.isName()) return isName();
    if (isName()) return name < other.name;
    return id < other.id;
}

bool ResourceTree::read(const PeImage& image, const std::vector<uint8_t>& bytes, std::string& error) {
    types_.clear();
    uint32_t rva = 0, size = 0;
    image.dataDirectory(kDirResources, rva, size);
    if (rva == 0 || size == 0) return true;
    const int64_t base = image.fileOffsetOf(rva, 16);
    if (base < 0) {
        error = "damaged resource tree (directory outside the sections)";
        return false;
    }
    size_t limit = 0;
    for (const PeSection& s : image.sections())
        if (static_cast<int64_t>(s.rawOffset) <= base && base < static_cast<int64_t>(s.rawOffset) + s.rawSize)
            limit = static_cast<size_t>(s.rawOffset) + s.rawSize;
    Reader r{bytes, image, static_cast<size_t>(base), limit, error};
    return r.directory(0, [&](const ResourceKey& type, uint32_t typeData) {
        if (!(typeData & kHighBit)) return r.fail("type without a directory");
        return r.directory(typeData & ~kHighBit, [&](const ResourceKey& name, uint32_t nameData) {
            if (!(nameData & kHighBit)) return r.fail("name without a directory");
            return r.directory(nameData & ~kHighBit, [&](const ResourceKey& lang, uint32_t entry) {
                if ((entry & kHighBit) || lang.isName()) return r.fail("language entry");
                if (!r.within(entry, 16)) return r.fail("data entry outside the section");
                const uint8_t* e = bytes.data() + r.base + entry;
                const uint32_t dataRva = readLe32(e);
                const uint32_t dataSize = readLe32(e + 4);
                const int64_t at = image.fileOffsetOf(dataRva, dataSize);
                if (at < 0) return r.fail("data outside the sections");
                ResourceData& data = types_[type][name][lang.id];
                data.bytes.assign(bytes.begin() + at, bytes.begin() + at + dataSize);
                data.codePage = readLe32(e + 8);
                return true;
            });
        });
    });
}

std::vector<uint8_t> ResourceTree::build(uint32_t rva) const {
    // Layout: every directory (root, names, languages), the data entries, the
    // name strings, then the data, each item 8-byte aligned.
    size_t dirBytes = 16 + 8 * types_.size();
    size_t leaves = 0;
    for (const auto& [type, names] : types_) {
        dirBytes += 16 + 8 * names.size();
        for (const auto& [name, langs] : names) {
            dirBytes += 16 + 8 * langs.size();
            leaves += langs.size();
        }
    }
    const size_t entriesAt = dirBytes;
    size_t stringsAt = entriesAt + 16 * leaves;
    std::vector<uint8_t> out(stringsAt, 0);

    std::map<std::u16string, uint32_t> strings;
    auto keyField = [&](const ResourceKey& key) -> uint32_t {
        if (!key.isName()) return key.id;
        auto found = strings.find(key.name);
        if (found != strings.end()) return found->second | kHighBit;
        const auto at = static_cast<uint32_t>(out.size());
        putLe16(out, static_cast<uint16_t>(key.name.size()));
        for (char16_t c : key.name) putLe16(out, static_cast<uint16_t>(c));
        strings[key.name] = at;
        return at | kHighBit;
    };
    auto directoryHeader = [&](size_t at, const auto& children) {
        uint16_t named = 0;
        for (const auto& child : children)
            if (isNamed(child.first)) ++named;
        writeLe16(out.data() + at + 12, named);
        writeLe16(out.data() + at + 14, static_cast<uint16_t>(children.size() - named));
    };

    // Directories, breadth first.
    size_t next = 16 + 8 * types_.size();
    size_t entry = entriesAt;
    std::vector<std::pair<size_t, const ResourceData*>> dataFixups;
    directoryHeader(0, types_);
    size_t t = 0;
    std::vector<std::pair<size_t, const Names*>> nameDirs;
    for (const auto& [type, names] : types_) {
        putLe32At(out, 16 + 8 * t, keyField(type));
        putLe32At(out, 16 + 8 * t + 4, static_cast<uint32_t>(next) | kHighBit);
        nameDirs.emplace_back(next, &names);
        next += 16 + 8 * names.size();
        ++t;
    }
    std::vector<std::pair<size_t, const Languages*>> langDirs;
    for (const auto& [at, names] : nameDirs) {
        directoryHeader(at, *names);
        size_t n = 0;
        for (const auto& [name, langs] : *names) {
            putLe32At(out, at + 16 + 8 * n, keyField(name));
            putLe32At(out, at + 16 + 8 * n + 4, static_cast<uint32_t>(next) | kHighBit);
            langDirs.emplace_back(next, &langs);
            next += 16 + 8 * langs.size();
            ++n;
        }
    }
    for (const auto& [at, langs] : langDirs) {
        directoryHeader(at, *langs);
        size_t n = 0;
        for (const auto& [lang, data] : *langs) {
            putLe32At(out, at + 16 + 8 * n, lang);
            putLe32At(out, at + 16 + 8 * n + 4, static_cast<uint32_t>(entry));
            dataFixups.emplace_back(entry, &data);
            entry += 16;
            ++n;
        }
    }
    appendData(out, rva, dataFixups);
    return out;
}

const ResourceTree::Languages* ResourceTree::find(const ResourceKey& type, const ResourceKey& name) const {
    auto t = types_.find(type);
    if (t == types_.end()) return nullptr;
    auto n = t->second.find(name);
    return n == t->second.end() ? nullptr : &n->second;
}

const ResourceTree::Names* ResourceTree::names(const ResourceKey& type) const {
    auto t = types_.find(type);
    return t == types_.end() ? nullptr : &t->second;
}

void ResourceTree::put(const ResourceKey& type, const ResourceKey& name, uint16_t language,
                       std::vector<uint8_t> bytes) {
    Languages& langs = types_[type][name];
    langs.clear();
    langs[language].bytes = std::move(bytes);
}

void ResourceTree::remove(const ResourceKey& type, const ResourceKey& name) {
    auto t = types_.find(type);
    if (t == types_.end()) return;
    t->second.erase(name);
    if (t->second.empty()) types_.erase(t);
}

uint16_t ResourceTree::languageOf(const ResourceKey& type, const ResourceKey& name, uint16_t fallback) const {
    const Languages* langs = find(type, name);
    return langs && !langs->empty() ? langs->begin()->first : fallback;
}

}  // namespace hux::tool
