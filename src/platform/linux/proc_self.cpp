// Names under /proc/self: the running executable's path, and names that open
// a file through a descriptor this process keeps.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/files.h"
#include "platform/process.h"

namespace hux::platform {

Result<ByteString> moduleFileName() {
    // No fixed limit: the buffer grows until the whole link fits. The kernel
    // cannot spell a path longer than a page; the link itself still opens the
    // executable then, so it stands in for the path.
    std::string buffer(256, '\0');
    for (;;) {
        const ssize_t n = readlink("/proc/self/exe", &buffer[0], buffer.size());
        if (n <= 0) return ByteString(kSelfExecutable);
        if (static_cast<size_t>(n) < buffer.size()) return ByteString(buffer.data(), static_cast<int32_t>(n));
        if (buffer.size() >= (size_t{1} << 20))
            return Status::failure("cannot read the executable's path: longer than 1 MiB");
        buffer.resize(buffer.size() * 2);
    }
}

namespace {

ByteString descriptorName(int fd) {
    ByteString name("/proc/self/fd/");
    name.append(std::to_string(fd));
    return name;
}

}  // namespace

ByteString descriptorPath(const char* path, bool resolvable) {
    if (!resolvable) {
        // O_PATH neither reads nor blocks; the descriptor stays open on
        // purpose, since the name is only good while it is.
        const int fd = ::open(path, O_PATH | O_CLOEXEC);
        return fd < 0 ? ByteString() : descriptorName(fd);
    }
    // A reader that resolves links (a canonical path) would follow a
    // descriptor of the file back to its own name; an anonymous copy in
    // memory has no name to go back to, so the descriptor's name is final.
    const int in = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (in < 0) return {};
    struct stat st {};
    int copy = -1;
    if (fstat(in, &st) == 0 && S_ISREG(st.st_mode)) copy = memfd_create("hux-class-path", MFD_CLOEXEC);
    off_t done = 0;
    while (copy >= 0 && done < st.st_size) {
        const ssize_t n = sendfile(copy, in, &done, static_cast<size_t>(st.st_size - done));
        if (n > 0) continue;
        if (n < 0 && errno == EINTR) continue;
        ::close(copy);
        copy = -1;
    }
    ::close(in);
    return copy < 0 ? ByteString() : descriptorName(copy);
}

}  // namespace hux::platform
