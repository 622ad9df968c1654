#include "jni/exceptions.h"

#include <exception>
#include <new>
#include <string>

namespace hux::jni {

namespace {

void throwNew(JNIEnv* env, const char* className, const char* text) {
    if (jclass cls = env->FindClass(className)) {
        env->ThrowNew(cls, text);
        env->DeleteLocalRef(cls);
    }
}

}  // namespace

bool reportPendingException(JNIEnv* env) {
    if (!env->ExceptionCheck()) return false;
    env->ExceptionDescribe();
    env->ExceptionClear();
    return true;
}

bool clearPendingException(JNIEnv* env) {
    if (!env->ExceptionCheck()) return false;
    env->ExceptionClear();
    return true;
}

void raiseCurrentException(JNIEnv* env) noexcept {
    if (!env || env->ExceptionCheck()) return;
    try {
        throw;
    } catch (const std::bad_alloc&) {
        throwNew(env, "java/lang/OutOfMemoryError", "native allocation failed");
    } catch (const std::exception& e) {
        const std::string text = std::string("native failure: ") + e.what();
        throwNew(env, "java/lang/Error", text.c_str());
    } catch (...) {
        throwNew(env, "java/lang/Error", "native failure");
    }
}

}  // namespace hux::jni
