// The natives of com.mordavin.hux.Instances and the Java receiver binding.
#include "services/instance_natives.h"

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "archive/natives.h"
#include "runtime/jvm_host.h"

namespace hux {

namespace {

constexpr int32_t kKindObject = 0;
constexpr int kFlushSteps = 100;
constexpr int kFlushStepMs = 50;

// Calls the bound Java receiver with each object that arrives. The binding may
// change on a Java thread while the pump delivers, so it is read under a lock
// and used through local references.
class ReceiverBinding : public InstanceReceiver {
public:
    void bind(JNIEnv* env, jobject receiver);
    void deliver(uint32_t sender, int32_t length, const uint8_t* bytes) override;

    int32_t enabled = 0;
    // Wait for a receiver instead of dropping what arrives before one.
    void holdUntilBound() {
        std::lock_guard<std::mutex> guard(waitLock_);
        hold_ = true;
    }

private:
    std::mutex waitLock_;
    std::condition_variable boundChanged_;
    bool hold_ = false;
    bool bound_ = false;
    platform::Mutex lock_;
    jobject loader_ = nullptr;    // global
    jobject receiver_ = nullptr;  // global
    jmethodID onReceive_ = nullptr;
};

ReceiverBinding& binding() {
    static ReceiverBinding instance;
    return instance;
}

// com.mordavin.hux.ClassLoaderObjectInputStream, through the system class
// loader or, failing that, the receiver's loader.
jclass inputStreamClass(JNIEnv* env, jobject loader) {
    if (jclass cls = env->FindClass("com/mordavin/hux/ClassLoaderObjectInputStream")) return cls;
    env->ExceptionClear();
    if (!loader) return nullptr;
    jclass loaderClass = env->GetObjectClass(loader);
    jmethodID load = env->GetMethodID(loaderClass, "loadClass", "(Ljava/lang/String;)Ljava/lang/Class;");
    jstring name = env->NewStringUTF("com.mordavin.hux.ClassLoaderObjectInputStream");
    jobject cls = (load && name) ? env->CallObjectMethod(loader, load, name) : nullptr;
    reportPendingException(env);
    if (name) env->DeleteLocalRef(name);
    env->DeleteLocalRef(loaderClass);
    return static_cast<jclass>(cls);
}

// Reads one object out of `bytes` through the receiver's class loader; null
// (the exception printed) when it cannot be read.
jobject readObject(JNIEnv* env, jobject loader, const uint8_t* bytes, int32_t length) {
    jbyteArray array = env->NewByteArray(length);
    if (!array) {
        reportPendingException(env);
        return nullptr;
    }
    env->SetByteArrayRegion(array, 0, length, reinterpret_cast<const jbyte*>(bytes));
    jobject result = nullptr;
    jclass bisClass = env->FindClass("java/io/ByteArrayInputStream");
    jmethodID bisInit = bisClass ? env->GetMethodID(bisClass, "<init>", "([B)V") : nullptr;
    jobject bis = bisInit ? env->NewObject(bisClass, bisInit, array) : nullptr;
    jclass oisClass = bis ? inputStreamClass(env, loader) : nullptr;
    jmethodID oisInit =
        oisClass ? env->GetMethodID(oisClass, "<init>", "(Ljava/io/InputStream;Ljava/lang/ClassLoader;)V") : nullptr;
    jobject ois = oisInit ? env->NewObject(oisClass, oisInit, bis, loader) : nullptr;
    if (ois) {
        jmethodID read = env->GetMethodID(oisClass, "readObject", "()Ljava/lang/Object;");
        result = read ? env->CallObjectMethod(ois, read) : nullptr;
        if (env->ExceptionCheck()) {
            reportPendingException(env);
            if (result) env->DeleteLocalRef(result);
            result = nullptr;
        }
        jmethodID close = env->GetMethodID(oisClass, "close", "()V");
        if (close) env->CallVoidMethod(ois, close);
        reportPendingException(env);
        env->DeleteLocalRef(ois);
    }
    reportPendingException(env);
    if (oisClass) env->DeleteLocalRef(oisClass);
    if (bis) env->DeleteLocalRef(bis);
    if (bisClass) env->DeleteLocalRef(bisClass);
    env->DeleteLocalRef(array);
    return result;
}

void ReceiverBinding::bind(JNIEnv* env, jobject receiver) {
    jobject newReceiver = nullptr;
    jobject newLoader = nullptr;
    jmethodID method = nullptr;
    if (receiver) {
        jclass cls = env->GetObjectClass(receiver);
        method = env->GetMethodID(cls, "onReceive", "(ILjava/io/Serializable;)V");
        reportPendingException(env);
        jclass classClass = env->FindClass("java/lang/Class");
        jmethodID getLoader =
            classClass ? env->GetMethodID(classClass, "getClassLoader", "()Ljava/lang/ClassLoader;") : nullptr;
        jobject loader = getLoader ? env->CallObjectMethod(cls, getLoader) : nullptr;
        reportPendingException(env);
        newReceiver = env->NewGlobalRef(receiver);
        if (loader) newLoader = env->NewGlobalRef(loader);
        if (loader) env->DeleteLocalRef(loader);
        if (classClass) env->DeleteLocalRef(classClass);
        env->DeleteLocalRef(cls);
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

void ReceiverBinding::deliver(uint32_t sender, int32_t length, const uint8_t* bytes) {
    if (length < 4) return;
    int32_t kind;
    std::memcpy(&kind, bytes, 4);  // little-endian on every target
    if (kind != kKindObject) return;
    {
        // Runs on the delivery thread, which is left behind at exit if it
        // still waits here.
        std::unique_lock<std::mutex> guard(waitLock_);
        if (hold_) boundChanged_.wait(guard, [this] { return bound_; });
    }
    {
        platform::MutexLock guard(lock_);
        if (!receiver_ || !onReceive_) return;
    }
    JvmHost* host = activeJvmHost();
    auto* vm = host ? static_cast<JavaVM*>(host->vm) : nullptr;
    JNIEnv* env = nullptr;
    if (!vm || vm->AttachCurrentThreadAsDaemon(reinterpret_cast<void**>(&env), nullptr) != 0 || !env) return;
    jobject receiver = nullptr;
    jobject loader = nullptr;
    jmethodID method;
    {
        platform::MutexLock guard(lock_);
        if (receiver_) receiver = env->NewLocalRef(receiver_);
        if (loader_) loader = env->NewLocalRef(loader_);
        method = onReceive_;
    }
    if (receiver && method) {
        setContextClassLoader(env, loader);
        if (jobject object = readObject(env, loader, bytes + 4, length - 4)) {
            env->CallVoidMethod(receiver, method, static_cast<jint>(sender), object);
            reportPendingException(env);
            env->DeleteLocalRef(object);
        }
    }
    if (receiver) env->DeleteLocalRef(receiver);
    if (loader) env->DeleteLocalRef(loader);
    vm->DetachCurrentThread();
}

InstanceChannel* channel() { return activeChannel(); }

}  // namespace

InstanceReceiver& javaReceiver() { return binding(); }
bool messagingEnabled() { return __atomic_load_n(&binding().enabled, __ATOMIC_ACQUIRE) != 0; }
void enableMessaging() { __atomic_store_n(&binding().enabled, 1, __ATOMIC_RELEASE); }
void holdMessagesUntilReceiverBound() { binding().holdUntilBound(); }

}  // namespace hux

using namespace hux;

extern "C" {

JNIEXPORT jint JNICALL Java_com_mordavin_hux_Instances_getFirstInstance(JNIEnv*, jclass) {
    if (!messagingEnabled() || !channel()) return -1;
    return static_cast<jint>(channel()->hubPid());
}

JNIEXPORT jint JNICALL Java_com_mordavin_hux_Instances_getCurrentInstance(JNIEnv*, jclass) {
    if (!messagingEnabled() || !channel()) return -1;
    return static_cast<jint>(channel()->ownPid());
}

JNIEXPORT jintArray JNICALL Java_com_mordavin_hux_Instances_getInstances(JNIEnv* env, jclass) {
    std::vector<uint32_t> pids;
    if (InstanceChannel* c = channel()) pids = c->instances();
    jintArray array = env->NewIntArray(static_cast<jsize>(pids.size()));
    if (!array) {
        reportPendingException(env);
        return nullptr;
    }
    std::vector<jint> values(pids.begin(), pids.end());
    if (!values.empty()) env->SetIntArrayRegion(array, 0, static_cast<jsize>(values.size()), values.data());
    return array;
}

JNIEXPORT void JNICALL Java_com_mordavin_hux_Instances_sendObject(JNIEnv* env, jclass, jint target,
                                                                  jobject object) {
    InstanceChannel* c = channel();
    if (!messagingEnabled() || !c) return;
    uint32_t to = target == 0 ? c->hubPid() : static_cast<uint32_t>(target);

    jclass bosClass = env->FindClass("java/io/ByteArrayOutputStream");
    jmethodID bosInit = bosClass ? env->GetMethodID(bosClass, "<init>", "()V") : nullptr;
    jobject bos = bosInit ? env->NewObject(bosClass, bosInit) : nullptr;
    jclass oosClass = bos ? env->FindClass("java/io/ObjectOutputStream") : nullptr;
    jmethodID oosInit = oosClass ? env->GetMethodID(oosClass, "<init>", "(Ljava/io/OutputStream;)V") : nullptr;
    jobject oos = oosInit ? env->NewObject(oosClass, oosInit, bos) : nullptr;
    bool ok = false;
    if (oos) {
        jmethodID write = env->GetMethodID(oosClass, "writeObject", "(Ljava/lang/Object;)V");
        if (write) env->CallVoidMethod(oos, write, object);
        if (write && !env->ExceptionCheck()) {
            jmethodID close = env->GetMethodID(oosClass, "close", "()V");
            if (close) env->CallVoidMethod(oos, close);
            ok = close && !env->ExceptionCheck();
        }
    }
    reportPendingException(env);
    if (object) env->DeleteLocalRef(object);
    jbyteArray array = nullptr;
    if (ok) {
        jmethodID toArray = env->GetMethodID(bosClass, "toByteArray", "()[B");
        array = toArray ? static_cast<jbyteArray>(env->CallObjectMethod(bos, toArray)) : nullptr;
        if (env->ExceptionCheck()) {
            reportPendingException(env);
            if (array) env->DeleteLocalRef(array);
            array = nullptr;
        }
    }
    if (array) {
        const jsize length = env->GetArrayLength(array);
        if (jbyte* elements = env->GetByteArrayElements(array, nullptr)) {
            ByteBuffer message;
            const int32_t kind = kKindObject;
            message.append(&kind, 4);
            message.append(elements, length);
            env->ReleaseByteArrayElements(array, elements, JNI_ABORT);
            c->enqueueMessage(to, message.data(), message.length());
        }
        reportPendingException(env);
        env->DeleteLocalRef(array);
    }
    if (oos) env->DeleteLocalRef(oos);
    if (oosClass) env->DeleteLocalRef(oosClass);
    if (bos) env->DeleteLocalRef(bos);
    if (bosClass) env->DeleteLocalRef(bosClass);
}

JNIEXPORT void JNICALL Java_com_mordavin_hux_Instances_flush(JNIEnv*, jclass) {
    InstanceChannel* c = channel();
    if (!messagingEnabled() || !c) return;
    for (int i = 0; i < kFlushSteps && !c->queueEmpty(); ++i) platform::sleepMs(kFlushStepMs);
}

JNIEXPORT void JNICALL Java_com_mordavin_hux_Instances_setReceiver(JNIEnv* env, jclass, jobject receiver) {
    binding().bind(env, receiver);
}

}  // extern "C"
