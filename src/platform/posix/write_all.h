// Writing a whole buffer to a descriptor, for the POSIX half's file helpers.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace hux::platform::posix {

// Writes all `count` bytes, going on after interruptions and short writes;
// false when the descriptor takes no more.
inline bool writeAll(int fd, const void* bytes, size_t count) {
    const auto* p = static_cast<const char*>(bytes);
    while (count > 0) {
        const ssize_t n = write(fd, p, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace hux::platform::posix
