// What the Linux tray shows, independent of the bus: icon images as the
// status-item pixmaps want them, and the pop-up menus with the stable item
// ids their exported layout uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace hux::platform::tray {

// One image: width, height and ARGB32 pixels in network byte order (A, R, G,
// B per pixel, rows top to bottom).
struct Pixmap {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> argb;
};

// The images of an .ico file that are 32-bit (with alpha) or 24-bit (with
// the AND mask for transparency) bitmaps; PNG and palette images are passed
// over. Empty for a damaged file.
std::vector<Pixmap> decodeIcon(const uint8_t* bytes, size_t size);

// Adds copies of the largest image scaled by a whole factor (nearest pixel)
// to each size of `sizes` that is such a multiple of it, so panels of larger
// icons get crisp edges instead of a blur.
void addScaledSizes(std::vector<Pixmap>& images, const std::vector<int32_t>& sizes);

// A menu text with Windows mnemonics ("&File", "&&" for "&") in the form the
// exported menus use ("_File", "&", and "__" for a literal "_").
std::string menuLabel(std::string_view text);

// One node of an exported menu layout.
struct LayoutNode {
    enum class Kind { Root, Item, Separator, Submenu };
    int32_t id = 0;
    Kind kind = Kind::Root;
    std::string label;
    std::vector<LayoutNode> children;
};

// The pop-up menus of the process (handles are small non-zero numbers), the
// menu the application last popped up, and a revision that changes whenever
// what the exported root shows may have changed. Not locked: the caller holds
// a lock.
class MenuStore {
public:
    struct Item {
        uint32_t mask;
        uint32_t type;
        uint32_t id;
        int64_t submenu;
        std::string text;
    };

    int64_t create();
    bool destroy(int64_t menu);
    bool append(int64_t menu, const Item& item);
    int count(int64_t menu) const;

    // The menu the application popped up last (0: none yet).
    void setPopup(int64_t menu);
    int64_t popup() const { return popup_; }
    // The menu the exported layout's root shows: the popped-up one; before
    // the first Popup, the top-level menu (one no other menu holds) changed
    // last, since a desktop opens only a menu with items and the application
    // picks its menu only once the user opens it. 0: none, an empty root.
    int64_t shown() const;
    uint32_t revision() const { return revision_; }

    // The layout below item `parent` (0: the root), `depth` levels deep (-1:
    // all); nullopt when `parent` names no item. Ids are stable for one
    // (menu, position) pair for the life of the process.
    std::optional<LayoutNode> layout(int32_t parent, int32_t depth);
    // The command id behind exported item `id`, when it is a command item of
    // a menu that still exists.
    std::optional<uint32_t> commandOf(int32_t id) const;

private:
    using Key = std::pair<int64_t, int32_t>;  // menu, position
    int32_t idOf(const Key& key);
    void fill(LayoutNode& node, int64_t menu, int32_t depth, std::vector<int64_t>& path);
    const Item* itemOf(int32_t id) const;

    std::map<int64_t, std::vector<Item>> menus_;
    int64_t next_ = 1;
    int64_t popup_ = 0;
    uint32_t revision_ = 1;
    std::map<int64_t, uint64_t> changedAt_;  // menu -> when it last changed
    uint64_t changes_ = 0;
    std::map<Key, int32_t> ids_;
    std::map<int32_t, Key> keys_;
    int32_t nextId_ = 1;
};

}  // namespace hux::platform::tray
