#include "jni/java_calls.h"

#include "jni/exceptions.h"
#include "jni/java_strings.h"

namespace hux::jni {

namespace {

// java.lang.System and one of its static methods, or a null method with
// nothing pending.
struct SystemMethod {
    SystemMethod(JNIEnv* env, const char* name, const char* signature)
        : system(env, env->FindClass("java/lang/System")) {
        method = system ? env->GetStaticMethodID(system.get(), name, signature) : nullptr;
        if (!method) env->ExceptionClear();
    }
    LocalRef<jclass> system;
    jmethodID method = nullptr;
};

constexpr const char kSetPropertySignature[] = "(Ljava/lang/String;Ljava/lang/String;)Ljava/lang/String;";

}  // namespace

bool systemProperty(JNIEnv* env, const char* name, LocalRef<jstring>& value) {
    SystemMethod get(env, "getProperty", "(Ljava/lang/String;)Ljava/lang/String;");
    if (!get.method) return false;
    LocalRef<jstring> key(env, env->NewStringUTF(name));
    value = LocalRef<jstring>(
        env,
        key ? static_cast<jstring>(env->CallStaticObjectMethod(get.system.get(), get.method, key.get())) : nullptr);
    if (env->ExceptionCheck()) {
        env->ExceptionClear();
        value.reset();
    }
    return true;
}

bool setSystemProperty(JNIEnv* env, jstring name, jstring value) {
    SystemMethod set(env, "setProperty", kSetPropertySignature);
    if (!set.method) return false;
    if (name && value) LocalRef<> previous(env, env->CallStaticObjectMethod(set.system.get(), set.method, name, value));
    env->ExceptionClear();
    return true;
}

bool setSystemProperty(JNIEnv* env, std::u16string_view name, std::u16string_view value) {
    SystemMethod set(env, "setProperty", kSetPropertySignature);
    if (!set.method) return false;
    LocalRef<jstring> jname(env, newString(env, name));
    LocalRef<jstring> jvalue(env, jname ? newString(env, value) : nullptr);
    if (jname && jvalue)
        LocalRef<> previous(env, env->CallStaticObjectMethod(set.system.get(), set.method, jname.get(), jvalue.get()));
    env->ExceptionClear();
    return true;
}

void systemExit(JNIEnv* env, jint code) {
    SystemMethod exit(env, "exit", "(I)V");
    if (exit.method) env->CallStaticVoidMethod(exit.system.get(), exit.method, code);
    env->ExceptionClear();
}

void printToSystemErr(JNIEnv* env, std::u16string_view text) {
    LocalRef<jclass> system(env, env->FindClass("java/lang/System"));
    jfieldID errField = system ? env->GetStaticFieldID(system.get(), "err", "Ljava/io/PrintStream;") : nullptr;
    LocalRef<> err(env, errField ? env->GetStaticObjectField(system.get(), errField) : nullptr);
    LocalRef<jclass> printStream(env, err ? env->GetObjectClass(err.get()) : nullptr);
    jmethodID println = printStream ? env->GetMethodID(printStream.get(), "println", "(Ljava/lang/String;)V") : nullptr;
    LocalRef<jstring> line(env, println ? newString(env, text) : nullptr);
    if (line) env->CallVoidMethod(err.get(), println, line.get());
    env->ExceptionClear();
}

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
