// Trees of files of the user's own inside the private cache (an unpacked
// runtime): made a file at a time, published by renaming the whole tree, and
// removed without following links.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/byte_string.h"
#include "platform/status.h"

namespace hux::platform {

// Creates the directory (private to the user) or accepts the one there; fails
// unless it is then a directory of the user's own that nobody else may change
// and not a link.
Status makePrivateDirectory(const char* path);

// A file made new (failing when something is at its name), private to the
// user and executable by the user when asked (where the system has such a
// bit), written front to back in pieces. A file not finished is removed.
class NewFile {
public:
    NewFile() = default;
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;
    ~NewFile();
    Status create(const char* path, bool executable);
    Status append(const void* bytes, size_t count);
    // Closes the file; it is removed when that or an earlier step failed.
    Status finish();

private:
    intptr_t handle_ = -1;
    ByteString path_;
};

// Creates `path` as a NewFile holding `bytes`; a file made in part is removed.
Status writeNewFile(const char* path, const void* bytes, size_t count, bool executable);

// The size of a plain file: not a link, not a directory, (on Linux) the
// user's own and writable by nobody else. A failure otherwise.
Result<int64_t> plainFileSize(const char* path);

// Renames a directory; fails when `to` exists (a non-empty directory or a
// file) or the rename fails.
Status renameDirectory(const char* from, const char* to);

// Removes a directory and everything below it; links are removed, never
// followed. Quietly leaves what cannot be removed (a clean-up that nobody
// could act on).
void removeTree(const char* path);

// Sets a file's modification time to now, where it can (a hint, never needed).
void touchFile(const char* path);

// The modification time of a plain file in whole seconds since 1970.
Result<int64_t> fileSeconds(const char* path);

// Sets a file's modification time to `seconds` since 1970 (the file itself,
// never a link's target).
Status setFileSeconds(const char* path, int64_t seconds);

}  // namespace hux::platform
