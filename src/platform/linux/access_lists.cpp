// POSIX access lists on Linux: kept in the "system.posix_acl_access"
// attribute; a file without one has only its permission bits.
#include <sys/xattr.h>

#include <cerrno>

#include "platform/posix/access_lists.h"

namespace hux::platform::posix {

bool hasExtendedAccessList(const char* path) {
    if (getxattr(path, "system.posix_acl_access", nullptr, 0) >= 0) return true;
    // No attribute, or a file system without attributes: the bits are all.
    return errno != ENODATA && errno != ENOTSUP;
}

}  // namespace hux::platform::posix
