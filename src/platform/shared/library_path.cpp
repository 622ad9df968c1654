// Loading a library whose dependencies sit in another directory, the same on
// every platform.
#include "platform/environment.h"
#include "platform/files.h"
#include "platform/libraries.h"
#include "platform/splash_support.h"

namespace hux::platform {

Status loadWithDirectoryOnPath(DynamicLibrary& library, const ByteString& path, const ByteString& directory,
                               bool global) {
    Status loaded = library.load(path.c_str(), global);
    if (loaded || !dependenciesFollowPath()) return loaded;
    ByteString current;
    getEnv("PATH", current);
    ByteString assignment("PATH=");
    assignment.append(current);
    assignment.push(pathListSeparator());
    assignment.append(directory);
    // Unset, the retry fails as the first load did.
    putEnv(assignment.c_str()).ignore();
    return library.load(path.c_str(), global);
}

}  // namespace hux::platform
