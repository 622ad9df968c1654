// Notification-area icons and menus without the Java side: the icon records,
// the table of icons, the handle-field rule and the routing of window
// notifications. The JNI natives convert their arguments and call these.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "common/byte_string.h"
#include "platform/mutex.h"
#include "platform/tray.h"

namespace hux {

// Major version of the shell library, read once, on first use.
int shellMajorVersion();

// Icon flags: message, icon, tip, info.
constexpr uint32_t kTrayIconFlags = 0x17;

struct TrayIconRecord {
    platform::TrayIconData data;
    int32_t shown;  // 1 once an add request was made, whatever its result
};
static_assert(sizeof(TrayIconRecord) == 512);

// The Java object a native was called on: its handle field `h` and global
// references to it. The field is looked up as a long first, then as an int.
class TrayPeer {
public:
    enum class Field { None, Long, Int };
    virtual ~TrayPeer() = default;
    virtual Field handleField() = 0;
    virtual int64_t readHandle() = 0;
    virtual void writeHandle(int64_t value) = 0;
    virtual void* newGlobalRef() = 0;
    virtual void deleteGlobalRef(void* ref) = 0;
};

// Text handed to the natives; nullopt stands for a null Java string.
using TrayText = std::optional<std::string_view>;

// The icons of the process, in order of creation, with the icon id counter.
// Every operation takes the table's lock, so several Java threads may call.
// Java objects hold the record's address in a long field, or the icon id in
// an int field (an address does not fit); either way the natives only use
// records found in the table, so a stale handle does nothing.
class TrayIconTable {
public:
    TrayIconTable() = default;
    TrayIconTable(const TrayIconTable&) = delete;
    TrayIconTable& operator=(const TrayIconTable&) = delete;
    ~TrayIconTable() = default;  // records are freed by removeAll or finalize

    void init(TrayPeer& peer, int32_t icon, TrayText tip, TrayText info, TrayText title, int32_t infoFlags,
              int shellMajor, void* window);
    void show(TrayPeer& peer);
    void hide(TrayPeer& peer);
    void change(TrayPeer& peer, int32_t icon, TrayText tip, TrayText info, TrayText title, int32_t infoFlags);
    void finalize(TrayPeer& peer);
    // Deletes every shown icon and frees every record; only the first call
    // does anything. The table's references are handed to `releaseRef` when
    // given (while the virtual machine still exists), else left alone.
    void removeAll(const std::function<void(void*)>& releaseRef = nullptr);

    // Finds the first icon with id `uid` and passes the reference it holds
    // (null while hidden) through `pin` under the lock, so that the result
    // stays valid for the caller; false when there is no such icon.
    bool pinIcon(uint32_t uid, const std::function<void*(void*)>& pin, void*& pinned);

    // For tests and diagnostics: the record behind `peer`'s handle, the
    // number of icons and the next icon id.
    const TrayIconRecord* recordOf(TrayPeer& peer);
    int32_t count();
    int32_t nextId();

private:
    struct Entry {
        TrayIconRecord* record;
        void* ref;
    };
    int32_t findLocked(TrayPeer& peer, TrayPeer::Field field);

    platform::Mutex lock_;
    GrowArray<Entry> entries_;
    int32_t nextId_ = 1;
    bool removed_ = false;
};

// The icons of this process.
TrayIconTable& trayIcons();

// Copies at most `limit` bytes of `text` into `dest` and terminates it.
void copyTrayText(char* dest, size_t limit, std::string_view text);

// Pop-up menus behind SystemTrayMenu objects (the handle is the menu).
void trayMenuInit(TrayPeer& peer);
void trayMenuFinalize(TrayPeer& peer);
void trayMenuAppend(TrayPeer& peer, std::string_view text, int32_t id);
// `addToPopups` keeps the submenu object reachable; false when the object
// has no place for it, which ends the call.
void trayMenuAppendSubmenu(TrayPeer& peer, TrayPeer& submenu, std::string_view text,
                           const std::function<bool()>& addToPopups);
void trayMenuAppendSeparator(TrayPeer& peer);
void trayMenuPopup(TrayPeer& peer);

// Where the message window's notifications go: the application's callback,
// or a test's recorder.
class TrayEvents {
public:
    virtual ~TrayEvents() = default;
    virtual void mouseClick(uint32_t iconId, uint32_t message) = 0;
    virtual void menuCommand(int32_t id) = 0;
};
void setTrayEvents(TrayEvents* events);
// Window-thread entries: a tray notification (icon id and mouse message in
// the low 32 bits) and a command (taken when it is a menu command).
void onTrayNotification(uint64_t wParam, uint64_t lParam);
bool onTrayCommand(uint64_t wParam);

}  // namespace hux
