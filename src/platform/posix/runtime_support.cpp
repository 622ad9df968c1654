// Java runtime location, command line and privileges on Linux.
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "platform/platform.h"

namespace hux::platform {

const char* runtimeLibraryName() { return "libjvm.so"; }

const char* const* runtimeProbePrefixes() {
    static const char* const prefixes[] = {"", "lib/", "jre/lib/", "jre/lib/amd64/", "../jre/lib/", nullptr};
    return prefixes;
}

char classPathSeparator() { return ':'; }

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

bool readRegistryString(int /*root*/, const char* /*keyPath*/, const char* /*valueName*/, ByteString& /*out*/) {
    return false;
}

bool hasRegistry() { return false; }

bool rawCommandLine(ByteString& /*out*/) { return false; }

bool isProcessElevated() { return geteuid() == 0; }

}  // namespace hux::platform
