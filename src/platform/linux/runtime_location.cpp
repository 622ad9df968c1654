// Java runtimes on Linux: libjvm.so under the runtime's lib directories, and
// the distribution's default runtime.
#include <climits>
#include <cstdlib>
#include <string>

#include "platform/runtime_location.h"

namespace hux::platform {

const char* runtimeLibraryName() { return "libjvm.so"; }

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

}  // namespace hux::platform
