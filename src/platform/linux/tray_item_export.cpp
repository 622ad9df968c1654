// The status item object (org.kde.StatusNotifierItem) of each icon: its
// introspection data and its properties, read from the shared icon state.
#include "platform/linux/tray_item_export.h"

#include <cstring>
#include <mutex>
#include <string>

#include "platform/linux/dbus_message.h"
#include "platform/linux/tray_bus.h"

namespace hux::platform::tray {

using namespace dbus;

const char kMenuPathPrefix[] = "/MenuBar/";

const char kItemXml[] =
    "<node><interface name=\"org.kde.StatusNotifierItem\">"
    "<property name=\"Category\" type=\"s\" access=\"read\"/><property name=\"Id\" type=\"s\" access=\"read\"/>"
    "<property name=\"Title\" type=\"s\" access=\"read\"/><property name=\"Status\" type=\"s\" access=\"read\"/>"
    "<property name=\"WindowId\" type=\"i\" access=\"read\"/>"
    "<property name=\"IconName\" type=\"s\" access=\"read\"/>"
    "<property name=\"IconPixmap\" type=\"a(iiay)\" access=\"read\"/>"
    "<property name=\"OverlayIconName\" type=\"s\" access=\"read\"/>"
    "<property name=\"OverlayIconPixmap\" type=\"a(iiay)\" access=\"read\"/>"
    "<property name=\"AttentionIconName\" type=\"s\" access=\"read\"/>"
    "<property name=\"AttentionIconPixmap\" type=\"a(iiay)\" access=\"read\"/>"
    "<property name=\"AttentionMovieName\" type=\"s\" access=\"read\"/>"
    "<property name=\"ToolTip\" type=\"(sa(iiay)ss)\" access=\"read\"/>"
    "<property name=\"ItemIsMenu\" type=\"b\" access=\"read\"/><property name=\"Menu\" type=\"o\" access=\"read\"/>"
    "<property name=\"IconThemePath\" type=\"s\" access=\"read\"/>"
    "<method name=\"ContextMenu\"><arg type=\"i\" direction=\"in\"/><arg type=\"i\" direction=\"in\"/></method>"
    "<method name=\"Activate\"><arg type=\"i\" direction=\"in\"/><arg type=\"i\" direction=\"in\"/></method>"
    "<method name=\"SecondaryActivate\"><arg type=\"i\" direction=\"in\"/><arg type=\"i\" direction=\"in\"/>"
    "</method><method name=\"Scroll\"><arg type=\"i\" direction=\"in\"/><arg type=\"s\" direction=\"in\"/>"
    "</method><signal name=\"NewTitle\"/><signal name=\"NewIcon\"/><signal name=\"NewToolTip\"/>"
    "<signal name=\"NewStatus\"><arg type=\"s\"/></signal></interface></node>";

std::string menuPath(uint32_t id) { return kMenuPathPrefix + std::to_string(id); }

namespace {

const char kItemInterface[] = "org.kde.StatusNotifierItem";

void pixmaps(Writer& w, const std::vector<Pixmap>* images) {
    Writer array(w, kTypeArray, "(iiay)");
    if (!images) return;
    for (const Pixmap& p : *images) {
        Writer s(array, kTypeStruct, nullptr);
        s.int32(p.width);
        s.int32(p.height);
        Writer a(s, kTypeArray, "y");
        a.bytes(p.argb);
    }
}

struct IconView {
    std::string tip;
    const std::vector<Pixmap>* images = nullptr;
};

bool iconView(uint32_t id, IconView& out) {
    Shared& s = shared();
    std::lock_guard<std::mutex> hold(s.lock);
    auto it = s.icons.find(id);
    if (it == s.icons.end() || !it->second.wanted) return false;
    out.tip = it->second.tip;
    out.images = it->second.images;
    return true;
}

// The value of item property `name`, as a variant.
void itemValue(Writer& entry, const char* name, uint32_t id, const IconView& view, const std::string& appId) {
    const std::string title = view.tip.empty() ? appId : view.tip;
    if (!std::strcmp(name, "Category")) return variantString(entry, "ApplicationStatus");
    if (!std::strcmp(name, "Id")) return variantString(entry, appId.c_str());
    if (!std::strcmp(name, "Title")) return variantString(entry, title.c_str());
    if (!std::strcmp(name, "Status")) return variantString(entry, "Active");
    if (!std::strcmp(name, "WindowId")) {
        Writer v(entry, kTypeVariant, "i");
        return v.int32(0);
    }
    if (!std::strcmp(name, "IconPixmap")) {
        Writer v(entry, kTypeVariant, "a(iiay)");
        return pixmaps(v, view.images);
    }
    if (!std::strcmp(name, "OverlayIconPixmap") || !std::strcmp(name, "AttentionIconPixmap")) {
        Writer v(entry, kTypeVariant, "a(iiay)");
        return pixmaps(v, nullptr);
    }
    if (!std::strcmp(name, "ToolTip")) {
        Writer v(entry, kTypeVariant, "(sa(iiay)ss)");
        Writer s(v, kTypeStruct, nullptr);
        s.string("");
        pixmaps(s, nullptr);
        s.string(view.tip);
        s.string("");
        return;
    }
    if (!std::strcmp(name, "ItemIsMenu")) {
        Writer v(entry, kTypeVariant, "b");
        return v.boolean(false);
    }
    if (!std::strcmp(name, "Menu")) {
        Writer v(entry, kTypeVariant, "o");
        return v.path(menuPath(id));
    }
    variantString(entry, "");  // the icon, overlay and attention names, the theme path
}

void itemProperty(Writer& dict, const char* name, uint32_t id, const IconView& view, const std::string& appId) {
    Writer entry(dict, kTypeDictEntry, nullptr);
    entry.string(name);
    itemValue(entry, name, id, view, appId);
}

const char* const kItemProperties[] = {"Category",
                                       "Id",
                                       "Title",
                                       "Status",
                                       "WindowId",
                                       "IconName",
                                       "IconPixmap",
                                       "OverlayIconName",
                                       "OverlayIconPixmap",
                                       "AttentionIconName",
                                       "AttentionIconPixmap",
                                       "AttentionMovieName",
                                       "ToolTip",
                                       "ItemIsMenu",
                                       "Menu",
                                       "IconThemePath"};

bool knownItemProperty(const std::string& name) {
    for (const char* p : kItemProperties) {
        if (name == p) return true;
    }
    return false;
}

}  // namespace

DBusMessage* itemProperties(const Library& d, DBusMessage* call, const char* member, uint32_t id,
                            const std::string& appId) {
    Reader r(d, call);
    std::string iface, name;
    r.string(iface);
    const bool all = !std::strcmp(member, "GetAll");
    if (!all && (!r.string(name) || iface != kItemInterface || !knownItemProperty(name))) {
        return d.message_new_error(call, "org.freedesktop.DBus.Error.UnknownProperty", "no such property");
    }
    IconView view;
    if (!iconView(id, view))
        return d.message_new_error(call, "org.freedesktop.DBus.Error.UnknownObject", "no such icon");
    DBusMessage* reply = d.message_new_method_return(call);
    if (!reply) return nullptr;
    Writer w(d, reply);
    if (all) {
        Writer dict(w, kTypeArray, "{sv}");
        if (iface == kItemInterface) {
            for (const char* p : kItemProperties) itemProperty(dict, p, id, view, appId);
        }
    } else {
        itemValue(w, name.c_str(), id, view, appId);
    }
    return reply;
}

}  // namespace hux::platform::tray
