#include "jni/java_calls.h"

#include "jni/exceptions.h"
#include "jni/local_ref.h"

namespace hux::jni {

void setContextClassLoader(JNIEnv* env, jobject loader) {
    LocalRef<jclass> thread(env, env->FindClass("java/lang/Thread"));
    jmethodID current =
        thread ? env->GetStaticMethodID(thread.get(), "currentThread", "()Ljava/lang/Thread;") : nullptr;
    jmethodID set =
        thread ? env->GetMethodID(thread.get(), "setContextClassLoader", "(Ljava/lang/ClassLoader;)V") : nullptr;
    LocalRef<> self(env, (current && set) ? env->CallStaticObjectMethod(thread.get(), current) : nullptr);
    if (self) env->CallVoidMethod(self.get(), set, loader);
    reportPendingException(env);
}

}  // namespace hux::jni
