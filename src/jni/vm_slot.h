// Where a launch keeps its virtual machine.
#pragma once

#include <jni.h>

#include <atomic>

namespace hux::jni {

// The virtual machine of a launch: set when it is created, cleared when it is
// destroyed. Threads other than the creating one read it, so it is atomic.
class VmSlot {
public:
    VmSlot() = default;
    VmSlot(const VmSlot&) = delete;
    VmSlot& operator=(const VmSlot&) = delete;
    VmSlot& operator=(JavaVM* vm) {
        vm_.store(vm, std::memory_order_release);
        return *this;
    }
    JavaVM* get() const { return vm_.load(std::memory_order_acquire); }
    explicit operator bool() const { return get() != nullptr; }

private:
    std::atomic<JavaVM*> vm_{nullptr};
};

}  // namespace hux::jni
