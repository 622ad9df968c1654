// Notification-area core: icon records, the icon table, menus and the routing
// of window notifications, without a virtual machine.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/tray.h"
#include "services/tray_core.h"
#include "support/fake_tray_peer.h"

namespace hux {
namespace {

using test::FakeTrayPeer;
using Field = TrayPeer::Field;

const TrayIconRecord& recordOf(TrayIconTable& table, FakeTrayPeer& peer) {
    const TrayIconRecord* r = table.recordOf(peer);
    EXPECT_NE(r, nullptr);
    static TrayIconRecord empty{};
    return r ? *r : empty;
}

TEST(TrayIcons, RecordFillingTruncatesTextsAndChoosesTheSize) {
    TrayIconTable table;
    const std::string tip(70, 't'), info(300, 'i'), title(70, 'h');
    int window = 0;

    FakeTrayPeer both;
    table.init(both, 0x10001, tip, info, title, 2, 6, &window);
    const TrayIconRecord& r = recordOf(table, both);
    EXPECT_EQ(r.data.cbSize, 504u);
    EXPECT_EQ(std::string(r.data.szTip), tip.substr(0, 63));
    EXPECT_EQ(std::string(r.data.szInfo), info.substr(0, 255));
    EXPECT_EQ(std::string(r.data.szInfoTitle), title.substr(0, 63));
    EXPECT_EQ(r.data.uFlags, 0x17u);
    EXPECT_EQ(r.data.uCallbackMessage, 1124u);
    EXPECT_EQ(r.data.dwInfoFlags, 2u);
    EXPECT_EQ(r.data.hWnd, &window);
    EXPECT_EQ(r.data.uID, 1u);
    EXPECT_EQ(r.shown, 0);
    EXPECT_EQ(both.h, reinterpret_cast<int64_t>(&r));

    // A title without info, or an old shell, gives the version-1 size; a null
    // tip is empty text and the ids count up once per icon.
    FakeTrayPeer titleOnly, oldShell;
    table.init(titleOnly, 1, std::nullopt, std::nullopt, "title", 0, 6, nullptr);
    table.init(oldShell, 1, "tip", "info", "title", 0, 4, nullptr);
    EXPECT_EQ(recordOf(table, titleOnly).data.cbSize, 104u);
    EXPECT_EQ(recordOf(table, titleOnly).data.szTip[0], '\0');
    EXPECT_EQ(recordOf(table, titleOnly).data.uID, 2u);
    EXPECT_EQ(recordOf(table, oldShell).data.cbSize, 104u);
    EXPECT_EQ(recordOf(table, oldShell).data.uID, 3u);
    EXPECT_EQ(table.count(), 3);
    EXPECT_EQ(table.nextId(), 4);
    table.removeAll();
}

TEST(TrayIcons, HandleFieldRule) {
    TrayIconTable table;
    FakeTrayPeer none(Field::None);
    table.init(none, 1, "tip", std::nullopt, std::nullopt, 0, 6, nullptr);
    table.show(none);
    EXPECT_EQ(table.count(), 0);
    EXPECT_EQ(table.nextId(), 1);
    EXPECT_EQ(none.writes, 0);

    // An int field cannot hold an address: it holds the icon id, through
    // which every later call finds the record.
    FakeTrayPeer first, asInt(Field::Int);
    table.init(first, 1, "a", std::nullopt, std::nullopt, 0, 6, nullptr);
    table.init(asInt, 1, "b", std::nullopt, std::nullopt, 0, 6, nullptr);
    EXPECT_EQ(asInt.h, 2);
    table.show(asInt);
    EXPECT_EQ(recordOf(table, asInt).shown, 1);
    EXPECT_EQ(recordOf(table, first).shown, 0);
    table.finalize(asInt);
    EXPECT_EQ(table.count(), 1);
    EXPECT_EQ(asInt.liveRefs, 0);

    // Handles that name no record do nothing.
    FakeTrayPeer stray;
    stray.h = 12345;
    table.show(stray);
    table.finalize(stray);
    EXPECT_EQ(stray.liveRefs, 0);
    EXPECT_EQ(table.count(), 1);
    table.removeAll();
}

TEST(TrayIcons, ShowChangeHideFinalize) {
    TrayIconTable table;
    FakeTrayPeer peer;
    table.init(peer, 1, "tip", "info", "title", 1, 6, nullptr);

    table.change(peer, 0, "ignored", "ignored", "ignored", 3);  // hidden: no effect
    EXPECT_STREQ(recordOf(table, peer).data.szTip, "tip");
    EXPECT_EQ(recordOf(table, peer).data.dwInfoFlags, 1u);

    table.show(peer);
    table.show(peer);  // already shown: no second reference
    EXPECT_EQ(recordOf(table, peer).shown, 1);
    EXPECT_EQ(peer.liveRefs, 1);

    // The two-argument form: the tip replaced, balloon texts kept, flags -1.
    const std::string longTip(80, 'x');
    table.change(peer, 0, longTip, std::nullopt, std::nullopt, -1);
    EXPECT_EQ(std::string(recordOf(table, peer).data.szTip), longTip.substr(0, 63));
    EXPECT_STREQ(recordOf(table, peer).data.szInfo, "info");
    EXPECT_STREQ(recordOf(table, peer).data.szInfoTitle, "title");
    EXPECT_EQ(recordOf(table, peer).data.dwInfoFlags, 0xFFFFFFFFu);
    EXPECT_EQ(recordOf(table, peer).data.cbSize, 504u);
    table.change(peer, 0, std::nullopt, "new info", std::nullopt, 0);
    EXPECT_STREQ(recordOf(table, peer).data.szTip, "");
    EXPECT_STREQ(recordOf(table, peer).data.szInfo, "new info");

    table.hide(peer);
    EXPECT_EQ(recordOf(table, peer).shown, 0);
    EXPECT_EQ(peer.liveRefs, 0);
    table.show(peer);

    // Finalizing a shown icon removes it; the handle keeps its value but no
    // longer names a record, so later calls do nothing.
    const int64_t handle = peer.h;
    table.finalize(peer);
    EXPECT_EQ(table.count(), 0);
    EXPECT_EQ(peer.liveRefs, 0);
    EXPECT_EQ(peer.h, handle);
    table.show(peer);
    table.hide(peer);
    table.finalize(peer);
    EXPECT_EQ(peer.liveRefs, 0);
}

TEST(TrayIcons, RemoveAllOnlyOnceAndPinning) {
    TrayIconTable table;
    FakeTrayPeer a, b;
    table.init(a, 1, "a", std::nullopt, std::nullopt, 0, 6, nullptr);
    table.init(b, 1, "b", std::nullopt, std::nullopt, 0, 6, nullptr);
    table.show(b);

    void* pinned = nullptr;
    EXPECT_TRUE(table.pinIcon(
        2, [](void* ref) { return ref; }, pinned));
    EXPECT_EQ(pinned, &b);
    EXPECT_TRUE(table.pinIcon(
        1, [](void* ref) { return ref; }, pinned));  // hidden: no reference
    EXPECT_EQ(pinned, nullptr);
    EXPECT_FALSE(table.pinIcon(
        7, [](void* ref) { return ref; }, pinned));

    table.removeAll();
    EXPECT_EQ(table.count(), 0);
    table.show(a);  // records are gone: nothing happens
    EXPECT_EQ(a.liveRefs, 0);

    FakeTrayPeer late;
    table.init(late, 1, "late", std::nullopt, std::nullopt, 0, 6, nullptr);
    table.removeAll();  // second call does nothing
    EXPECT_EQ(table.count(), 1);
    EXPECT_EQ(recordOf(table, late).data.uID, 3u);
    table.finalize(late);
}

TEST(TrayText, CopyStopsAtTheLimit) {
    char buffer[8];
    copyTrayText(buffer, 7, "abcdefghij");
    EXPECT_STREQ(buffer, "abcdefg");
    copyTrayText(buffer, 7, "");
    EXPECT_STREQ(buffer, "");
}

struct Recorder : TrayEvents {
    void mouseClick(uint32_t iconId, uint32_t message) override { clicks.push_back({iconId, message}); }
    void menuCommand(int32_t id) override { commands.push_back(id); }
    std::vector<std::pair<uint32_t, uint32_t>> clicks;
    std::vector<int32_t> commands;
};

TEST(TrayWindowRouting, CommandsAndNotifications) {
    Recorder recorder;
    setTrayEvents(&recorder);
    EXPECT_TRUE(onTrayCommand(50005));
    EXPECT_TRUE(onTrayCommand(50000));
    EXPECT_TRUE(onTrayCommand(51000));
    EXPECT_FALSE(onTrayCommand(51001));
    EXPECT_FALSE(onTrayCommand(49999));
    onTrayNotification(0xFFFFFFFF00000003ull, 0x7FFFFFFF00000202ull);
    setTrayEvents(nullptr);
    EXPECT_EQ(recorder.commands, (std::vector<int32_t>{5, 0, 1000}));
    ASSERT_EQ(recorder.clicks.size(), 1u);
    EXPECT_EQ(recorder.clicks[0], std::make_pair(3u, 514u));
    EXPECT_TRUE(onTrayCommand(50001));  // taken even with nobody listening
}

TEST(TrayMenus, BuildingMenus) {
    FakeTrayPeer menu, sub, noField(Field::None);
    trayMenuInit(menu);
    trayMenuInit(sub);
    trayMenuInit(noField);
    ASSERT_NE(menu.h, 0);
    EXPECT_EQ(noField.writes, 0);

    trayMenuAppend(menu, "Open", 5);
    trayMenuAppendSeparator(menu);
    trayMenuAppend(sub, "Inner", 1001);
    int added = 0;
    trayMenuAppendSubmenu(menu, sub, "More", [&] { return ++added, true; });
    trayMenuAppendSubmenu(menu, sub, "Refused", [] { return false; });
    EXPECT_EQ(added, 1);
    EXPECT_EQ(platform::menuItemCount(menu.h), 3);
    EXPECT_EQ(platform::menuItemCount(sub.h), 1);

    // Finalize clears the handle, so a second one destroys nothing.
    trayMenuFinalize(menu);
    EXPECT_EQ(menu.h, 0);
    trayMenuFinalize(menu);
    trayMenuAppend(menu, "after", 1);
    trayMenuFinalize(sub);
}

}  // namespace
}  // namespace hux
