// Notification-area icons and menus.
#pragma once

namespace hux {

// Starts the hidden message window on its own thread and waits until it is
// ready (30 seconds at most).
void startTrayWindow();
// Removes every icon; only the first call does anything.
void removeAllTrayIcons();

}  // namespace hux
