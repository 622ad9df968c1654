// The splash screen's system facilities on Windows.
#include "platform/splash_support.h"

namespace hux::platform {

const char* splashLibraryName() { return "splashscreen.dll"; }

bool splashNeedsRuntimeLibrary() { return false; }

bool loadsSplashLibraryWithoutImage() { return true; }

bool dependenciesFollowPath() { return true; }

}  // namespace hux::platform
