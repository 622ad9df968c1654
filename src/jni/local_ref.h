// Local references that delete themselves: a native that makes several
// intermediate objects holds each in a LocalRef, so every return path frees
// them and only the reference handed back to Java survives (release()).
#pragma once

#include <jni.h>

namespace hux::jni {

template <typename T = jobject>
class LocalRef {
public:
    LocalRef() = default;
    LocalRef(JNIEnv* env, T ref) : env_(env), ref_(ref) {}
    LocalRef(const LocalRef&) = delete;
    LocalRef& operator=(const LocalRef&) = delete;
    LocalRef(LocalRef&& other) noexcept : env_(other.env_), ref_(other.release()) {}
    LocalRef& operator=(LocalRef&& other) noexcept {
        if (this != &other) {
            reset();
            env_ = other.env_;
            ref_ = other.release();
        }
        return *this;
    }
    ~LocalRef() { reset(); }

    T get() const { return ref_; }
    explicit operator bool() const { return ref_ != nullptr; }
    // Gives up ownership: the caller (usually Java, as a native's result)
    // now owns the reference.
    T release() {
        T ref = ref_;
        ref_ = nullptr;
        return ref;
    }
    void reset(T ref = nullptr) {
        if (ref_ && env_) env_->DeleteLocalRef(ref_);
        ref_ = ref;
    }

private:
    JNIEnv* env_ = nullptr;
    T ref_ = nullptr;
};

// Takes ownership of a reference a JNI call returned, of its own type.
template <typename T>
LocalRef<T> adopt(JNIEnv* env, T ref) {
    return LocalRef<T>(env, ref);
}

}  // namespace hux::jni
