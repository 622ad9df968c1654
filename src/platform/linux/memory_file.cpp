// A file in memory (memfd) that the virtual machine writes by its
// /proc/self/fd path.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "platform/user_cache.h"

namespace hux::platform {

Status MemoryFile::create() {
    if (handle_ != -1) return {};
    const int fd = memfd_create("hux-class-data", MFD_CLOEXEC);
    if (fd < 0) return lastErrorStatus("cannot create a file in memory");
    char path[32];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    handle_ = fd;
    path_ = ByteString(path);
    return {};
}

Status MemoryFile::copyTo(const char* target) const {
    struct stat st {};
    if (handle_ == -1 || fstat(static_cast<int>(handle_), &st) != 0 || st.st_size <= 0)
        return Status::failure(describe("cannot copy to", target) + ": nothing was written in memory");
    const auto size = static_cast<size_t>(st.st_size);
    void* bytes = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, static_cast<int>(handle_), 0);
    if (bytes == MAP_FAILED) return lastErrorStatus(describe("cannot copy to", target));
    Status written = writeNewPrivateFile(target, bytes, size);
    munmap(bytes, size);
    return written;
}

void MemoryFile::close() {
    if (handle_ == -1) return;
    ::close(static_cast<int>(handle_));
    handle_ = -1;
    path_ = ByteString();
}

}  // namespace hux::platform
