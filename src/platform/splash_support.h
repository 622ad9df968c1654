// What the splash screen needs from the operating system.
#pragma once

namespace hux::platform {

// File name of the runtime's splash library ("splashscreen.dll",
// "libsplashscreen.so"); it lives in the parent of the runtime library's
// directory.
const char* splashLibraryName();

// Whether the splash library resolves symbols of the runtime library, so that
// the runtime library must be loaded (globally) before it (Linux).
bool splashNeedsRuntimeLibrary();

// Whether the splash library is loaded even when there is no image file to
// show (Windows, where the executable's built-in image may serve). Where it
// is not, a launch without a readable image file never maps the library and
// the libraries it pulls in.
bool loadsSplashLibraryWithoutImage();

// Whether a library that fails to load may load once its own directory is on
// PATH, because the system searches PATH for the libraries it depends on
// (Windows).
bool dependenciesFollowPath();

}  // namespace hux::platform
