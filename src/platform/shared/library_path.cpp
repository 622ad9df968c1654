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
    putEnv(assignment.c_str());
    return library.load(path.c_str(), global);
}

}  // namespace hux::platform
