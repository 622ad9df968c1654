// Notification-area icons and menus.
#pragma once

#include <jni.h>

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
// The application's callback for clicks and menu commands, held as a global
// reference (null drops it); the natives set it.
void setTrayCallback(JNIEnv* env, jobject callback);

}  // namespace hux
