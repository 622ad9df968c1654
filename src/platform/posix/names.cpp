#include "platform/posix/names.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace hux::platform::posix {

uint64_t fnv1a64(std::string_view bytes) {
    uint64_t h = 1469598103934665603ULL;
    for (unsigned char c : bytes) {
        h ^= c;
        h *= 1099511628211ULL;
    }
    return h;
}

static bool usableDirectory(const std::string& dir) {
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0) return false;
    return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 0022) == 0;
}

std::string runtimeDirectory() {
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    if (xdg && xdg[0] == '/' && usableDirectory(xdg)) return xdg;
    std::string dir = "/tmp/hux-" + std::to_string(static_cast<unsigned long>(geteuid()));
    if (usableDirectory(dir)) return dir;
    if (mkdir(dir.c_str(), 0700) != 0 && !usableDirectory(dir)) return {};
    return usableDirectory(dir) ? dir : std::string();
}

std::string encodeObjectName(std::string_view name) {
    std::string out;
    for (unsigned char c : name) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
            c == '_' || c == '-') {
            out.push_back(static_cast<char>(c));
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    if (out == "." || out == "..") out = "%2E" + out.substr(1);
    if (out.size() > 200) {
        char hash[24];
        std::snprintf(hash, sizeof hash, "~%016llx", static_cast<unsigned long long>(fnv1a64(name)));
        out = out.substr(0, 180) + hash;
    }
    return out;
}

}  // namespace hux::platform::posix
