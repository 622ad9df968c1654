// Environment variables on Windows, through the C runtime (whose names compare
// without regard to case, as the system's do).
#include <cstdlib>
#include <cstring>

#include "platform/environment.h"

namespace hux::platform {

bool getEnv(const char* name, ByteString& value) {
    if (!name || !name[0]) return false;
    const char* v = std::getenv(name);
    if (!v) return false;
    value = ByteString(v);
    return true;
}

void putEnv(const char* assignment) {
    if (assignment && std::strchr(assignment, '=')) _putenv(assignment);
}

}  // namespace hux::platform
