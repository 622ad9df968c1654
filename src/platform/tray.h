// Notification-area services: the hidden message window, icons and pop-up
// menus. The icon data is portable: it has the exact 64-bit layout of the
// shell's icon record (version-2 form), so the Win32 layer hands it to the
// shell as it is and other platforms keep it as plain data.
#pragma once

#include <cstddef>
#include <cstdint>

namespace hux::platform {

struct TrayIconData {
    uint32_t cbSize;
    void* hWnd;
    uint32_t uID;
    uint32_t uFlags;
    uint32_t uCallbackMessage;
    void* hIcon;
    char szTip[128];
    uint32_t dwState;
    uint32_t dwStateMask;
    char szInfo[256];
    uint32_t uTimeout;
    char szInfoTitle[64];
    uint32_t dwInfoFlags;
};
static_assert(sizeof(void*) == 8, "the icon record layout is the 64-bit one");
static_assert(offsetof(TrayIconData, hWnd) == 8);
static_assert(offsetof(TrayIconData, uID) == 16);
static_assert(offsetof(TrayIconData, hIcon) == 32);
static_assert(offsetof(TrayIconData, szTip) == 40);
static_assert(offsetof(TrayIconData, szInfo) == 176);
static_assert(offsetof(TrayIconData, szInfoTitle) == 436);
static_assert(offsetof(TrayIconData, dwInfoFlags) == 500);
static_assert(sizeof(TrayIconData) == 504);

// Sizes the shell accepts: the version-2 record and the version-1 prefix
// (everything up to a 64-byte tooltip).
constexpr uint32_t kTrayDataSizeV2 = 504;
constexpr uint32_t kTrayDataSizeV1 = 104;

// Shell icon requests.
enum class TrayRequest : uint32_t { Add = 0, Modify = 1, Delete = 2 };

// Notification message of the icons; wParam carries the icon id, lParam the
// mouse message.
constexpr uint32_t kTrayNotifyMessage = 1124;
// Menu item ids are offset by this much in command ids; command ids up to
// kTrayCommandBase + kTrayCommandRange are passed on.
constexpr uint32_t kTrayCommandBase = 50000;
constexpr uint32_t kTrayCommandRange = 1000;

// Major version of the shell library (4 when it cannot be asked).
int queryShellMajorVersion();

// Handlers the message window calls on its own thread. `command` returns
// whether it took the command id.
struct TrayWindowHandlers {
    void (*mouse)(uint64_t wParam, uint64_t lParam);
    bool (*command)(uint64_t wParam);
};
// Starts the hidden message window on a thread of its own and waits at most
// `timeoutMs` until it reports ready. Where there is no desktop it only
// records the handlers.
void startTrayMessageWindow(const TrayWindowHandlers& handlers, int timeoutMs);
// The message window (null when it does not exist, not yet or no longer).
void* trayWindowHandle();

// Adds, changes or removes an icon; the result is the shell's (true where
// there is no notification area).
bool notifyTrayIcon(TrayRequest request, TrayIconData* data);
// Icon resource `number` of the executable, 16 x 16 (null where executables
// carry no icons).
void* loadTrayIcon(int number);
void destroyTrayIcon(void* icon);

// Pop-up menus. Handles are opaque non-zero values that fit in 32 bits.
int64_t createPopupMenu();
bool destroyMenu(int64_t menu);
// Menu item kinds.
constexpr uint32_t kMenuMaskId = 0x02;       // MIIM_ID
constexpr uint32_t kMenuMaskSubmenu = 0x04;  // MIIM_SUBMENU
constexpr uint32_t kMenuMaskType = 0x10;     // MIIM_TYPE
constexpr uint32_t kMenuSeparator = 0x800;   // MFT_SEPARATOR
// Appends an item at the end of `menu`.
bool appendMenuItem(int64_t menu, uint32_t mask, uint32_t type, uint32_t id, int64_t submenu, const char* text);
// Number of items in `menu` (-1 for an unknown menu).
int menuItemCount(int64_t menu);
// Shows `menu` at the cursor, owned by the message window; a chosen item
// arrives as a command at the window. Nothing where there is no desktop.
void popupMenu(int64_t menu);

}  // namespace hux::platform
