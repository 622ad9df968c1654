#include "platform/posix/names.h"

#include "common/debug_line.h"
#include "common/never_destroyed.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

namespace hux::platform::posix {

uint64_t fnv1a64(std::string_view bytes) {
    uint64_t h = 1469598103934665603ULL;
    for (unsigned char c : bytes) {
        h ^= c;
        h *= 1099511628211ULL;
    }
    return h;
}

void debugNote(const char* format, ...) {
    const char* value = std::getenv("HUX_DEBUG");
    if (!value || std::strcmp(value, "1") != 0) return;
    va_list args;
    va_start(args, format);
    writeDebugLine(format, args);
    va_end(args);
}

namespace {

// A directory no one but the user can change: a real directory owned by
// `uid`, with no write bit for group or other (and, when `privateOnly`, no
// group or other bit at all).
bool ownDirectory(const std::string& dir, uid_t uid, bool privateOnly, bool followLink) {
    struct stat st {};
    if ((followLink ? stat(dir.c_str(), &st) : lstat(dir.c_str(), &st)) != 0) return false;
    const mode_t forbidden = privateOnly ? 0077 : 0022;
    if (!S_ISDIR(st.st_mode) || st.st_uid != uid || (st.st_mode & forbidden) != 0) {
        debugNote("named objects: %s is not this user's own private directory (owner %u, mode %03o)", dir.c_str(),
                  static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_mode & 07777));
        return false;
    }
    return true;
}

// `dir` as a private directory of the user, created when missing.
bool privateDirectory(const std::string& dir, uid_t uid) {
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        debugNote("named objects: cannot create %s: %s", dir.c_str(), std::strerror(errno));
        return false;
    }
    return ownDirectory(dir, uid, true, false);
}

std::string hostName() {
    struct utsname u {};
    if (uname(&u) != 0 || u.nodename[0] == '\0') return "localhost";
    return encodeObjectName(u.nodename);
}

std::string homeDirectory(uid_t uid) {
    std::vector<char> buffer(16384);
    struct passwd pw {};
    struct passwd* found = nullptr;
    if (getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &found) != 0 || !found || !pw.pw_dir || pw.pw_dir[0] != '/')
        return {};
    return pw.pw_dir;
}

std::string chooseObjectDirectory() {
    const uid_t uid = geteuid();
    const std::string id = std::to_string(static_cast<unsigned long>(uid));
    // The session's runtime directory, made by the system for this user alone.
    const std::string run = "/run/user/" + id;
    struct stat st {};
    if (lstat(run.c_str(), &st) == 0 && ownDirectory(run, uid, true, false) && privateDirectory(run + "/hux", uid))
        return run + "/hux";
    // The home directory: a home another user can write to is not used.
    const std::string home = homeDirectory(uid);
    if (!home.empty() && ownDirectory(home, uid, false, true)) {
        const std::string base = home + "/.hux";
        // Home directories may be shared between machines, process ids are not.
        if (privateDirectory(base, uid) && privateDirectory(base + "/" + hostName(), uid))
            return base + "/" + hostName();
    }
    const std::string tmp = "/tmp/hux-" + id;
    if (privateDirectory(tmp, uid)) return tmp;
    debugNote("named objects: no private directory for uid %s", id.c_str());
    return {};
}

}  // namespace

std::string objectDirectory() {
    // Never destroyed: threads that still run while the process exits may ask.
    static NeverDestroyed<std::string> dir([] {
        std::string chosen = chooseObjectDirectory();
        if (!chosen.empty()) debugNote("named objects in %s", chosen.c_str());
        return chosen;
    }());
    return *dir;
}

int openOwnObject(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0) {
        const int error = errno;
        debugNote("named objects: cannot open %s: %s", path.c_str(), std::strerror(error));
        errno = error;
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 0077) != 0 ||
        st.st_nlink != 1) {
        debugNote("named objects: %s is not this user's own (owner %u, mode %03o, links %lu): not used", path.c_str(),
                  static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_mode & 07777),
                  static_cast<unsigned long>(st.st_nlink));
        close(fd);
        errno = EACCES;
        return -1;
    }
    return fd;
}

bool stillLinked(int fd, const std::string& path) {
    struct stat a {
    }, b{};
    return fstat(fd, &a) == 0 && lstat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::string encodeObjectName(std::string_view name) {
    std::string out;
    for (unsigned char c : name) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
            c == '-') {
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

// ---- the objects this process holds ----

std::string objectPath(const std::string& name) {
    const std::string dir = objectDirectory();
    if (dir.empty()) return {};
    return dir + "/" + encodeObjectName(name);
}

bool lockFile(int fd, int operation) {
    while (flock(fd, operation) != 0)
        if (errno != EINTR) return false;
    return true;
}

namespace {

// Removes the file when this process is the last one holding it. An owner of
// the exclusive lock removes it outright; a sharer first tries to take the
// lock exclusively (which fails while anyone else still shares it).
void removeIfLast(int fd, const std::string& path, bool owner) {
    if ((owner || flock(fd, LOCK_EX | LOCK_NB) == 0) && stillLinked(fd, path)) unlink(path.c_str());
}

// The objects this process holds, removed at exit when it is the last holder
// (a process that ends through exit() never runs the main flow's own
// teardown). Mappings are left alone there: other threads may still use them.
struct HeldObject {
    int fd;
    std::string path;
    bool owner;
};

std::mutex& heldLock() {
    static std::mutex m;
    return m;
}
std::vector<HeldObject>& held() {
    static auto* list = new std::vector<HeldObject>;  // outlives every static destructor
    return *list;
}

void removeHeldAtExit() {
    std::lock_guard<std::mutex> guard(heldLock());
    for (const HeldObject& o : held()) removeIfLast(o.fd, o.path, o.owner);
    held().clear();
}

}  // namespace

void holdObject(int fd, const std::string& path, bool owner) {
    static std::once_flag once;
    std::call_once(once, [] { std::atexit(removeHeldAtExit); });
    std::lock_guard<std::mutex> guard(heldLock());
    held().push_back({fd, path, owner});
}

void letGoOfObject(int fd) {
    HeldObject object{-1, {}, false};
    {
        std::lock_guard<std::mutex> guard(heldLock());
        for (auto it = held().begin(); it != held().end(); ++it) {
            if (it->fd == fd) {
                object = *it;
                held().erase(it);
                break;
            }
        }
    }
    if (object.fd >= 0) removeIfLast(object.fd, object.path, object.owner);
    ::close(fd);
}

}  // namespace hux::platform::posix
