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
// SYSTEM, Administrators, TrustedInstaller) and writable by nobody else.
// On Linux every directory from "/" down must be too, or be sticky (others
// may add their own entries there, not touch the user's), and each link on
// the way counts as its owner and is followed where the system would follow
// it, judging the directories its target runs through: once the path passes,
// no other user can change what it names, so it may be opened by name later
// (the runtime's own libraries are, by the JVM). `anchor` plays no part there.
// On Windows, which has no sticky directories and whose drive roots let
// everyone add folders, the directories are judged from `path` up to (not
// including) the one that holds both it and `anchor` (the executable's
// directory), so an executable kept in a shared directory still uses its
// user's own files there, while another user's file is refused by its owner.
ByteString distrustReason(const char* path, const char* anchor);

// Whether `path` is `directory` or lies below it, both made full against the
// current directory and compared as the system compares names.
bool liesWithin(const char* path, const char* directory);

}  // namespace hux::platform
