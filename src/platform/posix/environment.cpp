// Environment variables on POSIX systems.
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/utf.h"
#include "platform/environment.h"

extern char** environ;

namespace hux::platform {

bool getEnv(const char* name, ByteString& value) {
    if (!name || !name[0]) return false;
    if (const char* v = std::getenv(name)) {
        value = ByteString(v);
        return true;
    }
    // Configuration written for Windows names variables without regard to case.
    const size_t n = std::strlen(name);
    for (char** e = environ; e && *e; ++e) {
        const char* eq = std::strchr(*e, '=');
        if (!eq || static_cast<size_t>(eq - *e) != n) continue;
        if (equalsIgnoreCase(std::string_view(*e, n), std::string_view(name, n))) {
            value = ByteString(eq + 1);
            return true;
        }
    }
    return false;
}

Status putEnv(const char* assignment) {
    const char* eq = assignment ? std::strchr(assignment, '=') : nullptr;
    if (!eq || eq == assignment)
        return Status::failure(describe("cannot set", assignment ? assignment : "") + ": not NAME=value");
    std::string name(assignment, static_cast<size_t>(eq - assignment));
    if (eq[1] == '\0') {
        if (unsetenv(name.c_str()) != 0) return lastErrorStatus(describe("cannot remove", name));
    } else if (setenv(name.c_str(), eq + 1, 1) != 0) {
        return lastErrorStatus(describe("cannot set", name));
    }
    return {};
}

}  // namespace hux::platform
