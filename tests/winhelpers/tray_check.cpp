// Test helper: drives the notification-area core through the real shell and
// the hidden message window, without a virtual machine, and prints one line
// per observation ("name value").
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/tray.h"
#include "jni/vm_slot.h"
#include "services/tray.h"
#include "services/tray_core.h"
#include "support/fake_tray_peer.h"

using hux::TrayIconTable;
using hux::test::FakeTrayPeer;

namespace {

HANDLE gClicked = nullptr;
HANDLE gCommand = nullptr;

struct Recorder : hux::TrayEvents {
    void mouseClick(uint32_t iconId, uint32_t message) override {
        void* pinned = nullptr;
        const bool found = hux::trayIcons().pinIcon(
            iconId, [](void* ref) { return ref; }, pinned);
        clickIcon = iconId;
        clickMessage = message;
        clickTarget = found ? pinned : nullptr;
        clickThread = GetCurrentThreadId();
        SetEvent(gClicked);
    }
    void menuCommand(int32_t id) override {
        commands.push_back(id);
        SetEvent(gCommand);
    }
    uint32_t clickIcon = 0, clickMessage = 0;
    void* clickTarget = nullptr;
    DWORD clickThread = 0;
    std::vector<int32_t> commands;
};

// Whether the shell still knows the icon: a modify request succeeds only for
// an icon that was added.
bool shellHas(hux::platform::TrayIconData data) {
    return Shell_NotifyIconA(NIM_MODIFY, reinterpret_cast<NOTIFYICONDATAA*>(&data)) != FALSE;
}

void line(const char* name, long long value) { std::printf("%s %lld\n", name, value); }
void line(const char* name, const char* value) { std::printf("%s %s\n", name, value); }

}  // namespace

int main() {
    gClicked = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    gCommand = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    TrayIconTable& icons = hux::trayIcons();
    line("shell", hux::shellMajorVersion());

    // An icon made before the window exists gets no owner window.
    FakeTrayPeer early;
    icons.init(early, 1, "early", std::nullopt, std::nullopt, 0, hux::shellMajorVersion(),
               hux::platform::trayWindowHandle());
    line("early_window", icons.recordOf(early)->data.hWnd == nullptr ? "none" : "set");

    static hux::jni::VmSlot noVm;  // no virtual machine: the recorder below takes the events
    hux::startTrayWindow(noVm);
    Recorder recorder;
    hux::setTrayEvents(&recorder);
    HWND window = static_cast<HWND>(hux::platform::trayWindowHandle());
    line("window", window && FindWindowA("HUXMESSAGE", "HUXMESSAGE") == window ? "found" : "missing");
    line("window_visible", window && IsWindowVisible(window) ? 1 : 0);

    FakeTrayPeer a, b;
    const std::string tip(70, 'T'), info(300, 'I');
    icons.init(a, 1, tip, info, "Title", 1, hux::shellMajorVersion(), window);
    icons.init(b, 1, "b", std::nullopt, "title only", 0, hux::shellMajorVersion(), window);
    const hux::TrayIconRecord* ra = icons.recordOf(a);
    const hux::TrayIconRecord* rb = icons.recordOf(b);
    line("a_id", ra->data.uID);
    line("a_cbsize", ra->data.cbSize);
    line("b_cbsize", rb->data.cbSize);
    line("a_icon", ra->data.hIcon ? "loaded" : "none");
    line("a_tip_len", static_cast<long long>(std::strlen(ra->data.szTip)));
    line("a_info_len", static_cast<long long>(std::strlen(ra->data.szInfo)));
    line("a_owner", ra->data.hWnd == window ? "window" : "other");

    icons.change(a, 0, "changed while hidden", std::nullopt, std::nullopt, -1);
    line("hidden_change_tip_len", static_cast<long long>(std::strlen(ra->data.szTip)));
    line("before_show_shell_has", shellHas(ra->data) ? 1 : 0);

    icons.show(a);
    icons.show(b);
    line("a_shown", ra->shown);
    line("a_refs", a.liveRefs);
    line("after_show_shell_has", shellHas(ra->data) ? 1 : 0);
    line("b_shell_has", shellHas(rb->data) ? 1 : 0);

    icons.change(a, 1, "new tip", std::nullopt, std::nullopt, -1);
    line("changed_tip", ra->data.szTip);
    line("changed_info_len", static_cast<long long>(std::strlen(ra->data.szInfo)));
    line("changed_flags", static_cast<long long>(static_cast<int32_t>(ra->data.dwInfoFlags)));

    // A left-button release on icon a, as the shell reports it.
    PostMessageA(window, 1124, ra->data.uID, WM_LBUTTONUP);
    const bool clicked = WaitForSingleObject(gClicked, 10000) == WAIT_OBJECT_0;
    line("click", clicked ? "delivered" : "lost");
    line("click_icon", recorder.clickIcon);
    line("click_message", recorder.clickMessage);
    line("click_target", recorder.clickTarget == &a ? "a" : "other");
    line("click_thread", recorder.clickThread != GetCurrentThreadId() ? "window" : "caller");

    // Menu commands: ids 0 to 1000 are passed on.
    const LRESULT taken = SendMessageA(window, WM_COMMAND, 50005, 0);
    SendMessageA(window, WM_COMMAND, 51001, 0);
    std::string commands;
    for (int32_t id : recorder.commands) commands += std::to_string(id) + ",";
    line("commands", commands.c_str());
    line("command_result", static_cast<long long>(taken));

    // A menu built through the core and shown by the system's menu calls.
    FakeTrayPeer menu;
    hux::trayMenuInit(menu);
    hux::trayMenuAppend(menu, "Open", 5);
    hux::trayMenuAppendSeparator(menu);
    hux::trayMenuAppend(menu, "Hidden", 1001);
    line("menu_items", hux::platform::menuItemCount(menu.h));
    line("menu_item_id", GetMenuItemID(reinterpret_cast<HMENU>(menu.h), 0));
    // Popup on this thread with the window's thread as owner: the first item,
    // chosen with the keyboard, arrives as a menu command at the window.
    {
        HANDLE chooser = CreateThread(
            nullptr, 0,
            [](void*) -> DWORD {
                for (int i = 0; i < 50; ++i) {
                    Sleep(100);
                    HWND popup = FindWindowA("#32768", nullptr);
                    if (popup && IsWindowVisible(popup)) {
                        PostMessageA(popup, WM_KEYDOWN, VK_DOWN, 0);
                        PostMessageA(popup, WM_KEYDOWN, VK_RETURN, 0);
                        return 1;
                    }
                }
                return 0;
            },
            nullptr, 0, nullptr);
        recorder.commands.clear();
        ResetEvent(gCommand);
        hux::trayMenuPopup(menu);
        WaitForSingleObject(chooser, 10000);
        DWORD found = 0;
        GetExitCodeThread(chooser, &found);
        CloseHandle(chooser);
        WaitForSingleObject(gCommand, 5000);
        std::string chosen;
        for (int32_t id : recorder.commands) chosen += std::to_string(id) + ",";
        line("popup_shown", static_cast<long long>(found));
        line("popup_commands", chosen.c_str());
    }

    // Finalizing a menu leaves its submenus to their own finalize.
    FakeTrayPeer sub;
    hux::trayMenuInit(sub);
    hux::trayMenuAppend(sub, "Inner", 1);
    hux::trayMenuAppendSubmenu(menu, sub, "More", [] { return true; });
    line("menu_items_with_sub", hux::platform::menuItemCount(menu.h));
    const HMENU subHandle = reinterpret_cast<HMENU>(sub.h);
    hux::trayMenuFinalize(menu);
    line("sub_alive_after_parent", IsMenu(subHandle) ? 1 : 0);
    hux::trayMenuFinalize(sub);
    line("sub_alive_after_own", IsMenu(subHandle) ? 1 : 0);

    const hux::platform::TrayIconData aData = ra->data;
    icons.hide(a);
    line("after_hide_shell_has", shellHas(aData) ? 1 : 0);
    line("a_refs_after_hide", a.liveRefs);
    icons.show(a);
    icons.finalize(a);
    line("after_finalize_shell_has", shellHas(aData) ? 1 : 0);
    line("count_after_finalize", icons.count());

    const hux::platform::TrayIconData bData = rb->data;
    hux::removeAllTrayIcons();
    line("after_remove_shell_has", shellHas(bData) ? 1 : 0);
    line("count_after_remove", icons.count());
    FakeTrayPeer late;
    icons.init(late, 1, "late", std::nullopt, std::nullopt, 0, hux::shellMajorVersion(), window);
    icons.show(late);
    hux::removeAllTrayIcons();
    line("count_after_second_remove", icons.count());
    line("late_shell_has", shellHas(icons.recordOf(late)->data) ? 1 : 0);
    icons.finalize(late);
    line("done", 1);
    std::fflush(stdout);
    return 0;
}
