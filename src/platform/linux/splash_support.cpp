// The splash screen's system facilities on Linux.
#include "platform/splash_support.h"

namespace hux::platform {

const char* splashLibraryName() { return "libsplashscreen.so"; }

// The runtime's libsplashscreen.so needs libjvm.so without naming where it is
// (its libjava.so finds no libjvm.so of its own), so the runtime library has
// to be in the process first.
bool splashNeedsRuntimeLibrary() { return true; }

// Executables carry no built-in image, and the library maps X11 and a score of
// other libraries: without an image file it could never show anything.
bool loadsSplashLibraryWithoutImage() { return false; }

// dlopen of a path with a '/' never searches PATH.
bool dependenciesFollowPath() { return false; }

}  // namespace hux::platform
