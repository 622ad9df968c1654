// What the Linux tray exports, without a bus: icon images decoded from .ico
// bitmaps, menu labels, and the menu layout with its stable item ids.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/linux/tray_model.h"
#include "platform/tray.h"

using namespace hux::platform;
using namespace hux::platform::tray;

namespace {

void put32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
    for (int i = 0; i < 4; ++i) v[at + i] = static_cast<uint8_t>(x >> (8 * i));
}

// A one-image .ico of `bits` (24 or 32) with width 2 and height 2: the pixel
// at the top left is red, the others blue; the mask hides the top right.
std::vector<uint8_t> twoByTwo(int bits, bool alpha) {
    const size_t stride = bits == 32 ? 8 : 8;  // 2 * 3 = 6 bytes padded to 8
    const size_t image = 40 + stride * 2 + 4 * 2;
    std::vector<uint8_t> v(6 + 16 + image, 0);
    v[2] = 1, v[4] = 1;
    put32(v, 6 + 8, static_cast<uint32_t>(image));
    put32(v, 6 + 12, 22);
    uint8_t* h = &v[22];
    std::vector<uint8_t> header(40, 0);
    put32(header, 0, 40), put32(header, 4, 2), put32(header, 8, 4);
    header[12] = 1, header[14] = static_cast<uint8_t>(bits);
    std::memcpy(h, header.data(), 40);
    uint8_t* rows = h + 40;  // bottom row first
    const int px = bits / 8;
    for (int y = 0; y < 2; ++y) {
        for (int x = 0; x < 2; ++x) {
            uint8_t* p = rows + stride * (1 - y) + x * px;
            const bool red = x == 0 && y == 0;
            p[0] = red ? 0 : 255, p[1] = 0, p[2] = red ? 255 : 0;
            if (px == 4) p[3] = alpha ? 200 : 0;
        }
    }
    uint8_t* mask = rows + stride * 2;
    mask[4] = 0x40;  // top row (stored second): x = 1 hidden
    return v;
}

}  // namespace

TEST(TrayModel, DecodesIconBitmapsAsArgbTopDown) {
    struct Case {
        int bits;
        bool alpha;
        uint8_t topLeftAlpha, topRightAlpha;
    } cases[] = {
        {32, true, 200, 200},  // the alpha channel counts
        {32, false, 255, 0},   // all-zero alpha: the mask decides
        {24, false, 255, 0},   // no alpha: the mask decides
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bits);
        const std::vector<uint8_t> ico = twoByTwo(c.bits, c.alpha);
        const std::vector<Pixmap> images = decodeIcon(ico.data(), ico.size());
        ASSERT_EQ(images.size(), 1u);
        const Pixmap& p = images[0];
        EXPECT_EQ(p.width, 2);
        EXPECT_EQ(p.height, 2);
        ASSERT_EQ(p.argb.size(), 16u);
        EXPECT_EQ(p.argb[0], c.topLeftAlpha);
        EXPECT_EQ(p.argb[1], 255);  // red, network order A R G B
        EXPECT_EQ(p.argb[3], 0);
        EXPECT_EQ(p.argb[4], c.topRightAlpha);
        EXPECT_EQ(p.argb[7], 255);  // blue
    }
    const std::vector<uint8_t> ico = twoByTwo(32, true);
    for (size_t cut : {size_t{0}, size_t{5}, size_t{30}, ico.size() - 1}) {
        EXPECT_TRUE(decodeIcon(ico.data(), cut).empty()) << cut;
    }
}

TEST(TrayModel, ScaledCopiesRepeatEachPixel) {
    const std::vector<uint8_t> ico = twoByTwo(32, true);
    std::vector<Pixmap> images = decodeIcon(ico.data(), ico.size());
    addScaledSizes(images, {4, 5, 6});
    ASSERT_EQ(images.size(), 3u);  // 5 is no whole multiple of 2
    EXPECT_EQ(images[1].width, 4);
    EXPECT_EQ(images[2].width, 6);
    const Pixmap& big = images[2];
    for (int y = 0; y < 6; ++y) {
        for (int x = 0; x < 6; ++x) {
            EXPECT_EQ(std::memcmp(&big.argb[(y * 6 + x) * 4], &images[0].argb[((y / 3) * 2 + x / 3) * 4], 4), 0);
        }
    }
}

TEST(TrayModel, MenuLabelsTakeTheBusMnemonicForm) {
    const std::pair<const char*, const char*> cases[] = {
        {"&Open", "_Open"},
        {"Save &As", "Save _As"},
        {"A && B", "A & B"},
        {"snake_case", "snake__case"},
        {"&_x", "___x"},
        {"end&", "end&"},
        {"", ""},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(menuLabel(in), out) << in;
}

namespace {
std::string render(const LayoutNode& n) {
    std::string s;
    switch (n.kind) {
        case LayoutNode::Kind::Separator: s = "-"; break;
        default: s = n.label;
    }
    if (!n.children.empty()) {
        s += "[";
        for (size_t i = 0; i < n.children.size(); ++i) s += (i ? ";" : "") + render(n.children[i]);
        s += "]";
    }
    return s;
}
}  // namespace

TEST(TrayModel, LayoutIdsAndCommands) {
    MenuStore m;
    const int64_t root = m.create(), sub = m.create();
    ASSERT_TRUE(m.append(sub, {kMenuMaskId | kMenuMaskType, 0, 50007, 0, "Inner"}));
    ASSERT_TRUE(m.append(root, {kMenuMaskId | kMenuMaskType, 0, 50005, 0, "&Open"}));
    ASSERT_TRUE(m.append(root, {kMenuMaskType, kMenuSeparator, 0, 0, ""}));
    ASSERT_TRUE(m.append(root, {kMenuMaskSubmenu | kMenuMaskType, 0, 0, sub, "More"}));
    ASSERT_TRUE(m.append(sub, {kMenuMaskSubmenu | kMenuMaskType, 0, 0, root, "Loop"}));  // a cycle

    EXPECT_EQ(render(*m.layout(0, -1)), "");  // each menu holds the other: none is top-level
    const uint32_t before = m.revision();
    m.setPopup(root);
    EXPECT_NE(m.revision(), before);
    const LayoutNode all = *m.layout(0, -1);
    EXPECT_EQ(render(all), "[_Open;-;More[Inner;Loop]]");  // the cycle ends where it began
    EXPECT_EQ(render(*m.layout(0, 1)), "[_Open;-;More]");

    const int32_t open = all.children[0].id, more = all.children[2].id, inner = all.children[2].children[0].id;
    EXPECT_EQ(m.commandOf(open), 50005u);
    EXPECT_EQ(m.commandOf(inner), 50007u);
    EXPECT_FALSE(m.commandOf(more));                // a submenu is no command
    EXPECT_FALSE(m.commandOf(all.children[1].id));  // nor a separator
    EXPECT_FALSE(m.commandOf(9999));
    EXPECT_EQ(render(*m.layout(more, -1)), "More[Inner;Loop]");
    EXPECT_FALSE(m.layout(9999, -1));

    // Ids stay with their place when the layout is built again or grows.
    ASSERT_TRUE(m.append(root, {kMenuMaskId | kMenuMaskType, 0, 50009, 0, "Later"}));
    const LayoutNode grown = *m.layout(0, -1);
    EXPECT_EQ(grown.children[0].id, open);
    EXPECT_EQ(grown.children[2].children[0].id, inner);

    // A destroyed submenu leaves an empty entry; its items are no commands.
    ASSERT_TRUE(m.destroy(sub));
    EXPECT_EQ(render(*m.layout(0, -1)), "[_Open;-;More;Later]");
    EXPECT_FALSE(m.commandOf(inner));
    ASSERT_TRUE(m.destroy(root));
    EXPECT_EQ(m.popup(), 0);
    EXPECT_EQ(m.count(root), -1);
}

// Before the first Popup the root shows the top-level menu changed last;
// afterwards the popped-up one, and a Popup of the menu already shown is no
// change to announce.
TEST(TrayModel, RootShowsThePopupElseTheLatestTopLevelMenu) {
    MenuStore m;
    EXPECT_EQ(m.shown(), 0);
    const int64_t a = m.create(), sub = m.create(), b = m.create();
    EXPECT_EQ(m.shown(), 0);  // menus without items
    ASSERT_TRUE(m.append(a, {kMenuMaskSubmenu | kMenuMaskType, 0, 0, sub, "Sub"}));
    ASSERT_TRUE(m.append(sub, {kMenuMaskId | kMenuMaskType, 0, 50001, 0, "Inner"}));
    EXPECT_EQ(m.shown(), a);  // the submenu changed last but is held
    ASSERT_TRUE(m.append(b, {kMenuMaskId | kMenuMaskType, 0, 50002, 0, "B"}));
    EXPECT_EQ(m.shown(), b);
    uint32_t revision = m.revision();
    m.setPopup(b);
    EXPECT_EQ(m.revision(), revision);
    m.setPopup(a);
    EXPECT_EQ(m.shown(), a);
    EXPECT_NE(m.revision(), revision);
    ASSERT_TRUE(m.append(b, {kMenuMaskId | kMenuMaskType, 0, 50003, 0, "B2"}));
    EXPECT_EQ(m.shown(), a);  // a popped-up menu stays
    ASSERT_TRUE(m.destroy(a));
    EXPECT_EQ(m.shown(), b);
    EXPECT_EQ(render(*m.layout(0, -1)), "[B;B2]");
}

extern const unsigned char kHuxTrayIcon[];
extern const size_t kHuxTrayIconSize;

// The shipped default icon (resources/hux.ico, compiled in): its bitmap
// images decode at each size the tray exports, drawn with transparent
// corners; the 256-pixel PNG image is left to Windows.
TEST(TrayModel, ShippedIconDecodesAtEachSize) {
    const std::vector<Pixmap> images = decodeIcon(kHuxTrayIcon, kHuxTrayIconSize);
    ASSERT_EQ(images.size(), 3u);
    const int sizes[] = {16, 32, 48};
    for (size_t i = 0; i < 3; ++i) {
        const Pixmap& p = images[i];
        SCOPED_TRACE(p.width);
        EXPECT_EQ(p.width, sizes[i]);
        EXPECT_EQ(p.height, sizes[i]);
        const auto alpha = [&](int x, int y) { return p.argb[(static_cast<size_t>(y) * p.width + x) * 4]; };
        EXPECT_EQ(alpha(0, 0), 0);
        EXPECT_EQ(alpha(p.width - 1, p.height - 1), 0);
        EXPECT_EQ(alpha(p.width / 2, p.height / 8), 255);  // the square's top edge, inside
    }
}
