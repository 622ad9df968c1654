// A lock for the threads of this process.
#pragma once

namespace hux::platform {

// A critical section on Windows, a pthread mutex elsewhere. Not recursive.
class Mutex {
public:
    Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;
    ~Mutex();
    void lock();
    void unlock();

private:
    alignas(16) unsigned char storage_[64];
};

// Holds a Mutex for the lifetime of the guard.
class MutexLock {
public:
    explicit MutexLock(Mutex& mutex) : mutex_(mutex) { mutex_.lock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;
    ~MutexLock() { mutex_.unlock(); }

private:
    Mutex& mutex_;
};

}  // namespace hux::platform
