// A launcher thread's stay inside the virtual machine: attached on entry,
// detached on exit. A thread the virtual machine already knows (a Java
// thread, or one attached further up the stack) is left attached.
#pragma once

#include <jni.h>

namespace hux::jni {

class AttachedThread {
public:
    enum class Kind { Normal, Daemon };
    AttachedThread(JavaVM* vm, Kind kind = Kind::Normal);
    AttachedThread(const AttachedThread&) = delete;
    AttachedThread& operator=(const AttachedThread&) = delete;
    ~AttachedThread();

    // Null when there is no virtual machine or attaching failed.
    JNIEnv* env() const { return env_; }
    explicit operator bool() const { return env_ != nullptr; }

private:
    JavaVM* vm_;
    JNIEnv* env_ = nullptr;
    bool attachedHere_ = false;
};

}  // namespace hux::jni
