// Configured paths resolved against the executable's directory and the
// working directory.
#pragma once

#include <cstdint>

#include "common/byte_string.h"
#include "config/launch_config.h"

namespace hux {

// True when `path` names a location on its own: a leading '/', and where
// drives exist also a leading '\' or a drive ("D:x" counts too).
bool isAbsoluteConfigPath(const char* path);

// The directory part of `path`: everything through its last separator ('/'
// or '\\'); empty when it has none.
ByteString directoryOf(std::string_view path);

// `path` as the debug lines show it: the platform's one separator ('\\' on
// Windows, '/' elsewhere) and no "." components; a repeated separator is kept
// only where it starts the path (a network share). Not for opening files.
ByteString shownPath(std::string_view path);

// Combines `path` with the directory `base` (unless the path is absolute) and
// normalises the result into `buffer` of `size` bytes. Returns the length
// written, 0 on failure, or the required size (greater than `size`) when the
// result does not fit.
int32_t resolveAgainst(const char* base, const char* path, char* buffer, int32_t size);

// A configured data file: absolute paths unchanged; else the executable's
// directory + path when readable, else the working directory + path when
// readable, else the executable's directory + path. Not normalised.
ByteString resolveDataPath(const LaunchConfig& config, const ByteString& path);

// A configured library (runtime or splash library): absolute paths unchanged;
// else under the executable's directory only. Libraries run code, so one that
// happens to lie under whatever directory the user runs the program from is
// never taken.
ByteString resolveLibraryPath(const LaunchConfig& config, const ByteString& path);

// Whether `path`, found beside the executable (in its directory, below it,
// or through a path configured relative to it), may be used by the running
// user: see platform::distrustReason, with the executable's directory as the
// anchor. When not, it is passed over: one warning line "hux: warning:
// ignoring '<path>': <reason>" on standard error (once per path in the
// process) and, under HUX_DEBUG=1, a line naming `what` it was.
// When `examined` is given, that path (a directory `path` would be made in)
// is the one examined, and the reason names it.
bool trustedBesideExecutable(const ByteString& exeDir, const ByteString& path, const char* what,
                             const ByteString* examined = nullptr);
inline bool trustedBesideExecutable(const LaunchConfig& config, const ByteString& path, const char* what,
                                    const ByteString* examined = nullptr) {
    return trustedBesideExecutable(config.exeDir(), path, what, examined);
}

// Whether `path` (a full path or one relative to the current directory) is
// the executable's directory or lies below it.
bool liesBesideExecutable(const LaunchConfig& config, const ByteString& path);

// Applies `forcecwd` (resolved against the executable's directory) and then
// refreshes the configuration's working directory.
void applyForcedWorkingDirectory(LaunchConfig& config);

}  // namespace hux
