// The pop-up menu of the status items as com.canonical.dbusmenu: layouts,
// item properties, events and the about-to-show call that asks the
// application for its menu.
#include "platform/linux/tray_menu_export.h"

#include <cstring>
#include <mutex>
#include <optional>

#include "platform/linux/dbus_message.h"
#include "platform/linux/tray_bus.h"

namespace hux::platform::tray {

using namespace dbus;

namespace {

constexpr uint64_t kRightDown = 516, kRightUp = 517;
const char kMenuInterface[] = "com.canonical.dbusmenu";

void nodeProperties(Writer& dict, const LayoutNode& node, const std::vector<std::string>& names) {
    auto wanted = [&](const char* n) {
        if (names.empty()) return true;
        for (const std::string& s : names) {
            if (s == n) return true;
        }
        return false;
    };
    auto entryString = [&](const char* key, const std::string& value) {
        if (!wanted(key)) return;
        Writer e(dict, kTypeDictEntry, nullptr);
        e.string(key);
        variantString(e, value.c_str());
    };
    auto entryBool = [&](const char* key, bool value) {
        if (!wanted(key)) return;
        Writer e(dict, kTypeDictEntry, nullptr);
        e.string(key);
        Writer v(e, kTypeVariant, "b");
        v.boolean(value);
    };
    switch (node.kind) {
        case LayoutNode::Kind::Root: entryString("children-display", "submenu"); break;
        case LayoutNode::Kind::Separator:
            entryString("type", "separator");
            entryBool("visible", true);
            break;
        case LayoutNode::Kind::Submenu:
            entryString("label", node.label);
            entryBool("enabled", true);
            entryBool("visible", true);
            entryString("children-display", "submenu");
            break;
        case LayoutNode::Kind::Item:
            entryString("label", node.label);
            entryBool("enabled", true);
            entryBool("visible", true);
            break;
    }
}

void layoutNode(Writer& w, const LayoutNode& node, const std::vector<std::string>& names) {
    Writer s(w, kTypeStruct, nullptr);
    s.int32(node.id);
    {
        Writer dict(s, kTypeArray, "{sv}");
        nodeProperties(dict, node, names);
    }
    Writer children(s, kTypeArray, "v");
    for (const LayoutNode& child : node.children) {
        Writer v(children, kTypeVariant, "(ia{sv}av)");
        layoutNode(v, child, names);
    }
}

// The host is about to show the menu of icon `id`: the application hears a
// right click (it answers with SystemTrayMenu.Popup, which picks the menu the
// root shows). True when the layout changed meanwhile.
bool aboutToShowRoot(uint32_t id) {
    uint32_t before;
    {
        std::lock_guard<std::mutex> hold(shared().lock);
        before = shared().menus.revision();
    }
    deliverClick(id, kRightDown, kRightUp);
    std::lock_guard<std::mutex> hold(shared().lock);
    return shared().menus.revision() != before;
}

}  // namespace

const char kMenuXml[] =
    "<node><interface name=\"com.canonical.dbusmenu\">"
    "<property name=\"Version\" type=\"u\" access=\"read\"/>"
    "<property name=\"TextDirection\" type=\"s\" access=\"read\"/>"
    "<property name=\"Status\" type=\"s\" access=\"read\"/>"
    "<property name=\"IconThemePath\" type=\"as\" access=\"read\"/>"
    "<method name=\"GetLayout\"><arg type=\"i\" direction=\"in\"/><arg type=\"i\" direction=\"in\"/>"
    "<arg type=\"as\" direction=\"in\"/><arg type=\"u\" direction=\"out\"/>"
    "<arg type=\"(ia{sv}av)\" direction=\"out\"/></method>"
    "<method name=\"GetGroupProperties\"><arg type=\"ai\" direction=\"in\"/><arg type=\"as\" direction=\"in\"/>"
    "<arg type=\"a(ia{sv})\" direction=\"out\"/></method>"
    "<method name=\"GetProperty\"><arg type=\"i\" direction=\"in\"/><arg type=\"s\" direction=\"in\"/>"
    "<arg type=\"v\" direction=\"out\"/></method>"
    "<method name=\"Event\"><arg type=\"i\" direction=\"in\"/><arg type=\"s\" direction=\"in\"/>"
    "<arg type=\"v\" direction=\"in\"/><arg type=\"u\" direction=\"in\"/></method>"
    "<method name=\"EventGroup\"><arg type=\"a(isvu)\" direction=\"in\"/><arg type=\"ai\" direction=\"out\"/>"
    "</method><method name=\"AboutToShow\"><arg type=\"i\" direction=\"in\"/>"
    "<arg type=\"b\" direction=\"out\"/></method>"
    "<method name=\"AboutToShowGroup\"><arg type=\"ai\" direction=\"in\"/><arg type=\"ai\" direction=\"out\"/>"
    "<arg type=\"ai\" direction=\"out\"/></method>"
    "<signal name=\"ItemsPropertiesUpdated\"><arg type=\"a(ia{sv})\"/><arg type=\"a(ias)\"/></signal>"
    "<signal name=\"LayoutUpdated\"><arg type=\"u\"/><arg type=\"i\"/></signal>"
    "<signal name=\"ItemActivationRequested\"><arg type=\"i\"/><arg type=\"u\"/></signal>"
    "</interface></node>";

DBusMessage* menuCall(const Library& d, DBusMessage* call, const char* member, uint32_t id,
                      std::vector<uint32_t>& clicked) {
    Reader r(d, call);
    if (!std::strcmp(member, "GetLayout")) {
        int32_t parent = 0, depth = -1;
        r.int32(parent);
        r.int32(depth);
        const std::vector<std::string> names = readStrings(r);
        std::optional<LayoutNode> node;
        uint32_t revision;
        {
            std::lock_guard<std::mutex> hold(shared().lock);
            node = shared().menus.layout(parent, depth);
            revision = shared().menus.revision();
        }
        if (!node) return d.message_new_error(call, "org.freedesktop.DBus.Error.InvalidArgs", "no such menu item");
        DBusMessage* reply = d.message_new_method_return(call);
        if (!reply) return nullptr;
        Writer w(d, reply);
        w.uint32(revision);
        layoutNode(w, *node, names);
        return reply;
    }
    if (!std::strcmp(member, "GetGroupProperties") || !std::strcmp(member, "GetProperty")) {
        const bool group = member[3] == 'G';
        std::vector<int32_t> ids;
        std::vector<std::string> names;
        if (group) {
            ids = readInts(r);
            names = readStrings(r);
        } else {
            int32_t one = 0;
            std::string name;
            r.int32(one);
            r.string(name);
            ids.push_back(one);
            names.push_back(name);
        }
        std::vector<LayoutNode> nodes;
        {
            std::lock_guard<std::mutex> hold(shared().lock);
            for (int32_t i : ids) {
                if (std::optional<LayoutNode> n = shared().menus.layout(i, 0)) nodes.push_back(std::move(*n));
            }
        }
        if (!group && nodes.empty())
            return d.message_new_error(call, "org.freedesktop.DBus.Error.InvalidArgs", "no such item");
        DBusMessage* reply = d.message_new_method_return(call);
        if (!reply) return nullptr;
        Writer w(d, reply);
        if (group) {
            Writer array(w, kTypeArray, "(ia{sv})");
            for (const LayoutNode& n : nodes) {
                Writer s(array, kTypeStruct, nullptr);
                s.int32(n.id);
                Writer dict(s, kTypeArray, "{sv}");
                nodeProperties(dict, n, names);
            }
        } else {
            // The value alone: the label, or an empty text for anything else.
            Writer v(w, kTypeVariant, "s");
            v.string(names[0] == "label" ? nodes[0].label : std::string());
        }
        return reply;
    }
    if (!std::strcmp(member, "Event") || !std::strcmp(member, "EventGroup")) {
        std::vector<int32_t> errors;
        auto event = [&](int32_t item, const std::string& kind) {
            std::optional<uint32_t> cmd;
            {
                std::lock_guard<std::mutex> hold(shared().lock);
                cmd = shared().menus.commandOf(item);
                if (!cmd && item != 0 && !shared().menus.layout(item, 0)) errors.push_back(item);
            }
            if (cmd && kind == "clicked") clicked.push_back(*cmd);
        };
        if (member[5] == '\0') {
            int32_t item = 0;
            std::string kind;
            r.int32(item);
            r.string(kind);
            event(item, kind);
        } else {
            Reader array(r);
            if (r.enter(kTypeArray, array)) {
                Reader s(array);
                while (array.enter(kTypeStruct, s)) {
                    int32_t item = 0;
                    std::string kind;
                    s.int32(item);
                    s.string(kind);
                    event(item, kind);
                }
            }
        }
        DBusMessage* reply = d.message_new_method_return(call);
        if (reply && member[5] != '\0') {
            Writer w(d, reply);
            Writer a(w, kTypeArray, "i");
            for (int32_t e : errors) a.int32(e);
        }
        return reply;
    }
    if (!std::strcmp(member, "AboutToShow") || !std::strcmp(member, "AboutToShowGroup")) {
        const bool group = member[11] != '\0';
        std::vector<int32_t> ids;
        if (group) {
            ids = readInts(r);
        } else {
            int32_t one = 0;
            r.int32(one);
            ids.push_back(one);
        }
        bool update = false;
        for (int32_t i : ids) {
            if (i == 0) update = aboutToShowRoot(id) || update;
        }
        DBusMessage* reply = d.message_new_method_return(call);
        if (!reply) return nullptr;
        Writer w(d, reply);
        if (!group) {
            w.boolean(update);
        } else {
            {
                Writer a(w, kTypeArray, "i");
                if (update) a.int32(0);
            }
            Writer e(w, kTypeArray, "i");
        }
        return reply;
    }
    return nullptr;
}

DBusMessage* menuProperties(const Library& d, DBusMessage* call, const char* member) {
    Reader r(d, call);
    std::string iface, name;
    r.string(iface);
    const bool all = !std::strcmp(member, "GetAll");
    if (!all) r.string(name);
    DBusMessage* reply = d.message_new_method_return(call);
    if (!reply) return nullptr;
    Writer w(d, reply);
    auto value = [&](Writer& into, const std::string& n) {
        if (n == "Version") {
            Writer v(into, kTypeVariant, "u");
            v.uint32(3);
        } else if (n == "IconThemePath") {
            Writer v(into, kTypeVariant, "as");
            Writer a(v, kTypeArray, "s");
        } else {
            variantString(into, n == "TextDirection" ? "ltr" : "normal");
        }
    };
    if (all) {
        Writer dict(w, kTypeArray, "{sv}");
        if (iface == kMenuInterface) {
            for (const char* n : {"Version", "TextDirection", "Status", "IconThemePath"}) {
                Writer e(dict, kTypeDictEntry, nullptr);
                e.string(n);
                value(e, n);
            }
        }
    } else {
        value(w, name);
    }
    return reply;
}

}  // namespace hux::platform::tray
