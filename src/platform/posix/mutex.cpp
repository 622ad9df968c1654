// In-process lock on a pthread mutex.
#include <pthread.h>

#include <new>

#include "platform/mutex.h"

namespace hux::platform {

namespace {
pthread_mutex_t* native(unsigned char* storage) { return reinterpret_cast<pthread_mutex_t*>(storage); }
}  // namespace

Mutex::Mutex() {
    static_assert(sizeof(pthread_mutex_t) <= sizeof(storage_), "Mutex storage too small");
    static_assert(alignof(pthread_mutex_t) <= 16, "Mutex storage misaligned");
    pthread_mutex_init(new (storage_) pthread_mutex_t, nullptr);
}

Mutex::~Mutex() { pthread_mutex_destroy(native(storage_)); }

void Mutex::lock() { pthread_mutex_lock(native(storage_)); }

void Mutex::unlock() { pthread_mutex_unlock(native(storage_)); }

}  // namespace hux::platform
