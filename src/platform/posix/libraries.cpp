// Dynamic libraries on POSIX systems: dlopen and dlsym.
#include <dlfcn.h>

#include <string>

#include "platform/libraries.h"

namespace hux::platform {

namespace {
thread_local std::string lastLoadError;
}

bool DynamicLibrary::load(const char* path, bool global) {
    handle_ = dlopen(path, RTLD_NOW | (global ? RTLD_GLOBAL : RTLD_LOCAL));
    if (!handle_) {
        const char* e = dlerror();
        lastLoadError = e ? e : "cannot load library";
        return false;
    }
    return true;
}

void* DynamicLibrary::symbol(const char* name) const { return handle_ ? dlsym(handle_, name) : nullptr; }

void DynamicLibrary::unload() {
    if (handle_) dlclose(handle_);
    handle_ = nullptr;
}

ByteString lastLoadErrorText() { return ByteString(lastLoadError); }

}  // namespace hux::platform
