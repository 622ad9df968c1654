// Java runtimes on Windows: jvm.dll under the runtime's bin directories. The
// system names its runtimes through the registry registrations instead.
#include "platform/runtime_location.h"

namespace hux::platform {

const char* runtimeLibraryName() { return "jvm.dll"; }

const char* const* runtimeProbePrefixes() {
    static const char* const prefixes[] = {"", "bin\\", "jre\\bin\\", "..\\jre\\bin\\", nullptr};
    return prefixes;
}

void systemRuntimeHomes(StringList& /*out*/) {}

}  // namespace hux::platform
