// The notification area on Linux: icons become status items on the session
// bus (tray_bus.cpp) and menus are kept here as records that the bus thread
// exports. Where there is no bus, no watcher or no D-Bus library, icon
// requests report that there is no notification area and nothing shows.
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/linux/tray_bus.h"
#include "platform/linux/tray_model.h"
#include "platform/tray.h"

// The stub's icon 1 (resources/hux.ico), compiled in by the build.
extern const unsigned char kHuxTrayIcon[];
extern const size_t kHuxTrayIconSize;

namespace hux::platform {

using tray::shared;

// No shell library: the version the icon records are built for is the lowest.
int queryShellMajorVersion() { return 4; }

// There is no window: the bus thread calls the handlers itself.
void startTrayMessageWindow(const TrayWindowHandlers& handlers, int) {
    std::lock_guard<std::mutex> hold(shared().lock);
    shared().handlers = handlers;
}
void* trayWindowHandle() { return nullptr; }

bool notifyTrayIcon(TrayRequest request, TrayIconData* data) {
    if (!data) return false;
    const std::string tip(data->szTip, strnlen(data->szTip, sizeof data->szTip));
    return tray::iconRequest(request, data->uID, tip, static_cast<const std::vector<tray::Pixmap>*>(data->hIcon));
}

// The images of icon `number`, decoded once and kept for the process (the
// bus thread may still read them after the icon is destroyed).
void* loadTrayIcon(int number) {
    if (number != 1) return nullptr;
    static const std::vector<tray::Pixmap>* const images = [] {
        auto* v = new std::vector<tray::Pixmap>(tray::decodeIcon(kHuxTrayIcon, kHuxTrayIconSize));
        tray::addScaledSizes(*v, {32, 48});
        return v;
    }();
    return images->empty() ? nullptr : const_cast<std::vector<tray::Pixmap>*>(images);
}

void destroyTrayIcon(void*) {}

int64_t createPopupMenu() {
    std::lock_guard<std::mutex> hold(shared().lock);
    return shared().menus.create();
}

bool destroyMenu(int64_t menu) {
    bool done;
    {
        std::lock_guard<std::mutex> hold(shared().lock);
        done = shared().menus.destroy(menu);
    }
    if (done) tray::menusChanged();
    return done;
}

bool appendMenuItem(int64_t menu, uint32_t mask, uint32_t type, uint32_t id, int64_t submenu, const char* text) {
    bool done;
    {
        std::lock_guard<std::mutex> hold(shared().lock);
        done = shared().menus.append(
            menu, tray::MenuStore::Item{mask, type, id, submenu, text ? std::string(text) : std::string()});
    }
    if (done) tray::menusChanged();
    return done;
}

int menuItemCount(int64_t menu) {
    std::lock_guard<std::mutex> hold(shared().lock);
    return shared().menus.count(menu);
}

// The menu becomes what the icons' exported menu shows; the desktop shows it
// when the user opens an icon's menu (the right click that the application
// answers with this call).
void popupMenu(int64_t menu) {
    bool changed;
    {
        std::lock_guard<std::mutex> hold(shared().lock);
        if (shared().menus.count(menu) < 0) return;
        changed = shared().menus.shown() != menu;
        shared().menus.setPopup(menu);
    }
    if (changed) tray::menusChanged();
}

}  // namespace hux::platform
