// Trees of files of the user's own inside the private cache (an unpacked
// runtime): made a file at a time, published by renaming the whole tree, and
// removed without following links.
#pragma once

#include <cstddef>
#include <cstdint>

namespace hux::platform {

// Creates the directory (private to the user) or accepts the one there; true
// when it is then a directory of the user's own that nobody else may change
// and not a link.
bool makePrivateDirectory(const char* path);

// Creates `path` as a new file (failing when something is there) private to
// the user, executable by the user when `executable` (where the system has
// such a bit), and writes `bytes`; a file made in part is removed.
bool writeNewFile(const char* path, const void* bytes, size_t count, bool executable);

// The size of a plain file: not a link, not a directory, (on Linux) the
// user's own and writable by nobody else. False otherwise.
bool plainFileSize(const char* path, int64_t& size);

// Renames a directory; false when `to` exists (a non-empty directory or a
// file) or the rename fails.
bool renameDirectory(const char* from, const char* to);

// Removes a directory and everything below it; links are removed, never
// followed. Quietly leaves what cannot be removed.
void removeTree(const char* path);

// Sets a file's modification time to now.
void touchFile(const char* path);

// The modification time of a plain file in whole seconds since 1970; false
// when there is none.
bool fileSeconds(const char* path, int64_t& seconds);

// Sets a file's modification time to `seconds` since 1970 (the file itself,
// never a link's target); false when it cannot.
bool setFileSeconds(const char* path, int64_t seconds);

}  // namespace hux::platform
