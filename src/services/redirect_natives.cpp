// The native of RedirOutputStream: one byte at a time to the handle the
// redirector opened.
#include "services/redirect_natives.h"

#include <atomic>
#include <cstdint>

#include "jni/exceptions.h"
#include "jni/local_ref.h"
#include "platform/redirect.h"

namespace {

// The field "h" is looked up once and kept for the process: declared long,
// or, failing that, int.
struct HandleField {
    std::atomic<jfieldID> id{nullptr};
    std::atomic<bool> isInt{false};
};
HandleField handleField;

}  // namespace

namespace {

void writeByte(JNIEnv* env, jobject self, jint b) {
    if (!self) return;
    jfieldID id = handleField.id.load(std::memory_order_acquire);
    if (!id) {
        bool isInt = false;
        {
            hux::jni::LocalRef<jclass> cls(env, env->GetObjectClass(self));
            id = cls ? env->GetFieldID(cls.get(), "h", "J") : nullptr;
            if (!id && cls) {
                env->ExceptionClear();
                id = env->GetFieldID(cls.get(), "h", "I");
                isInt = true;
            }
        }
        if (!id) {
            hux::jni::reportPendingException(env);
            return;
        }
        handleField.isInt.store(isInt, std::memory_order_relaxed);
        handleField.id.store(id, std::memory_order_release);
    }
    const jlong handle =
        handleField.isInt.load(std::memory_order_relaxed) ? env->GetIntField(self, id) : env->GetLongField(self, id);
    const auto byte = static_cast<unsigned char>(b & 0xFF);
    hux::platform::writeToHandle(static_cast<intptr_t>(handle), &byte, 1);
}

}  // namespace

extern "C" JNIEXPORT void JNICALL Java_com_mordavin_hux_RedirOutputStream_write(JNIEnv* env, jobject self, jint b) {
    hux::jni::guardNative(env, [&] { writeByte(env, self, b); });
}
