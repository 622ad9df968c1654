// Names of the files and shared-memory objects that stand in for Windows named
// kernel objects on Linux.
#pragma once

#include <string>
#include <string_view>

namespace hux::platform::posix {

// The user's runtime directory: $XDG_RUNTIME_DIR when it is an absolute
// directory owned by the user, else /tmp/hux-<uid> (created with mode 0700).
// Empty when neither can be used.
std::string runtimeDirectory();

// A file-name-safe form of an object name: letters, digits, '.', '_' and '-'
// stay; every other byte becomes %XX. Names that would grow past 200 bytes are
// cut and completed by a hash of the whole name.
std::string encodeObjectName(std::string_view name);

uint64_t fnv1a64(std::string_view bytes);

}  // namespace hux::platform::posix
