// The user's own cache of files derived from an application (class-data
// archives), and the file facts that key and guard it.
#pragma once

#include <cstdint>

#include "common/byte_string.h"

namespace hux::platform {

// The user's cache directory for hux, with a trailing separator, created when
// missing. Empty where there is none, or when it (or the directory it is made
// in) is not the user's own, is a symbolic link or others may write to it.
ByteString userCacheDirectory();

// Size and modification time (nanoseconds) of a file; false when it cannot be
// read.
bool fileIdentity(const char* path, int64_t& size, int64_t& modified);

// Whether `path` is a regular file (not a link) of the user's own that nobody
// else may write.
bool isOwnPrivateFile(const char* path);

// Replaces `to` by `from` in one step; false when that fails.
bool replaceFile(const char* from, const char* to);
void removeFile(const char* path);

}  // namespace hux::platform
