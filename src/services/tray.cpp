#include "services/tray.h"

#include "common/never_destroyed.h"
#include "jni/attach.h"
#include "jni/exceptions.h"
#include "jni/local_ref.h"
#include "jni/vm_slot.h"
#include "platform/mutex.h"
#include "services/tray_core.h"

namespace hux {

using jni::LocalRef;

namespace {

platform::Mutex& callbackLock() {
    static NeverDestroyed<platform::Mutex> m;
    return *m;
}
jobject gCallback = nullptr;  // trayCallbackRef, under callbackLock()

const char kMouseSignature[] = "(Lcom/mordavin/hux/SystemTray;I)V";

// Attaches the window thread for one call into the application's callback.
// Once the launcher has shut the virtual machine down (its library may be
// unloaded), the slot is empty and a late click does not attach to it.
template <typename Call>
void withCallback(const jni::VmSlot& slot, Call call) {
    JavaVM* vm = slot.get();
    if (!vm) return;
    {
        platform::MutexLock hold(callbackLock());
        if (!gCallback) return;
    }
    jni::AttachedThread thread(vm);
    JNIEnv* env = thread.env();
    if (!env) return;
    LocalRef<> callback;
    {
        platform::MutexLock hold(callbackLock());
        if (gCallback) callback = LocalRef<>(env, env->NewLocalRef(gCallback));
    }
    if (!callback) return;
    LocalRef<jclass> cls(env, env->GetObjectClass(callback.get()));
    call(env, callback.get(), cls.get());
    jni::reportPendingException(env);
}

class JavaTrayEvents : public TrayEvents {
public:
    explicit JavaTrayEvents(const jni::VmSlot& vm) : vm_(vm) {}
    void mouseClick(uint32_t iconId, uint32_t message) override {
        withCallback(vm_, [&](JNIEnv* env, jobject callback, jclass cls) {
            jmethodID method = env->GetMethodID(cls, "OnMouseClick", kMouseSignature);
            if (!method) return;
            void* pinned = nullptr;
            const bool found = trayIcons().pinIcon(
                iconId, [env](void* ref) -> void* { return env->NewLocalRef(static_cast<jobject>(ref)); }, pinned);
            if (!found) return;
            LocalRef<> tray(env, static_cast<jobject>(pinned));
            env->CallVoidMethod(callback, method, tray.get(), static_cast<jint>(message));
        });
    }
    void menuCommand(int32_t id) override {
        withCallback(vm_, [&](JNIEnv* env, jobject callback, jclass cls) {
            jmethodID method = env->GetMethodID(cls, "OnMenuCommand", "(I)V");
            if (method) env->CallVoidMethod(callback, method, static_cast<jint>(id));
        });
    }

private:
    const jni::VmSlot& vm_;
};

}  // namespace

void startTrayWindow(const jni::VmSlot& vm) {
    // The window thread may deliver a click while the process exits.
    static NeverDestroyed<JavaTrayEvents> javaEvents(vm);
    setTrayEvents(&javaEvents.get());
    platform::TrayWindowHandlers handlers{onTrayNotification, onTrayCommand};
    platform::startTrayMessageWindow(handlers, 30000);
}

void removeAllTrayIcons() { trayIcons().removeAll(); }

void setTrayCallback(JNIEnv* env, jobject callback) {
    platform::MutexLock hold(callbackLock());
    if (gCallback) env->DeleteGlobalRef(gCallback);
    gCallback = callback ? env->NewGlobalRef(callback) : nullptr;
}

}  // namespace hux
