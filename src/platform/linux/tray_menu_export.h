// The exported menu of the status items (com.canonical.dbusmenu).
#pragma once

#include <cstdint>
#include <vector>

#include "platform/linux/dbus_library.h"

namespace hux::platform::tray {

// Introspection data of a menu object.
extern const char kMenuXml[];

// Answers a com.canonical.dbusmenu call on the menu of icon `icon`; the
// command ids of picked items are added to `commands`, for the caller to
// deliver after the reply. Null for a method the menu does not have.
dbus::DBusMessage* menuCall(const dbus::Library& d, dbus::DBusMessage* call, const char* member, uint32_t icon,
                            std::vector<uint32_t>& commands);
// Properties.Get / GetAll on a menu object.
dbus::DBusMessage* menuProperties(const dbus::Library& d, dbus::DBusMessage* call, const char* member);

}  // namespace hux::platform::tray
