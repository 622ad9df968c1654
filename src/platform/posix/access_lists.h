// Access lists beyond the permission bits, where the system has them.
#pragma once

namespace hux::platform::posix {

// True when `path` (followed if it is a link) carries an access list that
// may grant more than its permission bits show, or when that cannot be told.
bool hasExtendedAccessList(const char* path);

}  // namespace hux::platform::posix
