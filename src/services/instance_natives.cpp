// The natives of com.mordavin.hux.Instances and the Java receiver binding.
#include "services/instance_natives.h"

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <vector>

#include "common/never_destroyed.h"
#include "jni/attach.h"
#include "jni/exceptions.h"
#include "jni/java_calls.h"
#include "jni/launch_context.h"
#include "jni/local_ref.h"
#include "platform/mutex.h"
#include "platform/threads.h"

namespace hux {

using jni::LocalRef;

namespace {

constexpr int32_t kKindObject = kMessageObject;
// Instances.flush() (and the flush at exit) gives up after this long without
// any progress, or this long in all.
constexpr int64_t kFlushStallMs = 5000;
constexpr int64_t kFlushLimitMs = 60000;

// Calls the bound Java receiver with each object that arrives. The binding may
// change on a Java thread while the pump delivers, so it is read under a lock
// and used through local references.
class ReceiverBinding : public InstanceReceiver {
public:
    void bind(JNIEnv* env, jobject receiver);
    void deliver(uint32_t sender, int32_t length, const uint8_t* bytes) override { handToJava(sender, length, bytes); }
    // Confirmed once onReceive has been called and has returned (an exception
    // it throws is the application's: it had the object).
    bool deliverConfirmed(uint32_t sender, int32_t length, const uint8_t* bytes) override {
        return handToJava(sender, length, bytes);
    }
    // Answered as soon as onReceive has returned, before the thread leaves
    // the virtual machine (detaching takes far longer than the answer).
    void deliverAnswering(uint32_t sender, int32_t length, const uint8_t* bytes,
                          const std::function<void(bool)>& answered) override {
        bool called = false;
        const std::function<void(bool)> once = [&](bool taken) {
            if (called) return;
            called = true;
            answered(taken);
        };
        once(handToJava(sender, length, bytes, &once));
    }
    bool ready() override {
        std::lock_guard<std::mutex> guard(waitLock_);
        return bound_;
    }

    std::atomic<bool> enabled{false};
    // Wait for a receiver instead of dropping what arrives before one.
    void holdUntilBound() {
        std::lock_guard<std::mutex> guard(waitLock_);
        hold_ = true;
    }

private:
    bool handToJava(uint32_t sender, int32_t length, const uint8_t* bytes,
                    const std::function<void(bool)>* returned = nullptr);
    std::mutex waitLock_;
    std::condition_variable boundChanged_;
    bool hold_ = false;
    bool bound_ = false;
    platform::Mutex lock_;
    jobject loader_ = nullptr;    // global
    jobject receiver_ = nullptr;  // global
    jmethodID onReceive_ = nullptr;
};

// Never destroyed: a delivery left inside the virtual machine may still use it
// while the process exits.
ReceiverBinding& binding() {
    static NeverDestroyed<ReceiverBinding> instance;
    return *instance;
}

// com.mordavin.hux.ClassLoaderObjectInputStream, through the system class
// loader or, failing that, the receiver's loader.
jclass inputStreamClass(JNIEnv* env, jobject loader) {
    if (jclass cls = env->FindClass("com/mordavin/hux/ClassLoaderObjectInputStream")) return cls;
    env->ExceptionClear();
    if (!loader) return nullptr;
    LocalRef<jclass> loaderClass(env, env->GetObjectClass(loader));
    jmethodID load = env->GetMethodID(loaderClass.get(), "loadClass", "(Ljava/lang/String;)Ljava/lang/Class;");
    LocalRef<jstring> name(env, env->NewStringUTF("com.mordavin.hux.ClassLoaderObjectInputStream"));
    jobject cls = (load && name) ? env->CallObjectMethod(loader, load, name.get()) : nullptr;
    jni::reportPendingException(env);
    return static_cast<jclass>(cls);
}

// Reads one object out of `bytes` through the receiver's class loader; null
// (the exception printed) when it cannot be read.
jobject readObject(JNIEnv* env, jobject loader, const uint8_t* bytes, int32_t length) {
    LocalRef<jbyteArray> array(env, env->NewByteArray(length));
    if (!array) {
        jni::reportPendingException(env);
        return nullptr;
    }
    env->SetByteArrayRegion(array.get(), 0, length, reinterpret_cast<const jbyte*>(bytes));
    LocalRef<> result;
    LocalRef<jclass> bisClass(env, env->FindClass("java/io/ByteArrayInputStream"));
    jmethodID bisInit = bisClass ? env->GetMethodID(bisClass.get(), "<init>", "([B)V") : nullptr;
    LocalRef<> bis(env, bisInit ? env->NewObject(bisClass.get(), bisInit, array.get()) : nullptr);
    LocalRef<jclass> oisClass(env, bis ? inputStreamClass(env, loader) : nullptr);
    jmethodID oisInit =
        oisClass ? env->GetMethodID(oisClass.get(), "<init>", "(Ljava/io/InputStream;Ljava/lang/ClassLoader;)V")
                 : nullptr;
    LocalRef<> ois(env, oisInit ? env->NewObject(oisClass.get(), oisInit, bis.get(), loader) : nullptr);
    if (ois) {
        jmethodID read = env->GetMethodID(oisClass.get(), "readObject", "()Ljava/lang/Object;");
        result = LocalRef<>(env, read ? env->CallObjectMethod(ois.get(), read) : nullptr);
        if (jni::reportPendingException(env)) result.reset();
        jmethodID close = env->GetMethodID(oisClass.get(), "close", "()V");
        if (close) env->CallVoidMethod(ois.get(), close);
        jni::reportPendingException(env);
    }
    jni::reportPendingException(env);
    return result.release();
}

void ReceiverBinding::bind(JNIEnv* env, jobject receiver) {
    jobject newReceiver = nullptr;
    jobject newLoader = nullptr;
    jmethodID method = nullptr;
    if (receiver) {
        LocalRef<jclass> cls(env, env->GetObjectClass(receiver));
        method = env->GetMethodID(cls.get(), "onReceive", "(ILjava/io/Serializable;)V");
        jni::reportPendingException(env);
        LocalRef<jclass> classClass(env, env->FindClass("java/lang/Class"));
        jmethodID getLoader =
            classClass ? env->GetMethodID(classClass.get(), "getClassLoader", "()Ljava/lang/ClassLoader;") : nullptr;
        LocalRef<> loader(env, getLoader ? env->CallObjectMethod(cls.get(), getLoader) : nullptr);
        jni::reportPendingException(env);
        newReceiver = env->NewGlobalRef(receiver);
        if (loader) newLoader = env->NewGlobalRef(loader.get());
    }
    jobject oldReceiver, oldLoader;
    {
        platform::MutexLock guard(lock_);
        oldReceiver = receiver_;
        oldLoader = loader_;
        receiver_ = newReceiver;
        loader_ = newLoader;
        onReceive_ = method;
    }
    if (oldReceiver) env->DeleteGlobalRef(oldReceiver);
    if (oldLoader) env->DeleteGlobalRef(oldLoader);
    std::lock_guard<std::mutex> guard(waitLock_);
    bound_ = newReceiver != nullptr;
    boundChanged_.notify_all();
}

bool ReceiverBinding::handToJava(uint32_t sender, int32_t length, const uint8_t* bytes,
                                 const std::function<void(bool)>* returned) {
    if (length < 4) return false;
    int32_t kind;
    std::memcpy(&kind, bytes, 4);  // little-endian on every target
    if (kind != kKindObject) return false;
    {
        // Runs on the delivery thread, which is left behind at exit if it
        // still waits here.
        std::unique_lock<std::mutex> guard(waitLock_);
        if (hold_) boundChanged_.wait(guard, [this] { return bound_; });
    }
    {
        platform::MutexLock guard(lock_);
        if (!receiver_ || !onReceive_) return false;
    }
    // The pump thread enters Java here, like a native: it reads the published
    // launch for the virtual machine.
    const LaunchContext* context = launchContext();
    jni::AttachedThread thread(context ? context->runningVm() : nullptr, jni::AttachedThread::Kind::Daemon);
    JNIEnv* env = thread.env();
    if (!env) return false;
    LocalRef<> receiver, loader;
    jmethodID method;
    {
        platform::MutexLock guard(lock_);
        if (receiver_) receiver = LocalRef<>(env, env->NewLocalRef(receiver_));
        if (loader_) loader = LocalRef<>(env, env->NewLocalRef(loader_));
        method = onReceive_;
    }
    if (!receiver || !method) return false;
    jni::setContextClassLoader(env, loader.get());
    LocalRef<> object(env, readObject(env, loader.get(), bytes + 4, length - 4));
    if (!object) return false;
    env->CallVoidMethod(receiver.get(), method, static_cast<jint>(sender), object.get());
    if (returned) (*returned)(true);
    jni::reportPendingException(env);
    return true;
}

InstanceChannel* channel() {
    const LaunchContext* context = launchContext();
    return context ? context->channel : nullptr;
}

// The serialised form of `object` (ObjectOutputStream); null (the exception
// printed) when it cannot be written.
jbyteArray serialize(JNIEnv* env, jobject object) {
    LocalRef<jclass> bosClass(env, env->FindClass("java/io/ByteArrayOutputStream"));
    jmethodID bosInit = bosClass ? env->GetMethodID(bosClass.get(), "<init>", "()V") : nullptr;
    LocalRef<> bos(env, bosInit ? env->NewObject(bosClass.get(), bosInit) : nullptr);
    LocalRef<jclass> oosClass(env, bos ? env->FindClass("java/io/ObjectOutputStream") : nullptr);
    jmethodID oosInit = oosClass ? env->GetMethodID(oosClass.get(), "<init>", "(Ljava/io/OutputStream;)V") : nullptr;
    LocalRef<> oos(env, oosInit ? env->NewObject(oosClass.get(), oosInit, bos.get()) : nullptr);
    bool ok = false;
    if (oos) {
        jmethodID write = env->GetMethodID(oosClass.get(), "writeObject", "(Ljava/lang/Object;)V");
        if (write) env->CallVoidMethod(oos.get(), write, object);
        if (write && !env->ExceptionCheck()) {
            jmethodID close = env->GetMethodID(oosClass.get(), "close", "()V");
            if (close) env->CallVoidMethod(oos.get(), close);
            ok = close && !env->ExceptionCheck();
        }
    }
    jni::reportPendingException(env);
    if (!ok) return nullptr;
    jmethodID toArray = env->GetMethodID(bosClass.get(), "toByteArray", "()[B");
    LocalRef<jbyteArray> array(env,
                               toArray ? static_cast<jbyteArray>(env->CallObjectMethod(bos.get(), toArray)) : nullptr);
    if (jni::reportPendingException(env)) return nullptr;
    return array.release();
}

void sendObject(JNIEnv* env, jint target, jobject object) {
    InstanceChannel* c = channel();
    if (!messagingEnabled() || !c) return;
    const uint32_t to = target == 0 ? c->hubPid() : static_cast<uint32_t>(target);
    LocalRef<jbyteArray> array(env, serialize(env, object));
    if (!array) return;
    const jsize length = env->GetArrayLength(array.get());
    if (jbyte* elements = env->GetByteArrayElements(array.get(), nullptr)) {
        ByteBuffer message;
        const int32_t kind = kKindObject;
        message.append(&kind, 4);
        message.append(elements, length);
        env->ReleaseByteArrayElements(array.get(), elements, JNI_ABORT);
        c->enqueueMessage(to, message.data(), message.length());
    }
    jni::reportPendingException(env);
}

jintArray instancePids(JNIEnv* env) {
    std::vector<uint32_t> pids;
    if (InstanceChannel* c = channel()) pids = c->instances();
    jintArray array = env->NewIntArray(static_cast<jsize>(pids.size()));
    if (!array) {
        jni::reportPendingException(env);
        return nullptr;
    }
    std::vector<jint> values(pids.begin(), pids.end());
    if (!values.empty()) env->SetIntArrayRegion(array, 0, static_cast<jsize>(values.size()), values.data());
    return array;
}

}  // namespace

InstanceReceiver& javaReceiver() { return binding(); }
bool messagingEnabled() { return binding().enabled.load(std::memory_order_acquire); }
void enableMessaging() { binding().enabled.store(true, std::memory_order_release); }
void holdMessagesUntilReceiverBound() { binding().holdUntilBound(); }

}  // namespace hux

using namespace hux;

extern "C" {

JNIEXPORT jint JNICALL Java_com_mordavin_hux_Instances_getFirstInstance(JNIEnv* env, jclass) {
    return jni::guardNative(env, []() -> jint {
        if (!messagingEnabled() || !channel()) return -1;
        return static_cast<jint>(channel()->hubPid());
    });
}

JNIEXPORT jint JNICALL Java_com_mordavin_hux_Instances_getCurrentInstance(JNIEnv* env, jclass) {
    return jni::guardNative(env, []() -> jint {
        if (!messagingEnabled() || !channel()) return -1;
        return static_cast<jint>(channel()->ownPid());
    });
}

JNIEXPORT jintArray JNICALL Java_com_mordavin_hux_Instances_getInstances(JNIEnv* env, jclass) {
    return jni::guardNative(env, [&] { return instancePids(env); });
}

JNIEXPORT void JNICALL Java_com_mordavin_hux_Instances_sendObject(JNIEnv* env, jclass, jint target, jobject object) {
    jni::guardNative(env, [&] { sendObject(env, target, object); });
}

JNIEXPORT void JNICALL Java_com_mordavin_hux_Instances_flush(JNIEnv* env, jclass) {
    jni::guardNative(env, [] {
        InstanceChannel* c = channel();
        if (!messagingEnabled() || !c) return;
        c->flush(kFlushLimitMs, kFlushStallMs);
    });
}

JNIEXPORT jint JNICALL Java_com_mordavin_hux_Instances_flushWithin(JNIEnv* env, jclass, jlong timeoutMillis) {
    return jni::guardNative(env, [timeoutMillis]() -> jint {
        InstanceChannel* c = channel();
        if (!messagingEnabled() || !c) return 0;
        const int64_t bound = timeoutMillis < 0 ? 0 : static_cast<int64_t>(timeoutMillis);
        return static_cast<jint>(c->flush(bound, bound));
    });
}

JNIEXPORT void JNICALL Java_com_mordavin_hux_Instances_setReceiver(JNIEnv* env, jclass, jobject receiver) {
    jni::guardNative(env, [&] { binding().bind(env, receiver); });
}

}  // extern "C"
