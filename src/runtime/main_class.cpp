#include "runtime/main_class.h"

#include <jni.h>

#include <cstdio>

#include "config/config_values.h"
#include "jni/exceptions.h"
#include "jni/java_calls.h"
#include "jni/java_strings.h"
#include "jni/local_ref.h"
#include "platform/text.h"
#include "runtime/version_limits.h"

namespace hux {

using jni::LocalRef;

namespace {

jobject newLoader(JNIEnv* env, jclass loaderClass) {
    jmethodID init = env->GetMethodID(loaderClass, "<init>", "()V");
    jobject loader = init ? env->NewObject(loaderClass, init) : nullptr;
    if (!loader) {
        env->ExceptionClear();
        return nullptr;
    }
    jni::setContextClassLoader(env, loader);
    return loader;
}

// An exception that ends `main` goes to the main thread's uncaught-exception
// handler, as it does when the thread ends under `java`: the default handler
// prints "Exception in thread "main" ..." and the trace, and one the
// application installed runs instead.
void dispatchUncaughtException(JNIEnv* env) {
    LocalRef<jthrowable> thrown(env, env->ExceptionOccurred());
    env->ExceptionClear();
    LocalRef<jclass> thread(env, env->FindClass("java/lang/Thread"));
    jmethodID current =
        thread ? env->GetStaticMethodID(thread.get(), "currentThread", "()Ljava/lang/Thread;") : nullptr;
    jmethodID getHandler = thread ? env->GetMethodID(thread.get(), "getUncaughtExceptionHandler",
                                                     "()Ljava/lang/Thread$UncaughtExceptionHandler;")
                                  : nullptr;
    LocalRef<jobject> self(env, (current && getHandler) ? env->CallStaticObjectMethod(thread.get(), current) : nullptr);
    LocalRef<jobject> handler(env, self ? env->CallObjectMethod(self.get(), getHandler) : nullptr);
    LocalRef<jclass> handlerClass(env, handler ? env->GetObjectClass(handler.get()) : nullptr);
    jmethodID uncaught = handlerClass ? env->GetMethodID(handlerClass.get(), "uncaughtException",
                                                         "(Ljava/lang/Thread;Ljava/lang/Throwable;)V")
                                      : nullptr;
    if (uncaught && !env->ExceptionCheck()) {
        env->CallVoidMethod(handler.get(), uncaught, self.get(), thrown.get());
        env->ExceptionClear();  // the JVM ignores what a handler throws
    } else {
        // No handler reachable: print the trace the plain way.
        env->ExceptionClear();
        env->Throw(thrown.get());
        jni::reportPendingException(env);
    }
}

jobjectArray buildArgumentArray(JNIEnv* env, const std::vector<std::u16string>& arguments) {
    LocalRef<jclass> string(env, env->FindClass("java/lang/String"));
    if (!string) return nullptr;
    jobjectArray array = env->NewObjectArray(static_cast<jsize>(arguments.size()), string.get(), nullptr);
    if (!array) return nullptr;
    jsize index = 0;
    for (const std::u16string& units : arguments) {
        LocalRef<jstring> s(env, jni::newString(env, units));
        env->SetObjectArrayElement(array, index++, s.get());
    }
    return array;
}

// Whether `object` is an instance of the class named `name` (false where
// that class cannot be found); leaves nothing pending.
bool isInstanceOfNamed(JNIEnv* env, jobject object, const char* name) {
    LocalRef<jclass> type(env, env->FindClass(name));
    const bool is = type && env->IsInstanceOf(object, type.get());
    env->ExceptionClear();
    return is;
}

// Whether the pending exception comes from the class's initialisation rather
// than from a method that is not there (a NoSuchMethodError, or nothing).
bool pendingIsFailedInitialisation(JNIEnv* env) {
    LocalRef<jthrowable> thrown(env, env->ExceptionOccurred());
    if (!thrown) return false;
    env->ExceptionClear();
    const bool missing = isInstanceOfNamed(env, thrown.get(), "java/lang/NoSuchMethodError");
    env->Throw(thrown.get());
    return !missing;
}

// Whether the method is private (java.lang.reflect.Modifier.PRIVATE).
bool isPrivate(JNIEnv* env, jclass cls, jmethodID method, bool isStatic) {
    LocalRef<> reflected(env, env->ToReflectedMethod(cls, method, isStatic ? JNI_TRUE : JNI_FALSE));
    LocalRef<jclass> type(env, reflected ? env->GetObjectClass(reflected.get()) : nullptr);
    jmethodID modifiers = type ? env->GetMethodID(type.get(), "getModifiers", "()I") : nullptr;
    const jint bits = modifiers ? env->CallIntMethod(reflected.get(), modifiers) : 0;
    env->ExceptionClear();
    return (bits & 0x2) != 0;
}

// The other entry points the JDK's launcher takes from Java 25 on, when the
// class has no static main(String[]): an instance main(String[]), then a
// static or instance main() without parameters, none of them private. An
// instance is made with the class's no-argument constructor.
struct MainEntry {
    jmethodID method = nullptr;
    bool isStatic = false;
    bool withArguments = false;
};

// Java 25 and later (asked only when the class has no static main(String[])).
bool runsLaterMainEntries(JNIEnv* env) {
    ByteString version;
    int32_t components[4] = {0, 0, 0, 0};
    return readJavaVersion(env, version) && scanVersion(version.c_str(), components) >= 1 && components[0] >= 25;
}

MainEntry findLaterMainEntry(JNIEnv* env, jclass cls) {
    const struct {
        const char* signature;
        bool isStatic;
    } forms[] = {{"([Ljava/lang/String;)V", false}, {"()V", true}, {"()V", false}};
    for (const auto& form : forms) {
        jmethodID m = form.isStatic ? env->GetStaticMethodID(cls, "main", form.signature)
                                    : env->GetMethodID(cls, "main", form.signature);
        env->ExceptionClear();
        if (m && !isPrivate(env, cls, m, form.isStatic)) return MainEntry{m, form.isStatic, form.signature[1] == '['};
    }
    return {};
}

// Calls `obj.name()` for a String, or returns null with nothing pending.
jstring callString(JNIEnv* env, jobject obj, const char* name) {
    LocalRef<jclass> type(env, obj ? env->GetObjectClass(obj) : nullptr);
    jmethodID m = type ? env->GetMethodID(type.get(), name, "()Ljava/lang/String;") : nullptr;
    jstring s = m ? static_cast<jstring>(env->CallObjectMethod(obj, m)) : nullptr;
    env->ExceptionClear();
    return s;
}

std::u16string unitsOf(JNIEnv* env, jstring s) {
    if (!s) return u"null";
    return jni::stringUnits(env, s).value_or(u"null");
}

// `java` looks main up through reflection (Class.getMethod) before it
// initialises the class, which resolves the types in the signatures of its
// public methods: a missing one ends the launch there with two lines on
// standard error and exit code 1, where calling main would have run it.
// Answers false after printing those lines; any other outcome (no such
// public method: the lookups below decide) answers true.
bool mainClassLinks(JNIEnv* env, jclass cls) {
    LocalRef<jclass> classType(env, env->FindClass("java/lang/Class"));
    LocalRef<jclass> stringArray(env, classType ? env->FindClass("[Ljava/lang/String;") : nullptr);
    if (!stringArray) {
        env->ExceptionClear();
        return true;
    }
    jmethodID getMethod = classType
                              ? env->GetMethodID(classType.get(), "getMethod",
                                                 "(Ljava/lang/String;[Ljava/lang/Class;)Ljava/lang/reflect/Method;")
                              : nullptr;
    LocalRef<jobjectArray> types(env, getMethod ? env->NewObjectArray(1, classType.get(), stringArray.get()) : nullptr);
    LocalRef<jstring> name(env, types ? env->NewStringUTF("main") : nullptr);
    if (!name) {
        env->ExceptionClear();
        return true;
    }
    LocalRef<> method(env, env->CallObjectMethod(cls, getMethod, name.get(), types.get()));
    LocalRef<jthrowable> thrown(env, env->ExceptionOccurred());
    if (!thrown) return true;
    env->ExceptionClear();
    if (!isInstanceOfNamed(env, thrown.get(), "java/lang/LinkageError")) return true;

    LocalRef<jstring> className(env, callString(env, cls, "getName"));
    LocalRef<jclass> thrownType(env, env->GetObjectClass(thrown.get()));
    LocalRef<jstring> thrownName(env, callString(env, thrownType.get(), "getName"));
    LocalRef<jstring> message(env, callString(env, thrown.get(), "getLocalizedMessage"));
    const std::u16string text = u"Error: Unable to initialize main class " + unitsOf(env, className.get()) +
                                u"\nCaused by: " + unitsOf(env, thrownName.get()) + u": " + unitsOf(env, message.get());
    jni::printToSystemErr(env, text);
    return false;
}

}  // namespace

jobject loadMainClass(const LaunchConfig& config, JvmHost& host, const ByteString& mainClass) {
    JNIEnv* env = host.jniEnv();
    LocalRef<jclass> loaderClass(
        env, env->FindClass(host.direct ? "java/lang/ClassLoader" : "com/mordavin/hux/CarvossClassLoader"));
    jmethodID loadClass =
        loaderClass ? env->GetMethodID(loaderClass.get(), "loadClass", "(Ljava/lang/String;)Ljava/lang/Class;")
                    : nullptr;
    if (!loadClass) {
        env->ExceptionClear();
        return nullptr;
    }
    LocalRef<> loader;
    if (host.direct) {
        jmethodID getSystem =
            env->GetStaticMethodID(loaderClass.get(), "getSystemClassLoader", "()Ljava/lang/ClassLoader;");
        loader = LocalRef<>(env, getSystem ? env->CallStaticObjectMethod(loaderClass.get(), getSystem) : nullptr);
        env->ExceptionClear();
    } else if (!config::asSystemClassLoader(config)) {
        loader = LocalRef<>(env, newLoader(env, loaderClass.get()));
    } else {
        LocalRef<jclass> classLoader(env, env->FindClass("java/lang/ClassLoader"));
        jmethodID getSystem =
            classLoader ? env->GetStaticMethodID(classLoader.get(), "getSystemClassLoader", "()Ljava/lang/ClassLoader;")
                        : nullptr;
        loader = LocalRef<>(env, getSystem ? env->CallStaticObjectMethod(classLoader.get(), getSystem) : nullptr);
        env->ExceptionClear();
        if (!loader || !env->IsInstanceOf(loader.get(), loaderClass.get()))
            loader = LocalRef<>(env, newLoader(env, loaderClass.get()));
    }
    if (!loader) return nullptr;
    // The name exactly as configured: a.b.Main with dots.
    const std::u16string units = platform::ansiToUtf16(mainClass.c_str(), static_cast<size_t>(mainClass.length()));
    LocalRef<jstring> name(env, jni::newString(env, units));
    jobject cls = name ? env->CallObjectMethod(loader.get(), loadClass, name.get()) : nullptr;
    if (!cls) jni::reportPendingException(env);
    return cls;
}

int32_t invokeMainClass(const LaunchConfig& config, JvmHost& host, const ByteString& mainClass,
                        const std::vector<std::u16string>& arguments) {
    JNIEnv* env = host.jniEnv();
    LocalRef<jclass> cls(env, static_cast<jclass>(loadMainClass(config, host, mainClass)));
    if (!cls) return kMainClassNotFound;
    if (!mainClassLinks(env, cls.get())) return kMainThrew;
    // Looking main up initialises the class: a failing initialiser ends the
    // launch as an exception of main does, with its trace and exit code 1.
    MainEntry entry{env->GetStaticMethodID(cls.get(), "main", "([Ljava/lang/String;)V"), true, true};
    if (!entry.method) {
        if (pendingIsFailedInitialisation(env)) {
            dispatchUncaughtException(env);
            return kMainThrew;
        }
        LocalRef<jthrowable> missing(env, env->ExceptionOccurred());
        env->ExceptionClear();
        if (runsLaterMainEntries(env)) {
            entry = findLaterMainEntry(env, cls.get());
        }
        if (!entry.method) {
            env->Throw(missing.get());
            jni::reportPendingException(env);
            return kMainMethodMissing;
        }
    }
    LocalRef<> instance;
    if (!entry.isStatic) {
        jmethodID constructor = env->GetMethodID(cls.get(), "<init>", "()V");
        if (!constructor || isPrivate(env, cls.get(), constructor, false)) {
            jni::reportPendingException(env);
            return kMainMethodMissing;
        }
        std::fflush(stdout);
        instance = LocalRef<>(env, env->NewObject(cls.get(), constructor));
        if (!instance) {
            dispatchUncaughtException(env);
            return kMainThrew;
        }
    }
    LocalRef<jobjectArray> array(env, entry.withArguments ? buildArgumentArray(env, arguments) : nullptr);
    std::fflush(stdout);
    if (entry.isStatic && entry.withArguments)
        env->CallStaticVoidMethod(cls.get(), entry.method, array.get());
    else if (entry.isStatic)
        env->CallStaticVoidMethod(cls.get(), entry.method);
    else if (entry.withArguments)
        env->CallVoidMethod(instance.get(), entry.method, array.get());
    else
        env->CallVoidMethod(instance.get(), entry.method);
    const bool threw = env->ExceptionCheck() == JNI_TRUE;
    if (threw) dispatchUncaughtException(env);
    return threw ? kMainThrew : kLaunchOk;
}

}  // namespace hux
