// The status item object of each icon (org.kde.StatusNotifierItem): what
// the hosts read of it. The bus thread answers their calls with these.
#pragma once

#include <cstdint>
#include <string>

#include "platform/linux/dbus_library.h"

namespace hux::platform::tray {

// Introspection data of an item object.
extern const char kItemXml[];

// Where icon `id`'s menu object lives: kMenuPathPrefix and the id.
extern const char kMenuPathPrefix[];
std::string menuPath(uint32_t id);

// Properties.Get / GetAll on the item object of icon `id`, whose application
// is `appId` (the title of an icon without a tip); an error reply for a
// property the item does not have or an icon no longer shown.
dbus::DBusMessage* itemProperties(const dbus::Library& d, dbus::DBusMessage* call, const char* member, uint32_t id,
                                  const std::string& appId);

}  // namespace hux::platform::tray
