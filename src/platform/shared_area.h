// Memory shared between processes: named mappings and the executable's own
// block, named after its path.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/status.h"

namespace hux::platform {

// Size of the executable's own shared block.
constexpr size_t kExecutableAreaSize = 3072;

// A block of memory shared by processes. A fresh block reads all zero.
class SharedArea {
public:
    SharedArea() = default;
    SharedArea(const SharedArea&) = delete;
    SharedArea& operator=(const SharedArea&) = delete;
    ~SharedArea();
    // A named mapping of `size` bytes shared by every process that opens the
    // same name (created when it does not exist yet).
    Status openNamed(const char* name, size_t size);
    // The executable's own shared block: shared by the user's processes
    // started from the same executable file (on Windows, in the same session).
    Status openExecutableArea();
    // Unmaps the memory and releases the name and the lock.
    void close();
    // Releases what other processes see of this process's share (its lock,
    // and the name when this process is the last to use it), but leaves the
    // memory mapped until the process ends: threads that still run while the
    // process exits (a Java daemon thread inside a native) may touch it until
    // then. Afterwards the object owns nothing; close() and the destructor
    // leave the mapping alone.
    void withdraw();
    void* data() const { return data_; }
    size_t size() const { return size_; }
    bool isNamed() const { return named_; }

private:
    void* data_ = nullptr;
    size_t size_ = 0;
    bool named_ = false;
    intptr_t handle_ = -1;
    intptr_t lock_ = -1;
};

}  // namespace hux::platform
