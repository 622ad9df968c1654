// The notification area where there is no desktop backend yet: icon requests
// succeed without showing anything, there is no message window, and menus are
// kept as in-memory records so that building them works the same.
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/tray.h"

namespace hux::platform {

namespace {

struct MenuItem {
    uint32_t mask;
    uint32_t type;
    uint32_t id;
    int64_t submenu;
    std::string text;
};

struct Menus {
    std::mutex lock;
    std::map<int64_t, std::vector<MenuItem>> items;
    int64_t next = 1;
};

Menus& menus() {
    static Menus* m = new Menus;  // lives until the process ends, also for finalizers at exit
    return *m;
}

}  // namespace

// No shell library: the version the icon records are built for is the lowest.
int queryShellMajorVersion() { return 4; }

void startTrayMessageWindow(const TrayWindowHandlers&, int) {}
void* trayWindowHandle() { return nullptr; }

bool notifyTrayIcon(TrayRequest, TrayIconData*) { return true; }
void* loadTrayIcon(int) { return nullptr; }
void destroyTrayIcon(void*) {}

int64_t createPopupMenu() {
    Menus& m = menus();
    std::lock_guard<std::mutex> hold(m.lock);
    if (m.next > INT32_MAX) return 0;
    const int64_t handle = m.next++;
    m.items[handle];
    return handle;
}

bool destroyMenu(int64_t menu) {
    Menus& m = menus();
    std::lock_guard<std::mutex> hold(m.lock);
    return m.items.erase(menu) == 1;
}

bool appendMenuItem(int64_t menu, uint32_t mask, uint32_t type, uint32_t id, int64_t submenu, const char* text) {
    Menus& m = menus();
    std::lock_guard<std::mutex> hold(m.lock);
    auto it = m.items.find(menu);
    if (it == m.items.end()) return false;
    it->second.push_back(MenuItem{mask, type, id, submenu, text ? std::string(text) : std::string()});
    return true;
}

int menuItemCount(int64_t menu) {
    Menus& m = menus();
    std::lock_guard<std::mutex> hold(m.lock);
    auto it = m.items.find(menu);
    return it == m.items.end() ? -1 : static_cast<int>(it->second.size());
}

void popupMenu(int64_t) {}

}  // namespace hux::platform
