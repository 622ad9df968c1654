// Reading the system registry (Windows); where there is none every read fails.
#pragma once

#include <cstdint>

#include "common/byte_string.h"

namespace hux::platform {

enum class RegistryRoot { ClassesRoot, CurrentUser, LocalMachine, Users, CurrentConfig };

// Value types as the registry reports them.
constexpr uint32_t kRegString = 1;          // REG_SZ
constexpr uint32_t kRegExpandString = 2;    // REG_EXPAND_SZ
constexpr uint32_t kRegDword = 4;           // REG_DWORD
constexpr uint32_t kRegDwordBigEndian = 5;  // REG_DWORD_BIG_ENDIAN

// Whether the system has a registry at all (runtime registrations live there).
bool hasRegistry();

// Reads one value (an empty `valueName` reads the key's default value) of the
// key `keyPath` under `root`, opened for reading in the process's own view.
// False when the key or the value cannot be read; where there is no registry
// every read fails.
bool readRegistryValue(RegistryRoot root, const char* keyPath, const char* valueName, uint32_t& type, ByteBuffer& data);

// Reads a text value (at most kPathMax - 1 bytes, ending at its first NUL) of
// a key under `root`. False when the key or value is missing, is not text or
// does not fit; always false where there is no registry.
bool readRegistryString(RegistryRoot root, const char* keyPath, const char* valueName, ByteString& out);

// Names of the subkeys of `keyPath` under `root` (process's own view), in the
// order the registry lists them. False when the key cannot be opened; always
// false where there is no registry.
bool listRegistrySubkeys(RegistryRoot root, const char* keyPath, StringList& out);

}  // namespace hux::platform
