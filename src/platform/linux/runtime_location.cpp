// Java runtimes on Linux: libjvm.so under the runtime's lib directories, and
// the distribution's default runtime.
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "platform/runtime_location.h"

namespace hux::platform {

const char* runtimeLibraryName() { return "libjvm.so"; }

const char* javaProgramName() { return "java"; }

const char* const* runtimeProbePrefixes() {
    static const char* const prefixes[] = {"", "lib/", "jre/lib/", "jre/lib/amd64/", "../jre/lib/", nullptr};
    return prefixes;
}

void systemRuntimeHomes(StringList& out) {
    // The distribution's default runtime, then the one the `java` alternative
    // points at (its home is two levels above <home>/bin/java).
    out.append("/usr/lib/jvm/default-java");
    char resolved[PATH_MAX];
    if (!realpath("/etc/alternatives/java", resolved)) return;
    std::string home = resolved;
    for (int i = 0; i < 2; ++i) {
        const size_t cut = home.rfind('/');
        if (cut == std::string::npos || cut == 0) return;
        home.resize(cut);
    }
    out.append(std::string_view(home));
}

bool javaLauncherOnPath(ByteString& launcher) {
    const char* path = std::getenv("PATH");
    if (!path) return false;
    std::string_view rest(path);
    while (true) {
        const size_t colon = rest.find(':');
        std::string dir(rest.substr(0, colon));
        // An empty element names the current directory, as the shell has it.
        if (dir.empty()) dir = ".";
        const std::string candidate = dir + "/java";
        char resolved[PATH_MAX];
        if (access(candidate.c_str(), X_OK) == 0 && realpath(candidate.c_str(), resolved)) {
            launcher.assign(resolved);
            return true;
        }
        if (colon == std::string_view::npos) return false;
        rest.remove_prefix(colon + 1);
    }
}

}  // namespace hux::platform
