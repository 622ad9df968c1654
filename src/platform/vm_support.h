// Operating-system services around hosting the Java virtual machine.
#pragma once

#include "platform/status.h"

namespace hux::platform {

// Adds "fail critical errors" and "no open-file error box" to the process error
// mode, so that a failing library load shows no dialog (nothing elsewhere).
void addLibraryErrorMode();

// Whether the launcher binds the support classes' natives itself with
// RegisterNatives (true where the executable cannot be loaded as a library:
// on Linux, and on Windows when its path is MAX_PATH characters or longer).
bool bindsNativesItself();

// Installs `handler` for SIGINT and SIGTERM. On Windows the runtime library's
// signal facility calls it on its own thread. Elsewhere the signal handler only
// wakes a launcher thread, which calls `handler` there (so it may call into the
// virtual machine). A signal that was ignored at process start stays ignored.
// The failure when the handler (or its thread) could not be put in place.
using SignalHandler = void (*)(int signal);
Status installInterruptHandler(SignalHandler handler);
// Calls the handler that installInterruptHandler replaced for `signal`, when
// that was a real function (not default, ignore or error).
void chainInterruptHandler(int signal);

}  // namespace hux::platform
