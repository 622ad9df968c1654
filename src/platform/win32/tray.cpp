// The notification area through the shell and a hidden message window.
#include "platform/win32/windows_support.h"

#include <process.h>
#include <shellapi.h>

#include <atomic>
#include <cstddef>

#include "platform/tray.h"

namespace hux::platform {

static_assert(offsetof(NOTIFYICONDATAA, hWnd) == offsetof(TrayIconData, hWnd));
static_assert(offsetof(NOTIFYICONDATAA, uID) == offsetof(TrayIconData, uID));
static_assert(offsetof(NOTIFYICONDATAA, hIcon) == offsetof(TrayIconData, hIcon));
static_assert(offsetof(NOTIFYICONDATAA, szTip) == offsetof(TrayIconData, szTip));
static_assert(offsetof(NOTIFYICONDATAA, szInfo) == offsetof(TrayIconData, szInfo));
static_assert(offsetof(NOTIFYICONDATAA, szInfoTitle) == offsetof(TrayIconData, szInfoTitle));
static_assert(offsetof(NOTIFYICONDATAA, dwInfoFlags) == offsetof(TrayIconData, dwInfoFlags));
static_assert(sizeof(MENUITEMINFOA) == 80);

namespace {

struct ShellVersionInfo {  // DLLVERSIONINFO
    DWORD cbSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformID;
};
using DllGetVersionProc = HRESULT(CALLBACK*)(ShellVersionInfo*);

const char kWindowClass[] = "HUXMESSAGE";

// The message window's state: created once per process and never freed, so
// that natives and the window procedure may read it at any time.
struct TrayWindow {
    std::atomic<const TrayWindowHandlers*> handlers{nullptr};  // null after WM_DESTROY
    TrayWindowHandlers handlerStore{};
    HANDLE ready = nullptr;
    std::atomic<HWND> window{nullptr};
};
TrayWindow gWindow;
std::atomic<bool> gNativesReady{false};

LRESULT CALLBACK trayWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    const TrayWindowHandlers* handlers = gWindow.handlers.load();
    if (handlers) {
        switch (message) {
            case WM_DESTROY:
                gWindow.handlers.store(nullptr);
                gWindow.window.store(nullptr);
                PostQuitMessage(0);
                return 0;
            case WM_COMMAND:
                if (handlers->command && handlers->command(static_cast<uint64_t>(wParam))) return 0;
                break;
            case kTrayNotifyMessage:
                if (handlers->mouse) handlers->mouse(static_cast<uint64_t>(wParam), static_cast<uint64_t>(lParam));
                return 0;
            default: break;
        }
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

unsigned __stdcall trayWindowThread(void*) {
    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSA wc{};
    wc.style = 0;
    wc.lpfnWndProc = trayWindowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    wc.lpszClassName = kWindowClass;
    HWND hwnd = nullptr;
    if (RegisterClassA(&wc)) {
        hwnd = CreateWindowA(kWindowClass, kWindowClass, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0, 100, 0, nullptr,
                             nullptr, instance, nullptr);
        if (hwnd) {
            ShowWindow(hwnd, SW_HIDE);
            UpdateWindow(hwnd);
            gWindow.window.store(hwnd);
        }
    }
    SetEvent(gWindow.ready);  // in all cases
    if (!hwnd) return 0;
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    // The ready event stays open: the starting thread may still be waiting on
    // it, and the handle must not be reused under it.
    return 0;
}

}  // namespace

int queryShellMajorVersion() {
    int major = 4;
    HMODULE shell = LoadLibraryA("shell32.dll");
    if (!shell) return major;
    auto proc = reinterpret_cast<DllGetVersionProc>(reinterpret_cast<void*>(GetProcAddress(shell, "DllGetVersion")));
    if (proc) {
        ShellVersionInfo info{};
        info.cbSize = sizeof info;
        info.dwMajorVersion = 4;
        if (proc(&info) >= 0) major = static_cast<int>(info.dwMajorVersion);
    }
    FreeLibrary(shell);
    return major;
}

void startTrayMessageWindow(const TrayWindowHandlers& handlers, int timeoutMs) {
    if (gWindow.ready) return;  // once per process
    gWindow.handlerStore = handlers;
    gWindow.handlers.store(&gWindow.handlerStore);
    gWindow.ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (gWindow.ready) {
        const win32::ScopedHandle thread(
            win32::asHandle(static_cast<intptr_t>(_beginthreadex(nullptr, 0, trayWindowThread, nullptr, 0, nullptr))));
        if (thread) WaitForSingleObject(gWindow.ready, static_cast<DWORD>(timeoutMs));
    }
    gNativesReady.store(true);
}

void* trayWindowHandle() { return gNativesReady.load() ? gWindow.window.load() : nullptr; }

bool notifyTrayIcon(TrayRequest request, TrayIconData* data) {
    return Shell_NotifyIconA(static_cast<DWORD>(request), reinterpret_cast<NOTIFYICONDATAA*>(data)) != FALSE;
}

void* loadTrayIcon(int number) {
    return LoadImageA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(number), IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR);
}

void destroyTrayIcon(void* icon) { DestroyIcon(static_cast<HICON>(icon)); }

int64_t createPopupMenu() { return static_cast<int64_t>(reinterpret_cast<intptr_t>(CreatePopupMenu())); }

bool destroyMenu(int64_t menu) {
    HMENU m = reinterpret_cast<HMENU>(static_cast<intptr_t>(menu));
    // Submenus belong to their own Java objects, which destroy them in their
    // own finalize: detach them first, since destroying a menu destroys its
    // submenus and a later destroy of the stale handle could hit a reused one.
    for (int i = GetMenuItemCount(m) - 1; i >= 0; --i) {
        if (GetSubMenu(m, i)) RemoveMenu(m, static_cast<UINT>(i), MF_BYPOSITION);
    }
    return DestroyMenu(m) != FALSE;
}

bool appendMenuItem(int64_t menu, uint32_t mask, uint32_t type, uint32_t id, int64_t submenu, const char* text) {
    MENUITEMINFOA item{};
    item.cbSize = sizeof item;
    item.fMask = mask;
    item.fType = type;
    item.wID = id;
    item.hSubMenu = reinterpret_cast<HMENU>(static_cast<intptr_t>(submenu));
    item.dwTypeData = const_cast<char*>(text);
    return InsertMenuItemA(reinterpret_cast<HMENU>(static_cast<intptr_t>(menu)), static_cast<UINT>(-1), TRUE, &item) !=
           FALSE;
}

int menuItemCount(int64_t menu) { return GetMenuItemCount(reinterpret_cast<HMENU>(static_cast<intptr_t>(menu))); }

void popupMenu(int64_t menu) {
    POINT at{};
    GetCursorPos(&at);
    HWND window = static_cast<HWND>(trayWindowHandle());
    if (window) SetForegroundWindow(window);
    TrackPopupMenu(reinterpret_cast<HMENU>(static_cast<intptr_t>(menu)), TPM_RIGHTBUTTON, at.x, at.y, 0, window,
                   nullptr);
    if (window) PostMessageA(window, WM_NULL, 0, 0);
}

}  // namespace hux::platform
