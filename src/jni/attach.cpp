#include "jni/attach.h"

namespace hux::jni {

AttachedThread::AttachedThread(JavaVM* vm, Kind kind) : vm_(vm) {
    if (!vm_) return;
    void* env = nullptr;
    const jint state = vm_->GetEnv(&env, JNI_VERSION_1_2);
    if (state == JNI_OK) {
        env_ = static_cast<JNIEnv*>(env);
        return;
    }
    if (state != JNI_EDETACHED) return;
    const jint attached = kind == Kind::Daemon ? vm_->AttachCurrentThreadAsDaemon(&env, nullptr)
                                               : vm_->AttachCurrentThread(&env, nullptr);
    if (attached != JNI_OK || !env) return;
    env_ = static_cast<JNIEnv*>(env);
    attachedHere_ = true;
}

AttachedThread::~AttachedThread() {
    if (attachedHere_) vm_->DetachCurrentThread();
}

}  // namespace hux::jni
