// Text values of the registry, read through the one registry reader of each
// platform (where there is no registry that reader fails every read).
#include <cstring>

#include "platform/files.h"
#include "platform/registry.h"

namespace hux::platform {

bool readRegistryString(RegistryRoot root, const char* keyPath, const char* valueName, ByteString& out) {
    uint32_t type = 0;
    ByteBuffer data;
    if (!readRegistryValue(root, keyPath, valueName, type, data)) return false;
    if (type != kRegString && type != kRegExpandString) return false;
    // A value that would not fit a path buffer with its terminator is refused
    // as a whole, even when a NUL ends the text earlier.
    if (data.length() > kPathMax) return false;
    // The stored data need not end in a NUL; the text ends at the first one.
    const auto* bytes = reinterpret_cast<const char*>(data.data());
    const size_t size = static_cast<size_t>(data.length());
    const void* nul = size ? std::memchr(bytes, 0, size) : nullptr;
    const size_t length = nul ? static_cast<size_t>(static_cast<const char*>(nul) - bytes) : size;
    if (length >= static_cast<size_t>(kPathMax)) return false;
    out.assign(bytes, static_cast<int32_t>(length));
    return true;
}

}  // namespace hux::platform
