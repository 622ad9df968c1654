#include "services/tray_core.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "common/never_destroyed.h"

namespace hux {

namespace {

void setIconImage(platform::TrayIconData& data, int32_t icon) { data.hIcon = platform::loadTrayIcon(icon & 0xFFFF); }

void copyTexts(platform::TrayIconData& data, TrayText tip, TrayText info, TrayText title) {
    copyTrayText(data.szTip, 63, tip.value_or(std::string_view()));
    if (info) copyTrayText(data.szInfo, 255, *info);
    if (title) copyTrayText(data.szInfoTitle, 63, *title);
}

}  // namespace

int shellMajorVersion() {
    // Asked on first use (the system library is loaded then, not before main),
    // once, whichever thread asks first.
    static const int version = platform::queryShellMajorVersion();
    return version;
}

void copyTrayText(char* dest, size_t limit, std::string_view text) {
    const size_t n = text.size() < limit ? text.size() : limit;
    // An absent text has no data pointer, which memcpy must not be given.
    if (n > 0) std::memcpy(dest, text.data(), n);
    dest[n] = '\0';
}

TrayIconTable& trayIcons() {
    // Never destroyed: finalizers and Java threads may call in while the
    // process exits.
    static NeverDestroyed<TrayIconTable> table;
    return *table;
}

int32_t TrayIconTable::findLocked(TrayPeer& peer, TrayPeer::Field field) {
    const int64_t handle = peer.readHandle();
    if (handle == 0) return -1;
    for (int32_t i = 0; i < entries_.size(); ++i) {
        const TrayIconRecord* r = entries_[i].record;
        if (field == TrayPeer::Field::Long ? reinterpret_cast<int64_t>(r) == handle
                                           : static_cast<int64_t>(static_cast<int32_t>(r->data.uID)) == handle) {
            return i;
        }
    }
    return -1;
}

void TrayIconTable::init(TrayPeer& peer, int32_t icon, TrayText tip, TrayText info, TrayText title, int32_t infoFlags,
                         int shellMajor, void* window) {
    const TrayPeer::Field field = peer.handleField();
    if (field == TrayPeer::Field::None) return;
    auto* record = static_cast<TrayIconRecord*>(std::calloc(1, sizeof(TrayIconRecord)));
    if (!record) return;
    platform::TrayIconData& d = record->data;
    d.cbSize = shellMajor > 4 && info && title ? platform::kTrayDataSizeV2 : platform::kTrayDataSizeV1;
    d.hWnd = window;
    d.uFlags = kTrayIconFlags;
    d.uCallbackMessage = platform::kTrayNotifyMessage;
    setIconImage(d, icon);
    copyTexts(d, tip, info, title);
    d.dwInfoFlags = static_cast<uint32_t>(infoFlags);
    record->shown = 0;

    platform::MutexLock hold(lock_);
    d.uID = static_cast<uint32_t>(nextId_++);
    peer.writeHandle(field == TrayPeer::Field::Long ? reinterpret_cast<int64_t>(record)
                                                    : static_cast<int64_t>(static_cast<int32_t>(d.uID)));
    entries_.push(Entry{record, nullptr});
}

void TrayIconTable::show(TrayPeer& peer) {
    const TrayPeer::Field field = peer.handleField();
    if (field == TrayPeer::Field::None) return;
    platform::MutexLock hold(lock_);
    const int32_t i = findLocked(peer, field);
    if (i < 0 || entries_[i].record->shown) return;
    Entry& e = entries_[i];
    platform::notifyTrayIcon(platform::TrayRequest::Add, &e.record->data);
    e.record->shown = 1;
    if (e.ref) peer.deleteGlobalRef(e.ref);
    e.ref = peer.newGlobalRef();
}

void TrayIconTable::hide(TrayPeer& peer) {
    const TrayPeer::Field field = peer.handleField();
    if (field == TrayPeer::Field::None) return;
    platform::MutexLock hold(lock_);
    const int32_t i = findLocked(peer, field);
    if (i < 0 || !entries_[i].record->shown) return;
    Entry& e = entries_[i];
    platform::notifyTrayIcon(platform::TrayRequest::Delete, &e.record->data);
    e.record->shown = 0;
    if (e.ref) peer.deleteGlobalRef(e.ref);
    e.ref = nullptr;
}

void TrayIconTable::change(TrayPeer& peer, int32_t icon, TrayText tip, TrayText info, TrayText title,
                           int32_t infoFlags) {
    const TrayPeer::Field field = peer.handleField();
    if (field == TrayPeer::Field::None) return;
    platform::MutexLock hold(lock_);
    const int32_t i = findLocked(peer, field);
    if (i < 0 || !entries_[i].record->shown) return;  // changes to a hidden icon are ignored
    platform::TrayIconData& d = entries_[i].record->data;
    if (icon > 0) {
        if (d.hIcon) platform::destroyTrayIcon(d.hIcon);
        setIconImage(d, icon);
    }
    copyTexts(d, tip, info, title);
    d.dwInfoFlags = static_cast<uint32_t>(infoFlags);
    platform::notifyTrayIcon(platform::TrayRequest::Modify, &d);
}

void TrayIconTable::finalize(TrayPeer& peer) {
    const TrayPeer::Field field = peer.handleField();
    if (field == TrayPeer::Field::None) return;
    platform::MutexLock hold(lock_);
    const int32_t i = findLocked(peer, field);
    if (i < 0) return;
    Entry e = entries_[i];
    if (e.record->shown) platform::notifyTrayIcon(platform::TrayRequest::Delete, &e.record->data);
    e.record->shown = 0;
    entries_.removeAt(i);
    if (e.ref) peer.deleteGlobalRef(e.ref);
    if (e.record->data.hIcon) platform::destroyTrayIcon(e.record->data.hIcon);
    std::free(e.record);
}

void TrayIconTable::removeAll(const std::function<void(void*)>& releaseRef) {
    platform::MutexLock hold(lock_);
    if (removed_) return;
    removed_ = true;
    for (int32_t i = entries_.size() - 1; i >= 0; --i) {
        TrayIconRecord* r = entries_[i].record;
        if (r->shown) platform::notifyTrayIcon(platform::TrayRequest::Delete, &r->data);
        if (r->data.hIcon) platform::destroyTrayIcon(r->data.hIcon);
        std::free(r);
        if (releaseRef && entries_[i].ref) releaseRef(entries_[i].ref);
    }
    entries_ = GrowArray<Entry>();
}

bool TrayIconTable::pinIcon(uint32_t uid, const std::function<void*(void*)>& pin, void*& pinned) {
    platform::MutexLock hold(lock_);
    pinned = nullptr;
    for (const Entry& e : entries_) {
        if (e.record->data.uID != uid) continue;
        if (e.ref) pinned = pin(e.ref);
        return true;
    }
    return false;
}

const TrayIconRecord* TrayIconTable::recordOf(TrayPeer& peer) {
    const TrayPeer::Field field = peer.handleField();
    if (field == TrayPeer::Field::None) return nullptr;
    platform::MutexLock hold(lock_);
    const int32_t i = findLocked(peer, field);
    return i < 0 ? nullptr : entries_[i].record;
}

int32_t TrayIconTable::count() {
    platform::MutexLock hold(lock_);
    return entries_.size();
}

int32_t TrayIconTable::nextId() {
    platform::MutexLock hold(lock_);
    return nextId_;
}

// ---- menus ----

namespace {

int64_t menuOf(TrayPeer& peer) { return peer.handleField() == TrayPeer::Field::None ? 0 : peer.readHandle(); }

}  // namespace

void trayMenuInit(TrayPeer& peer) {
    if (peer.handleField() != TrayPeer::Field::None) peer.writeHandle(platform::createPopupMenu());
}

void trayMenuFinalize(TrayPeer& peer) {
    const int64_t menu = menuOf(peer);
    if (menu == 0) return;
    platform::destroyMenu(menu);
    peer.writeHandle(0);  // a second finalize must not destroy a handle the system reused
}

void trayMenuAppend(TrayPeer& peer, std::string_view text, int32_t id) {
    const int64_t menu = menuOf(peer);
    if (menu == 0) return;
    const ByteString item(text);
    platform::appendMenuItem(menu, platform::kMenuMaskId | platform::kMenuMaskType, 0,
                             static_cast<uint32_t>(id) + platform::kTrayCommandBase, 0, item.c_str());
}

void trayMenuAppendSubmenu(TrayPeer& peer, TrayPeer& submenu, std::string_view text,
                           const std::function<bool()>& addToPopups) {
    if (peer.handleField() == TrayPeer::Field::None) return;
    const int64_t menu = peer.readHandle();
    const int64_t sub = menuOf(submenu);
    if (!addToPopups()) return;
    const ByteString item(text);
    platform::appendMenuItem(menu, platform::kMenuMaskSubmenu | platform::kMenuMaskType, 0, 0, sub, item.c_str());
}

void trayMenuAppendSeparator(TrayPeer& peer) {
    const int64_t menu = menuOf(peer);
    if (menu == 0) return;
    platform::appendMenuItem(menu, platform::kMenuMaskType, platform::kMenuSeparator, 0, 0, nullptr);
}

void trayMenuPopup(TrayPeer& peer) {
    const int64_t menu = menuOf(peer);
    if (menu != 0) platform::popupMenu(menu);
}

// ---- window notifications ----

namespace {
std::atomic<TrayEvents*> gEvents{nullptr};
}  // namespace

void setTrayEvents(TrayEvents* events) { gEvents.store(events); }

void onTrayNotification(uint64_t wParam, uint64_t lParam) {
    if (TrayEvents* events = gEvents.load()) {
        events->mouseClick(static_cast<uint32_t>(wParam), static_cast<uint32_t>(lParam));
    }
}

bool onTrayCommand(uint64_t wParam) {
    if (wParam - platform::kTrayCommandBase > platform::kTrayCommandRange) return false;
    if (TrayEvents* events = gEvents.load()) {
        events->menuCommand(static_cast<int32_t>(wParam - platform::kTrayCommandBase));
    }
    return true;
}

}  // namespace hux
