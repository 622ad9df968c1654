// Whether something found beside the executable may be used by the user who
// runs it: files another user could have put there, or could change, are
// passed over (a directory others can write to is how a file gets planted).
#pragma once

#include "common/byte_string.h"

namespace hux::platform {

// Empty when `path` (a file or a directory) may be used by the running user;
// otherwise a short reason ("owned by uid 1001", "writable by other users",
// "directory '/opt/app/jre' is writable by other users").
//
// Trusted means: owned by the user or by the system (root; on Windows also
// SYSTEM, Administrators, TrustedInstaller) and writable by nobody else, and
// the same for every directory between `path` and the directory that holds
// both it and `anchor` (the executable's directory); that directory itself is
// not examined, so an executable kept in a sticky shared directory still uses
// its user's own files there, while another user's file there is refused by
// its owner. A link counts as the link's owner and as what it points to.
ByteString distrustReason(const char* path, const char* anchor);

// Whether `path` is `directory` or lies below it, both made full against the
// current directory and compared as the system compares names.
bool liesWithin(const char* path, const char* directory);

}  // namespace hux::platform
