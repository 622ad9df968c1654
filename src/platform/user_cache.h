// The user's own cache of files derived from an application (class-data
// archives), and the file facts that key and guard it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/byte_string.h"
#include "platform/status.h"

namespace hux::platform {

// The user's cache directory for hux, with a trailing separator, created when
// missing. A failure where there is none, or when it (or the directory it is
// made in) is not the user's own, is a symbolic link or others may write to
// it, or (on Linux) when a directory above fails platform::distrustReason.
Result<ByteString> userCacheDirectory();

// Size and modification time (nanoseconds) of a file.
Status fileIdentity(const char* path, int64_t& size, int64_t& modified);

// Whether `path` is a regular file (not a link) of the user's own that nobody
// else may write.
bool isOwnPrivateFile(const char* path);
// The same for a directory.
bool isOwnPrivateDirectory(const char* path);

// Replaces `to` by `from` in one step.
Status replaceFile(const char* from, const char* to);
// Removes a file where it can (a clean-up: what stays is overwritten or
// pruned later).
void removeFile(const char* path);

// Creates `path` as a new private file of the user's own (failing when
// something is there already) and writes `bytes`; fails when the directory
// cannot be written or the bytes do not fit. A file made in part is removed.
Status writeNewPrivateFile(const char* path, const void* bytes, size_t count);

// Bytes an unprivileged write may still add to the file system holding
// `directory`; -1 when unknown.
int64_t freeBytes(const char* directory);

// A marker file this process holds while it lives: a later process can tell
// a marker whose holder died (it ended without dropping it) from one held by
// a running process.
class LiveMarker {
public:
    LiveMarker() = default;
    LiveMarker(const LiveMarker&) = delete;
    LiveMarker& operator=(const LiveMarker&) = delete;
    ~LiveMarker() { drop(); }
    // Creates (or takes over) the marker at `path` and holds it; fails when it
    // cannot be written or another process holds it. While held, nobody else
    // can remove it on Windows.
    Status hold(const char* path);
    // Disarms, closes and removes the marker: its name is gone when this
    // returns. Safe to repeat.
    void drop();
    bool held() const { return handle_ != -1; }

private:
    intptr_t handle_ = -1;
    ByteString path_;
};

// A file held in memory that another component of the process (the virtual
// machine) opens and writes by its path, so that a file system filling up
// cannot fail that write; its bytes are copied to disk afterwards. Where the
// system has no such file (Windows), create() fails.
class MemoryFile {
public:
    MemoryFile() = default;
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;
    ~MemoryFile() { close(); }
    Status create();
    // The path that opens it, for as long as it is open.
    const ByteString& path() const { return path_; }
    // Copies its bytes into a new private file at `target`
    // (writeNewPrivateFile); fails when it is empty or they do not fit.
    Status copyTo(const char* target) const;
    void close();

private:
    intptr_t handle_ = -1;
    ByteString path_;
};

// Whether `path` is a marker of the user's own that was armed by a process
// which no longer holds it: that process ended without dropping it.
bool isAbandonedMarker(const char* path);

// A symbolic link named `name` in the user's cache directory that leads to
// `target` (an absolute path), made or renewed as needed; its path, or a
// failure where there is no such cache or links cannot be made (Windows
// without the privilege). The cache being the user's alone, nobody else can
// swap it.
Result<ByteString> linkInUserCache(const ByteString& target, const ByteString& name);

}  // namespace hux::platform
