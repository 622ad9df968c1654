// Environment variables on Windows, through the C runtime (whose names compare
// without regard to case, as the system's do).
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/environment.h"

namespace hux::platform {

bool getEnv(const char* name, ByteString& value) {
    if (!name || !name[0]) return false;
    const char* v = std::getenv(name);
    if (!v) return false;
    value = ByteString(v);
    return true;
}

Status putEnv(const char* assignment) {
    const char* eq = assignment ? std::strchr(assignment, '=') : nullptr;
    if (!eq) return Status::failure(describe("cannot set", assignment ? assignment : "") + ": not NAME=value");
    if (_putenv(assignment) == 0) return {};
    // The runtime library's errno, with its own words for it.
    const int code = errno;
    const std::string name(assignment, static_cast<size_t>(eq - assignment));
    return Status::failure(describe("cannot set", name) + ": " + std::strerror(code), code);
}

}  // namespace hux::platform
