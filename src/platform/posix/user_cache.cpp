// The per-user cache on Linux: $XDG_CACHE_HOME/hux when that is an absolute
// path, else <home from the password database>/.cache/hux.
#include "platform/user_cache.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/environment.h"

namespace hux::platform {

namespace {

// A directory of the user's own that only the user may write, never a link.
bool isOwnPrivateDirectory(const char* path) {
    struct stat st {};
    return lstat(path, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 022) == 0;
}

bool ensureDirectory(const ByteString& path) {
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
    return isOwnPrivateDirectory(path.c_str());
}

}  // namespace

ByteString userCacheDirectory() {
    ByteString base;
    if (!getEnv("XDG_CACHE_HOME", base) || base.empty() || base[0] != '/') {
        struct passwd* pw = getpwuid(geteuid());
        if (!pw || !pw->pw_dir || pw->pw_dir[0] != '/') return {};
        base.assign(pw->pw_dir);
        if (base.back() != '/') base.push('/');
        base.append(".cache");
    }
    while (base.length() > 1 && base.back() == '/') base.resize(base.length() - 1);
    if (!ensureDirectory(base)) return {};
    base.append("/hux");
    if (!ensureDirectory(base)) return {};
    base.push('/');
    return base;
}

bool fileIdentity(const char* path, int64_t& size, int64_t& modified) {
    struct stat st {};
    if (!path || stat(path, &st) != 0) return false;
    size = static_cast<int64_t>(st.st_size);
    modified = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    return true;
}

bool isOwnPrivateFile(const char* path) {
    struct stat st {};
    return path && lstat(path, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 022) == 0;
}

bool replaceFile(const char* from, const char* to) { return std::rename(from, to) == 0; }

void removeFile(const char* path) { unlink(path); }

}  // namespace hux::platform
