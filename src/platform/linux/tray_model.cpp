#include "platform/linux/tray_model.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "platform/tray.h"

namespace hux::platform::tray {

namespace {

uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}
uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// One bitmap image of an icon: a BITMAPINFOHEADER, the colour rows (bottom
// up, height doubled to count the mask) and the 1-bit AND mask.
bool decodeBitmap(const uint8_t* p, size_t size, Pixmap& out) {
    if (size < 40 || le32(p) < 40) return false;
    const uint32_t header = le32(p);
    const int32_t width = static_cast<int32_t>(le32(p + 4));
    const int32_t height = static_cast<int32_t>(le32(p + 8)) / 2;
    const uint16_t bits = le16(p + 14);
    const uint32_t compression = le32(p + 16);
    if (width <= 0 || height <= 0 || width > 512 || height > 512 || compression != 0) return false;
    if (bits != 32 && bits != 24) return false;
    const size_t colourStride = ((static_cast<size_t>(width) * bits + 31) / 32) * 4;
    const size_t maskStride = ((static_cast<size_t>(width) + 31) / 32) * 4;
    const size_t colourBytes = colourStride * height;
    if (header > size || size - header < colourBytes) return false;
    const uint8_t* colour = p + header;
    const uint8_t* mask = size - header - colourBytes >= maskStride * height ? colour + colourBytes : nullptr;
    if (bits == 24 && !mask) return false;
    out.width = width;
    out.height = height;
    out.argb.assign(static_cast<size_t>(width) * height * 4, 0);
    bool anyAlpha = false;
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* row = colour + colourStride * (height - 1 - y);
        const uint8_t* maskRow = mask ? mask + maskStride * (height - 1 - y) : nullptr;
        for (int32_t x = 0; x < width; ++x) {
            uint8_t* px = &out.argb[(static_cast<size_t>(y) * width + x) * 4];
            const uint8_t* src = row + x * (bits / 8);
            const bool masked = maskRow && (maskRow[x / 8] >> (7 - x % 8) & 1);
            px[0] = bits == 32 ? src[3] : (masked ? 0 : 255);
            px[1] = src[2];
            px[2] = src[1];
            px[3] = src[0];
            anyAlpha = anyAlpha || (bits == 32 && src[3] != 0);
        }
    }
    // A 32-bit image whose alpha is all zero relies on its mask, as old
    // icon editors wrote them.
    if (bits == 32 && !anyAlpha && mask) {
        for (int32_t y = 0; y < height; ++y) {
            const uint8_t* maskRow = mask + maskStride * (height - 1 - y);
            for (int32_t x = 0; x < width; ++x) {
                const bool masked = maskRow[x / 8] >> (7 - x % 8) & 1;
                out.argb[(static_cast<size_t>(y) * width + x) * 4] = masked ? 0 : 255;
            }
        }
    }
    return true;
}

}  // namespace

std::vector<Pixmap> decodeIcon(const uint8_t* bytes, size_t size) {
    std::vector<Pixmap> images;
    if (size < 6 || le16(bytes) != 0 || le16(bytes + 2) != 1) return images;
    const uint16_t count = le16(bytes + 4);
    if (size < 6 + static_cast<size_t>(count) * 16) return images;
    for (uint16_t i = 0; i < count; ++i) {
        const uint8_t* entry = bytes + 6 + i * 16;
        const uint32_t length = le32(entry + 8);
        const uint32_t offset = le32(entry + 12);
        if (offset > size || size - offset < length) continue;
        Pixmap image;
        if (decodeBitmap(bytes + offset, length, image)) images.push_back(std::move(image));
    }
    return images;
}

void addScaledSizes(std::vector<Pixmap>& images, const std::vector<int32_t>& sizes) {
    if (images.empty()) return;
    const Pixmap source = *std::max_element(images.begin(), images.end(),
                                            [](const Pixmap& a, const Pixmap& b) { return a.width < b.width; });
    for (int32_t target : sizes) {
        const int32_t factor = target / source.width;
        if (factor < 2 || target % source.width != 0) continue;
        Pixmap scaled;
        scaled.width = source.width * factor;
        scaled.height = source.height * factor;
        scaled.argb.resize(static_cast<size_t>(scaled.width) * scaled.height * 4);
        for (int32_t y = 0; y < scaled.height; ++y) {
            for (int32_t x = 0; x < scaled.width; ++x) {
                const size_t from = (static_cast<size_t>(y / factor) * source.width + x / factor) * 4;
                std::memcpy(&scaled.argb[(static_cast<size_t>(y) * scaled.width + x) * 4], &source.argb[from], 4);
            }
        }
        images.push_back(std::move(scaled));
    }
}

std::string menuLabel(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '_') {
            out += "__";
        } else if (c == '&' && i + 1 < text.size()) {
            ++i;
            if (text[i] != '&') out += '_';
            out += text[i] == '_' ? std::string("__") : std::string(1, text[i]);
        } else {
            out += c;
        }
    }
    return out;
}

// ---- menus ----

int64_t MenuStore::create() {
    if (next_ > INT32_MAX) return 0;
    const int64_t handle = next_++;
    menus_[handle];
    return handle;
}

bool MenuStore::destroy(int64_t menu) {
    if (menus_.erase(menu) != 1) return false;
    changedAt_.erase(menu);
    if (menu == popup_) popup_ = 0;
    ++revision_;
    return true;
}

bool MenuStore::append(int64_t menu, const Item& item) {
    auto it = menus_.find(menu);
    if (it == menus_.end()) return false;
    it->second.push_back(item);
    changedAt_[menu] = ++changes_;
    ++revision_;
    return true;
}

int MenuStore::count(int64_t menu) const {
    auto it = menus_.find(menu);
    return it == menus_.end() ? -1 : static_cast<int>(it->second.size());
}

void MenuStore::setPopup(int64_t menu) {
    if (menu == popup_) return;
    const int64_t before = shown();
    popup_ = menu;
    if (shown() != before) ++revision_;
}

int64_t MenuStore::shown() const {
    if (popup_) return popup_;
    int64_t best = 0;
    uint64_t bestAt = 0;
    for (const auto& [menu, at] : changedAt_) {
        if (at <= bestAt) continue;
        bool held = false;
        for (const auto& [other, items] : menus_) {
            for (const Item& item : items) held = held || ((item.mask & kMenuMaskSubmenu) && item.submenu == menu);
        }
        if (!held) best = menu, bestAt = at;
    }
    return best;
}

int32_t MenuStore::idOf(const Key& key) {
    auto it = ids_.find(key);
    if (it != ids_.end()) return it->second;
    const int32_t id = nextId_++;
    ids_[key] = id;
    keys_[id] = key;
    return id;
}

const MenuStore::Item* MenuStore::itemOf(int32_t id) const {
    auto k = keys_.find(id);
    if (k == keys_.end()) return nullptr;
    auto m = menus_.find(k->second.first);
    if (m == menus_.end() || k->second.second >= static_cast<int32_t>(m->second.size())) return nullptr;
    return &m->second[k->second.second];
}

void MenuStore::fill(LayoutNode& node, int64_t menu, int32_t depth, std::vector<int64_t>& path) {
    auto m = menus_.find(menu);
    if (depth == 0 || m == menus_.end()) return;
    // A menu that holds itself, directly or further down, ends the branch.
    if (std::find(path.begin(), path.end(), menu) != path.end()) return;
    path.push_back(menu);
    for (int32_t i = 0; i < static_cast<int32_t>(m->second.size()); ++i) {
        const Item& item = m->second[i];
        LayoutNode child;
        child.id = idOf(Key{menu, i});
        if (item.mask & kMenuMaskSubmenu) {
            child.kind = LayoutNode::Kind::Submenu;
            child.label = menuLabel(item.text);
            fill(child, item.submenu, depth < 0 ? depth : depth - 1, path);
        } else if ((item.mask & kMenuMaskType) && (item.type & kMenuSeparator)) {
            child.kind = LayoutNode::Kind::Separator;
        } else {
            child.kind = LayoutNode::Kind::Item;
            child.label = menuLabel(item.text);
        }
        node.children.push_back(std::move(child));
    }
    path.pop_back();
}

std::optional<LayoutNode> MenuStore::layout(int32_t parent, int32_t depth) {
    LayoutNode node;
    std::vector<int64_t> path;
    if (parent == 0) {
        fill(node, shown(), depth, path);
        return node;
    }
    const Item* item = itemOf(parent);
    if (!item) return std::nullopt;
    node.id = parent;
    const Key key = keys_.at(parent);
    path.push_back(key.first);
    if (item->mask & kMenuMaskSubmenu) {
        node.kind = LayoutNode::Kind::Submenu;
        node.label = menuLabel(item->text);
        fill(node, item->submenu, depth, path);
    } else if ((item->mask & kMenuMaskType) && (item->type & kMenuSeparator)) {
        node.kind = LayoutNode::Kind::Separator;
    } else {
        node.kind = LayoutNode::Kind::Item;
        node.label = menuLabel(item->text);
    }
    return node;
}

std::optional<uint32_t> MenuStore::commandOf(int32_t id) const {
    const Item* item = itemOf(id);
    if (!item || (item->mask & kMenuMaskSubmenu) || !(item->mask & kMenuMaskId)) return std::nullopt;
    return item->id;
}

}  // namespace hux::platform::tray
