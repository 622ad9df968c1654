// Dynamic libraries on POSIX systems: dlopen and dlsym.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/libraries.h"

namespace hux::platform {

namespace {
// A plain buffer (nothing to destroy at exit), large enough for a message
// that names a path of PATH_MAX bytes.
thread_local char lastLoadError[4096 + 256];
}  // namespace

Status DynamicLibrary::load(const char* path, bool global) {
    handle_ = dlopen(path, RTLD_NOW | (global ? RTLD_GLOBAL : RTLD_LOCAL));
    if (handle_) return {};
    const char* e = dlerror();
    std::snprintf(lastLoadError, sizeof lastLoadError, "%s", e ? e : "cannot load library");
    // The loader's text starts with the path ("<path>: why"); the failure
    // names it once.
    std::string_view why(lastLoadError);
    const size_t length = std::strlen(path);
    if (why.substr(0, length) == path && why.substr(length, 2) == ": ") why.remove_prefix(length + 2);
    return Status::failure(describe("cannot load", path) + ": " + std::string(why));
}

void* DynamicLibrary::symbol(const char* name) const { return handle_ ? dlsym(handle_, name) : nullptr; }

void DynamicLibrary::unload() {
    if (handle_) dlclose(handle_);
    handle_ = nullptr;
}

ByteString lastLoadErrorText() { return ByteString(lastLoadError); }

}  // namespace hux::platform
