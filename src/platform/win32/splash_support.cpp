// The splash screen's system facilities on Windows.
#include <windows.h>

#include "platform/splash_support.h"

namespace hux::platform {

const char* splashLibraryName() { return "splashscreen.dll"; }

bool splashNeedsRuntimeLibrary() { return false; }

bool loadsSplashLibraryWithoutImage() { return true; }

bool dependenciesFollowPath() { return true; }

bool rawDataResource(int id, const void*& data, uint32_t& size) {
    HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(10) /* RT_RCDATA */);
    if (!found) return false;
    HGLOBAL loaded = LoadResource(nullptr, found);
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    if (!bytes) return false;
    data = bytes;
    size = SizeofResource(nullptr, found);
    return true;
}

}  // namespace hux::platform
