// The bus thread of the Linux tray (see tray_bus.h). Everything that touches
// the D-Bus library runs on this one thread: the connections, their watches,
// requests for bus names, the watcher registration and every reply.
//
// Each shown icon has a connection of its own. Hosts built on GDBus proxies
// send their calls to the unique name behind the item's well-known name, at
// the one item path the protocol gives; on a shared connection every icon
// would answer as the first. A hidden icon's connection is closed, which
// tells every host at once that the item is gone.
#include "platform/linux/tray_bus.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <set>

#include "platform/linux/dbus_library.h"
#include "platform/linux/dbus_message.h"
#include "platform/linux/tray_item_export.h"
#include "platform/linux/tray_menu_export.h"
#include "platform/posix/names.h"
#include "platform/threads.h"

namespace hux::platform::tray {

using namespace dbus;

namespace {

const char kWatcherName[] = "org.kde.StatusNotifierWatcher";
const char kWatcherPath[] = "/StatusNotifierWatcher";
const char kItemPath[] = "/StatusNotifierItem";
const char kItemInterface[] = "org.kde.StatusNotifierItem";
const char kMenuInterface[] = "com.canonical.dbusmenu";
const char kPropertiesInterface[] = "org.freedesktop.DBus.Properties";
const char kIntrospectInterface[] = "org.freedesktop.DBus.Introspectable";
const int kStartWaitMs = 1500;

// Mouse messages the Windows shell sends for a press and a release.
constexpr uint64_t kLeftDown = 513, kLeftUp = 514, kRightDown = 516, kRightUp = 517, kMiddleDown = 519, kMiddleUp = 520;

// ---- the thread ----

enum class State { Idle, Starting, Ready, Failed };

// One connection to the bus: the thread's own (icon 0), which follows the
// watcher, or one icon's.
struct Link {
    DBusConnection* conn = nullptr;
    uint32_t icon = 0;
    std::vector<DBusWatch*> watches;
    std::set<uint32_t> pendingRegistrations;  // serials of requests to the watcher
    bool disconnected = false;
};

struct BusIcon {
    Link* link = nullptr;     // open while shown
    bool owned = false;       // holds its bus name
    bool registered = false;  // the watcher took it
};

struct Bus {
    const Library* d = nullptr;
    Link main;
    int wake[2] = {-1, -1};
    std::map<uint32_t, BusIcon> icons;  // bus thread only
    std::string appId;

    // Shared with Java threads.
    std::mutex stateLock;
    std::condition_variable stateChanged;
    State state = State::Idle;
    std::atomic<bool> watcherPresent{false};
    std::set<uint32_t> dirtyIcons;  // under shared().lock
    bool menuDirty = false;         // under shared().lock
};

Bus& bus() {
    static Bus* b = new Bus;  // lives until the process ends, the thread with it
    return *b;
}

void wakeBus() {
    Bus& b = bus();
    if (b.wake[1] < 0) return;
    const char byte = 1;
    ssize_t n = write(b.wake[1], &byte, 1);  // a full pipe is as good as a wake-up
    (void)n;
}

void setState(State s) {
    Bus& b = bus();
    {
        std::lock_guard<std::mutex> hold(b.stateLock);
        b.state = s;
    }
    b.stateChanged.notify_all();
}

std::string sessionAddress() {
    if (const char* a = std::getenv("DBUS_SESSION_BUS_ADDRESS")) return a;
    // Where the user's session bus listens when nothing names it.
    if (const char* dir = std::getenv("XDG_RUNTIME_DIR")) {
        const std::string socket = std::string(dir) + "/bus";
        struct stat st {};
        if (stat(socket.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_uid == getuid()) {
            return "unix:path=" + socket;
        }
    }
    return std::string();
}

std::string executableName() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "hux";
    path[n] = '\0';
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

void send(Link* link, DBusMessage* m) {
    Bus& b = bus();
    if (!m) return;
    if (link && link->conn) b.d->connection_send(link->conn, m, nullptr);
    b.d->message_unref(m);
}

Link* linkOf(uint32_t id) {
    auto it = bus().icons.find(id);
    return it == bus().icons.end() ? nullptr : it->second.link;
}

void sendRegistration(uint32_t id) {
    Bus& b = bus();
    DBusMessage* m =
        b.d->message_new_method_call(kWatcherName, kWatcherPath, kWatcherName, "RegisterStatusNotifierItem");
    if (!m) return;
    {
        Writer w(*b.d, m);
        w.string(itemBusName(id));
    }
    uint32_t serial = 0;
    Link* link = linkOf(id);
    if (link && b.d->connection_send(link->conn, m, &serial)) link->pendingRegistrations.insert(serial);
    b.d->message_unref(m);
}

void emitItemSignal(uint32_t id, const char* name) {
    Bus& b = bus();
    send(linkOf(id), b.d->message_new_signal(kItemPath, kItemInterface, name));
}

void emitLayoutUpdated(uint32_t id, uint32_t revision) {
    Bus& b = bus();
    DBusMessage* m = b.d->message_new_signal(menuPath(id).c_str(), kMenuInterface, "LayoutUpdated");
    if (!m) return;
    {
        Writer w(*b.d, m);
        w.uint32(revision);
        w.int32(0);
    }
    send(linkOf(id), m);
}

Link* openLink(uint32_t icon);
void closeLink(Link* link);

// Brings the bus in line with what the application asked for.
void applyChanges() {
    Bus& b = bus();
    Shared& s = shared();
    std::map<uint32_t, bool> wanted;
    bool menuDirty;
    uint32_t revision;
    {
        std::lock_guard<std::mutex> hold(s.lock);
        for (uint32_t id : b.dirtyIcons) {
            auto it = s.icons.find(id);
            wanted[id] = it != s.icons.end() && it->second.wanted;
            if (it != s.icons.end() && !it->second.wanted) s.icons.erase(it);
        }
        b.dirtyIcons.clear();
        menuDirty = b.menuDirty;
        b.menuDirty = false;
        revision = s.menus.revision();
    }
    for (const auto& [id, want] : wanted) {
        BusIcon& icon = b.icons[id];
        const std::string name = itemBusName(id);
        if (want && !icon.owned) {
            if (!icon.link) icon.link = openLink(id);
            if (!icon.link) continue;
            DBusError e;
            b.d->error_init(&e);
            const int r = b.d->bus_request_name(icon.link->conn, name.c_str(), kNameDoNotQueue, &e);
            if (b.d->error_is_set(&e)) b.d->error_free(&e);
            icon.owned = r == kRequestNamePrimaryOwner;
            if (icon.owned && b.watcherPresent.load()) sendRegistration(id);
        } else if (!want) {
            if (icon.link && icon.owned) {
                // Released with a reply before the connection closes, so a
                // showing right after (a new connection) finds the name free:
                // the bus orders nothing between two connections.
                DBusError e;
                b.d->error_init(&e);
                b.d->bus_release_name(icon.link->conn, name.c_str(), &e);
                if (b.d->error_is_set(&e)) b.d->error_free(&e);
            }
            if (icon.link) closeLink(icon.link);
            b.icons.erase(id);
        } else {
            emitItemSignal(id, "NewIcon");
            emitItemSignal(id, "NewToolTip");
            emitItemSignal(id, "NewTitle");
        }
    }
    if (menuDirty) {
        for (const auto& [id, icon] : b.icons) {
            if (icon.owned) emitLayoutUpdated(id, revision);
        }
    }
}

// ---- answering the hosts ----

DBusMessage* errorReply(DBusMessage* call, const char* name, const char* text) {
    return bus().d->message_new_error(call, name, text);
}

void command(uint32_t commandId) {
    TrayWindowHandlers h;
    {
        std::lock_guard<std::mutex> hold(shared().lock);
        h = shared().handlers;
    }
    if (h.command) h.command(commandId);
}

DBusMessage* introspection(DBusMessage* call, const char* xml) {
    DBusMessage* reply = bus().d->message_new_method_return(call);
    if (reply) {
        Writer w(*bus().d, reply);
        w.string(xml);
    }
    return reply;
}

// Method calls to the item and menu objects of the icon behind `link`; mouse
// clicks and menu commands reach the application after the reply has gone out.
int onMethodCall(Link* link, DBusMessage* m) {
    Bus& b = bus();
    if (link->icon == 0) return kHandlerNotYetHandled;
    const char* path = b.d->message_get_path(m);
    const char* iface = b.d->message_get_interface(m);
    const char* member = b.d->message_get_member(m);
    if (!path || !member) return kHandlerNotYetHandled;
    iface = iface ? iface : "";
    DBusMessage* reply = nullptr;
    uint32_t clickId = 0;
    uint64_t down = 0, up = 0;
    std::vector<uint32_t> commands;
    if (!std::strcmp(path, kItemPath)) {
        const uint32_t id = b.icons.count(link->icon) ? link->icon : 0;
        if (!std::strcmp(iface, kIntrospectInterface)) {
            reply = introspection(m, kItemXml);
        } else if (id == 0) {
            reply = errorReply(m, "org.freedesktop.DBus.Error.UnknownObject", "no icon is shown");
        } else if (!std::strcmp(iface, kPropertiesInterface) &&
                   (!std::strcmp(member, "Get") || !std::strcmp(member, "GetAll"))) {
            reply = itemProperties(*b.d, m, member, id, b.appId);
        } else if (!std::strcmp(iface, kItemInterface) || iface[0] == '\0') {
            if (!std::strcmp(member, "Activate")) {
                clickId = id, down = kLeftDown, up = kLeftUp;
            } else if (!std::strcmp(member, "SecondaryActivate")) {
                clickId = id, down = kMiddleDown, up = kMiddleUp;
            } else if (!std::strcmp(member, "ContextMenu")) {
                clickId = id, down = kRightDown, up = kRightUp;
            } else if (std::strcmp(member, "Scroll") != 0) {
                return kHandlerNotYetHandled;
            }
            reply = b.d->message_new_method_return(m);
        } else {
            return kHandlerNotYetHandled;
        }
    } else if (!std::strncmp(path, kMenuPathPrefix, std::strlen(kMenuPathPrefix))) {
        const uint32_t id = static_cast<uint32_t>(std::strtoul(path + std::strlen(kMenuPathPrefix), nullptr, 10));
        if (id != link->icon) return kHandlerNotYetHandled;
        if (!std::strcmp(iface, kIntrospectInterface)) {
            reply = introspection(m, kMenuXml);
        } else if (!std::strcmp(iface, kPropertiesInterface)) {
            reply = menuProperties(*b.d, m, member);
        } else if (!std::strcmp(iface, kMenuInterface) || iface[0] == '\0') {
            reply = menuCall(*b.d, m, member, id, commands);
            if (!reply) return kHandlerNotYetHandled;
        } else {
            return kHandlerNotYetHandled;
        }
    } else {
        return kHandlerNotYetHandled;
    }
    send(link, reply);
    if (clickId) deliverClick(clickId, down, up);
    for (uint32_t c : commands) command(c);
    return kHandlerHandled;
}

void onWatcherOwner(const std::string& owner) {
    Bus& b = bus();
    const bool present = !owner.empty();
    b.watcherPresent.store(present);
    for (auto& [id, icon] : b.icons) {
        icon.registered = false;
        if (present && icon.owned) sendRegistration(id);
    }
    posix::debugNote("tray: status notifier watcher %s", present ? "present" : "gone");
}

int filter(DBusConnection*, DBusMessage* m, void* data) {
    Bus& b = bus();
    Link* link = static_cast<Link*>(data);
    const int type = b.d->message_get_type(m);
    if (type == kMessageMethodCall) return onMethodCall(link, m);
    if (type == kMessageMethodReturn || type == kMessageError) {
        if (link->pendingRegistrations.erase(b.d->message_get_reply_serial(m)) == 0) return kHandlerNotYetHandled;
        auto icon = b.icons.find(link->icon);
        if (icon != b.icons.end()) icon->second.registered = type == kMessageMethodReturn;
        if (type == kMessageError) posix::debugNote("tray: the watcher refused icon %u", link->icon);
        return kHandlerHandled;
    }
    if (type == kMessageSignal) {
        const char* iface = b.d->message_get_interface(m);
        const char* member = b.d->message_get_member(m);
        if (iface && member && !std::strcmp(iface, "org.freedesktop.DBus.Local") &&
            !std::strcmp(member, "Disconnected")) {
            link->disconnected = true;
        } else if (link == &b.main && iface && member && !std::strcmp(iface, "org.freedesktop.DBus") &&
                   !std::strcmp(member, "NameOwnerChanged")) {
            Reader r(*b.d, m);
            std::string name, oldOwner, newOwner;
            if (r.string(name) && r.string(oldOwner) && r.string(newOwner) && name == kWatcherName) {
                onWatcherOwner(newOwner);
            }
        }
    }
    return kHandlerNotYetHandled;
}

dbus_bool_t addWatch(DBusWatch* w, void* data) {
    static_cast<Link*>(data)->watches.push_back(w);
    return 1;
}
void removeWatch(DBusWatch* w, void* data) {
    auto& ws = static_cast<Link*>(data)->watches;
    for (size_t i = 0; i < ws.size(); ++i) {
        if (ws[i] == w) {
            ws.erase(ws.begin() + static_cast<long>(i));
            return;
        }
    }
}
void toggleWatch(DBusWatch*, void*) {}  // the poll set is rebuilt on every turn

// Opens a connection for `link`, with its filter and watches; false (the
// connection, if any, left to the process's end) when the bus cannot be had.
bool openConnection(Link& link) {
    Bus& b = bus();
    const std::string address = sessionAddress();
    if (address.empty()) {
        posix::debugNote("tray: no session bus");
        return false;
    }
    DBusError e;
    b.d->error_init(&e);
    link.conn = b.d->connection_open_private(address.c_str(), &e);
    if (!link.conn || !b.d->bus_register(link.conn, &e)) {
        posix::debugNote("tray: cannot reach the session bus (%s)",
                         b.d->error_is_set(&e) && e.message ? e.message : "");
        if (b.d->error_is_set(&e)) b.d->error_free(&e);
        link.conn = nullptr;
        return false;
    }
    b.d->connection_set_exit_on_disconnect(link.conn, 0);
    b.d->connection_add_filter(link.conn, filter, &link, nullptr);
    b.d->connection_set_watch_functions(link.conn, addWatch, removeWatch, toggleWatch, &link, nullptr);
    return true;
}

Link* openLink(uint32_t icon) {
    Link* link = new Link;
    link->icon = icon;
    if (openConnection(*link)) return link;
    delete link;
    return nullptr;
}

// Closes an icon's connection, which drops its names, and frees the link: its
// watches are withdrawn first, so nothing refers to it afterwards.
void closeLink(Link* link) {
    Bus& b = bus();
    b.d->connection_set_watch_functions(link->conn, nullptr, nullptr, nullptr, nullptr, nullptr);
    b.d->connection_flush(link->conn);
    b.d->connection_close(link->conn);
    b.d->connection_unref(link->conn);
    delete link;
}

bool connect() {
    Bus& b = bus();
    if (!openConnection(b.main)) return false;
    DBusError e;
    b.d->error_init(&e);
    b.d->bus_add_match(b.main.conn,
                       "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
                       "member='NameOwnerChanged',arg0='org.kde.StatusNotifierWatcher'",
                       &e);
    if (b.d->error_is_set(&e)) b.d->error_free(&e);
    const bool present = b.d->bus_name_has_owner(b.main.conn, kWatcherName, &e) != 0;
    if (b.d->error_is_set(&e)) b.d->error_free(&e);
    b.watcherPresent.store(present);
    posix::debugNote("tray: on the session bus, watcher %s", present ? "present" : "absent");
    return true;
}

int busThread(void*) {
    Bus& b = bus();
    if (!connect()) {
        setState(State::Failed);
        return 0;
    }
    setState(State::Ready);
    std::vector<pollfd> fds;
    std::vector<Link*> links;
    while (!b.main.disconnected) {
        applyChanges();
        links.assign(1, &b.main);
        for (const auto& [id, icon] : b.icons) {
            if (icon.link && !icon.link->disconnected) links.push_back(icon.link);
        }
        for (Link* link : links) {
            while (b.d->connection_dispatch(link->conn) == kDispatchDataRemains) {
            }
        }
        if (b.main.disconnected) break;
        fds.clear();
        fds.push_back(pollfd{b.wake[0], POLLIN, 0});
        std::vector<DBusWatch*> active;
        for (Link* link : links) {
            for (DBusWatch* w : link->watches) {
                if (!b.d->watch_get_enabled(w)) continue;
                const unsigned flags = b.d->watch_get_flags(w);
                short events = 0;
                if (flags & kWatchReadable) events |= POLLIN;
                if (flags & kWatchWritable) events |= POLLOUT;
                fds.push_back(pollfd{b.d->watch_get_unix_fd(w), events, 0});
                active.push_back(w);
            }
        }
        if (poll(fds.data(), fds.size(), -1) < 0) continue;
        if (fds[0].revents & POLLIN) {
            char buf[64];
            while (read(b.wake[0], buf, sizeof buf) > 0) {
            }
        }
        for (size_t i = 0; i < active.size(); ++i) {
            const short r = fds[i + 1].revents;
            if (!r) continue;
            unsigned flags = 0;
            if (r & POLLIN) flags |= kWatchReadable;
            if (r & POLLOUT) flags |= kWatchWritable;
            if (r & POLLERR) flags |= kWatchError;
            if (r & POLLHUP) flags |= kWatchHangup;
            b.d->watch_handle(active[i], flags);
        }
    }
    posix::debugNote("tray: the session bus went away");
    b.watcherPresent.store(false);
    setState(State::Failed);
    return 0;
}

// Starts the bus thread once and waits a bounded time for its connection.
State ensureStarted() {
    Bus& b = bus();
    std::unique_lock<std::mutex> hold(b.stateLock);
    if (b.state == State::Idle) {
        b.state = State::Failed;
        b.d = library();
        if (b.d && pipe2(b.wake, O_NONBLOCK | O_CLOEXEC) == 0) {
            b.appId = executableName();
            b.state = State::Starting;
            Thread t;
            if (t.start(busThread, nullptr, 0, false)) {
                t.detach();
            } else {
                b.state = State::Failed;
            }
        }
    }
    b.stateChanged.wait_for(hold, std::chrono::milliseconds(kStartWaitMs), [&] { return b.state != State::Starting; });
    return b.state;
}

}  // namespace

void deliverClick(uint32_t id, uint64_t down, uint64_t up) {
    TrayWindowHandlers h;
    {
        std::lock_guard<std::mutex> hold(shared().lock);
        h = shared().handlers;
    }
    if (!h.mouse) return;
    h.mouse(id, down);
    h.mouse(id, up);
}

Shared& shared() {
    static Shared* s = new Shared;  // lives until the process ends
    return *s;
}

std::string itemBusName(uint32_t id) {
    return "org.kde.StatusNotifierItem-" + std::to_string(getpid()) + "-" + std::to_string(id);
}

bool iconRequest(TrayRequest request, uint32_t id, const std::string& tip, const std::vector<Pixmap>* images) {
    Bus& b = bus();
    if (request == TrayRequest::Add) {
        const State s = ensureStarted();
        if (s == State::Failed) return false;
    } else {
        std::lock_guard<std::mutex> hold(b.stateLock);
        if (b.state == State::Idle || b.state == State::Failed) return false;
    }
    Shared& sh = shared();
    {
        std::lock_guard<std::mutex> hold(sh.lock);
        auto it = sh.icons.find(id);
        switch (request) {
            case TrayRequest::Add: sh.icons[id] = IconState{tip, images, true}; break;
            case TrayRequest::Modify:
                if (it == sh.icons.end() || !it->second.wanted) return false;
                it->second.tip = tip;
                it->second.images = images;
                break;
            case TrayRequest::Delete:
                if (it == sh.icons.end()) return false;
                it->second.wanted = false;
                break;
        }
        b.dirtyIcons.insert(id);
    }
    wakeBus();
    return b.watcherPresent.load();
}

void menusChanged() {
    Bus& b = bus();
    {
        std::lock_guard<std::mutex> hold(b.stateLock);
        if (b.state == State::Idle || b.state == State::Failed) return;
    }
    {
        std::lock_guard<std::mutex> hold(shared().lock);
        b.menuDirty = true;
    }
    wakeBus();
}

}  // namespace hux::platform::tray
