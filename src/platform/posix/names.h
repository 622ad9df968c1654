// Names and the per-user directory of the files that stand in for Windows
// named kernel objects on Linux (the single-instance lock and the areas shared
// by the instances of an application), and the record of the objects this
// process holds, so that the last process to leave removes them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace hux::platform::posix {

// The directory that holds this user's named objects, decided by the
// effective uid alone, never by the environment: "/run/user/<uid>/hux" when
// /run/user/<uid> is the user's own with mode 0700; else ".hux/<host>" in the
// home directory the password database gives (when that is the user's own and
// writable by no one else); else "/tmp/hux-<uid>" as a last resort. Every
// directory on the way that this code creates has mode 0700, and each one is
// checked to be a real directory (not a symlink) owned by the user with no
// group or other bits. Empty when none can be had. Computed once per process.
std::string objectDirectory();

// Opens `path` for reading and writing, creating it with mode 0600 when
// missing, never through a symlink. A file that is not this user's own
// regular file with no group or other bits and a single link is refused:
// -1, with a note under HUX_DEBUG=1.
int openOwnObject(const std::string& path);

// Whether `path` still names the file open on `fd` (the object was not
// removed or replaced since it was opened).
bool stillLinked(int fd, const std::string& path);

// Under HUX_DEBUG=1, one line on standard error.
void debugNote(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A file-name-safe form of an object name: letters, digits, '.', '_' and '-'
// stay; every other byte becomes %XX. Names that would grow past 200 bytes are
// cut and completed by a hash of the whole name.
std::string encodeObjectName(std::string_view name);

uint64_t fnv1a64(std::string_view bytes);

// Where the object `name` lives: its encoded name in the object directory;
// empty when there is no object directory.
std::string objectPath(const std::string& name);

// flock, retried when a signal interrupts it.
bool lockFile(int fd, int operation);

// How often an object is opened again when it was removed or replaced between
// its open and its lock.
constexpr int kOpenAttempts = 20;

// Records that this process holds the object `path` open on `fd` (as the
// owner of its exclusive lock, or as one of its sharers). When the process
// exits, an object it is the last holder of is removed.
void holdObject(int fd, const std::string& path, bool owner);

// Lets go of the held object on `fd`: removes it when this process is its
// last holder (unless the exit handler has dealt with it already), then closes.
void letGoOfObject(int fd);

}  // namespace hux::platform::posix
