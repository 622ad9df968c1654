// The Linux tray on the session bus: every shown icon is a status item
// (org.kde.StatusNotifierItem) registered with the desktop's watcher, with
// the pop-up menu exported as com.canonical.dbusmenu. One thread of its own
// owns the bus connections; Java threads only change the shared state below
// and wake it, so no call from the application waits on the bus for long.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/linux/tray_model.h"
#include "platform/tray.h"

namespace hux::platform::tray {

struct IconState {
    std::string tip;
    const std::vector<Pixmap>* images = nullptr;  // owned by the icon cache, never freed
    bool wanted = false;                          // shown by the application
};

// What the natives and the bus thread share, under `lock`.
struct Shared {
    std::mutex lock;
    MenuStore menus;
    std::map<uint32_t, IconState> icons;
    TrayWindowHandlers handlers{};
};
Shared& shared();

// Hands an icon request to the bus thread, starting it on first use (the
// library is loaded then and the connection made, waited for at most
// 1.5 seconds once). The result tells whether the desktop has a
// notification area: false without a session bus, the D-Bus library or a
// watcher.
bool iconRequest(TrayRequest request, uint32_t id, const std::string& tip, const std::vector<Pixmap>* images);
// Delivers a click on icon `id` to the mouse handler on the calling thread:
// a press and a release, as the Windows shell reports one.
void deliverClick(uint32_t id, uint64_t down, uint64_t up);
// Tells the bus thread that the menus changed (call without the lock held).
void menusChanged();

// The well-known bus name of icon `id` in this process.
std::string itemBusName(uint32_t id);

}  // namespace hux::platform::tray
