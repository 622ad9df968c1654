// Dynamic libraries loaded into the process.
#pragma once

#include "common/byte_string.h"
#include "platform/status.h"

namespace hux::platform {

class DynamicLibrary {
public:
    DynamicLibrary() = default;
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;
    ~DynamicLibrary() = default;  // libraries stay loaded unless unload() is called
    // Fails with "cannot load 'path': why" (on Linux the loader's own text,
    // code 0; on Windows GetLastError's).
    Status load(const char* path, bool global);
    void* symbol(const char* name) const;
    void unload();
    bool loaded() const { return handle_ != nullptr; }
    void* handle() const { return handle_; }

private:
    void* handle_ = nullptr;
};

// The system's text for this thread's last library-loading failure as the
// system words it, without a trailing line break (dlerror on Linux, naming
// the path first; the system message table on Windows, with its "%1"): the
// launcher prints it as it stands.
ByteString lastLoadErrorText();

// Loads the library at `path`. Where a library's dependencies are found
// through PATH and the first load fails, `directory` is appended to PATH (for
// the rest of the process) and the load is tried once more.
Status loadWithDirectoryOnPath(DynamicLibrary& library, const ByteString& path, const ByteString& directory,
                               bool global);

}  // namespace hux::platform
