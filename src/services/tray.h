// Notification-area icons and menus.
#pragma once

namespace hux {

namespace jni {
class VmSlot;
}

// Starts the hidden message window on its own thread and waits until it is
// ready (30 seconds at most). Clicks and menu commands reach the
// application's callback through the virtual machine in `vm` (the launch's
// host keeps it), while there is one.
void startTrayWindow(const jni::VmSlot& vm);
// Removes every icon; only the first call does anything.
void removeAllTrayIcons();

}  // namespace hux
