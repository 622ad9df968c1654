// Storage for process-wide state that other threads may still reach while
// the process exits.
#pragma once

#include <new>
#include <type_traits>
#include <utility>

namespace hux {

// Holds a T that is built in place and never destroyed. As a function-local
// static it is built on first use (thread-safe), and because the holder has
// no destructor, no exit-time destructor runs for it: a Java thread, a signal
// handler thread or a finalizer that calls in after `main` returned, or while
// another thread runs `exit`, still finds a live object. The operating system
// reclaims its memory and handles when the process ends.
template <class T>
class NeverDestroyed {
public:
    template <class... Args>
    explicit NeverDestroyed(Args&&... args) {
        ::new (static_cast<void*>(storage_)) T(std::forward<Args>(args)...);
    }
    NeverDestroyed(const NeverDestroyed&) = delete;
    NeverDestroyed& operator=(const NeverDestroyed&) = delete;

    T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }
    T& operator*() { return get(); }
    T* operator->() { return &get(); }

private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace hux
