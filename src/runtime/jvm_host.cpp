#include "runtime/jvm_host.h"

#include <atomic>

#include <jni.h>

#include <cstdio>
#include <string>
#include <vector>

#include "archive/natives.h"
#include "common/utf.h"
#include "config/config_values.h"
#include "config/messages.h"
#include "config/paths.h"
#include "jni/attach.h"
#include "jni/exceptions.h"
#include "jni/java_strings.h"
#include "jni/local_ref.h"
#include "platform/libraries.h"
#include "platform/text.h"
#include "platform/vm_support.h"
#include "runtime/class_data_cache.h"
#include "runtime/discovery.h"
#include "runtime/options.h"
#include "runtime/version_limits.h"
#include "services/stream_redirector.h"
#include "services/tray.h"
#include "services/wildcard.h"

namespace hux {

using jni::LocalRef;

namespace {

using CreateJavaVm = jint(JNICALL*)(JavaVM**, void**, void*);

JavaVM* vmOf(const JvmHost& host) { return static_cast<JavaVM*>(host.vm); }
JNIEnv* envOf(const JvmHost& host) { return static_cast<JNIEnv*>(host.env); }

// Every option goes to the virtual machine, except that where the launcher
// binds the natives itself the executable's path is set as a property after
// the binding (the support classes must not try to load the executable).
bool passOption(const char* option) {
    return !(platform::bindsNativesItself() && startsWith(option, "-Dhux.app.path="));
}

jobject newLoader(JNIEnv* env, jclass loaderClass) {
    jmethodID init = env->GetMethodID(loaderClass, "<init>", "()V");
    jobject loader = init ? env->NewObject(loaderClass, init) : nullptr;
    if (!loader) {
        env->ExceptionClear();
        return nullptr;
    }
    setContextClassLoader(env, loader);
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

}  // namespace

void setContextClassLoader(JNIEnv* env, jobject loader) {
    LocalRef<jclass> thread(env, env->FindClass("java/lang/Thread"));
    jmethodID current =
        thread ? env->GetStaticMethodID(thread.get(), "currentThread", "()Ljava/lang/Thread;") : nullptr;
    jmethodID set =
        thread ? env->GetMethodID(thread.get(), "setContextClassLoader", "(Ljava/lang/ClassLoader;)V") : nullptr;
    LocalRef<> self(env, (current && set) ? env->CallStaticObjectMethod(thread.get(), current) : nullptr);
    if (self) env->CallVoidMethod(self.get(), set, loader);
    jni::reportPendingException(env);
}

JvmHost::~JvmHost() {
    shutdownVm(*this);
    releaseOptions();
}

void JvmHost::addOption(const char* text) {
    optionOffsets.push(optionText.length());
    optionText.append(text);
    optionText.push('\0');
}

void JvmHost::releaseOptions() {
    optionOffsets.clear();
    optionText.clear();
}

int32_t loadRuntimeAndCreateVm(JvmHost& host, const ByteString& libraryPath) {
    platform::addLibraryErrorMode();
    // The runtime's bin directory (the parent of the library's) holds what
    // the library depends on.
    ByteString binDirectory = directoryOf(libraryPath.view());
    binDirectory.append("..");
    if (!loadWithDirectoryOnPath(host.library, libraryPath, binDirectory, true)) {
        std::string text(platform::lastLoadErrorText().view());
        for (size_t at = text.find("%1"); at != std::string::npos; at = text.find("%1", at + libraryPath.length()))
            text.replace(at, 2, libraryPath.c_str());
        std::fprintf(stderr, "%s\n", text.c_str());
        std::fflush(stderr);
        return kRuntimeNotValid;
    }
    auto create = reinterpret_cast<CreateJavaVm>(host.library.symbol("JNI_CreateJavaVM"));
    if (!create) create = reinterpret_cast<CreateJavaVm>(host.library.symbol("JNI_CreateJavaVM_Impl"));
    if (!create) return kRuntimeNotValid;

    GrowArray<JavaVMOption> options;
    for (int32_t i = 0; i < host.optionCount(); ++i) {
        if (!passOption(host.option(i))) continue;
        JavaVMOption o{};
        o.optionString = const_cast<char*>(host.option(i));
        o.extraInfo = nullptr;
        options.push(o);
    }
    if (host.exitHook) {
        JavaVMOption o{};
        o.optionString = const_cast<char*>("exit");
        o.extraInfo = reinterpret_cast<void*>(host.exitHook);
        options.push(o);
    }
    JavaVMInitArgs args{};
    args.version = JNI_VERSION_1_2;
    args.nOptions = options.size();
    args.options = options.data();
    args.ignoreUnrecognized = JNI_TRUE;
    JavaVM* vm = nullptr;
    void* env = nullptr;
    std::fflush(stdout);
    // From here on the runtime library stays loaded: DestroyJavaVM (and a
    // failed start) can leave the runtime's threads alive, with its code on
    // their stacks, until the process ends.
    host.keepLibrary = true;
    const jint rc = create(&vm, &env, &args);
    StringList misread;
    collectMisreadProperties(host, misread);
    host.releaseOptions();
    if (rc != 0) {
        host.vm = nullptr;
        return kVmStartFailed;
    }
    host.vm = vm;
    host.env = env;
    if (platform::bindsNativesItself() && host.bindNatives) {
        const LaunchConfig* config = activeConfig();
        host.bindNatives(static_cast<JNIEnv*>(env), config ? config->exePath().c_str() : "", !host.direct);
    }
    restoreMisreadProperties(misread, static_cast<JNIEnv*>(env));
    return kLaunchOk;
}

jobject loadMainClass(JvmHost& host, const ByteString& mainClass) {
    JNIEnv* env = envOf(host);
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
    const LaunchConfig* config = activeConfig();
    if (host.direct) {
        jmethodID getSystem =
            env->GetStaticMethodID(loaderClass.get(), "getSystemClassLoader", "()Ljava/lang/ClassLoader;");
        loader = LocalRef<>(env, getSystem ? env->CallStaticObjectMethod(loaderClass.get(), getSystem) : nullptr);
        env->ExceptionClear();
    } else if (config && !config::asSystemClassLoader(*config)) {
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

jobjectArray buildArgumentArray(JvmHost& host, const std::vector<std::u16string>& arguments) {
    JNIEnv* env = envOf(host);
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

namespace {

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
    LocalRef<jclass> system(env, env->FindClass("java/lang/System"));
    jfieldID errField = system ? env->GetStaticFieldID(system.get(), "err", "Ljava/io/PrintStream;") : nullptr;
    LocalRef<> err(env, errField ? env->GetStaticObjectField(system.get(), errField) : nullptr);
    LocalRef<jclass> printStream(env, err ? env->GetObjectClass(err.get()) : nullptr);
    jmethodID println = printStream ? env->GetMethodID(printStream.get(), "println", "(Ljava/lang/String;)V") : nullptr;
    LocalRef<jstring> line(env, println ? jni::newString(env, text) : nullptr);
    if (line) env->CallVoidMethod(err.get(), println, line.get());
    env->ExceptionClear();
    return false;
}

}  // namespace

int32_t invokeMainClass(JvmHost& host, const ByteString& mainClass, const std::vector<std::u16string>& arguments) {
    JNIEnv* env = envOf(host);
    LocalRef<jclass> cls(env, static_cast<jclass>(loadMainClass(host, mainClass)));
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
    LocalRef<jobjectArray> array(env, entry.withArguments ? buildArgumentArray(host, arguments) : nullptr);
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

std::vector<ByteString> mainArgumentTexts(const StringList& argvValues, int32_t argc, char** argv, int32_t extraCount,
                                          char** extraArgv) {
    // Each `argv` value is split like a command line; the pieces come first.
    GrowArray<char*> tokens;
    std::vector<ByteString> buffers(static_cast<size_t>(argvValues.count()));
    for (int32_t i = 0; i < argvValues.count(); ++i) {
        buffers[static_cast<size_t>(i)] = ByteString(argvValues.view(i));
        splitCommandLine(buffers[static_cast<size_t>(i)].data(), tokens, nullptr);
    }
    std::vector<ByteString> out;
    auto put = [&](const char* text) { out.emplace_back(text ? std::string_view(text) : std::string_view()); };
    for (char* t : tokens) put(t);
    for (int32_t i = 0; i < argc; ++i) put(argv ? argv[i] : nullptr);
    for (int32_t i = 0; i < extraCount; ++i) put(extraArgv ? extraArgv[i] : nullptr);
    return out;
}

namespace {
std::vector<std::u16string> widened(const std::vector<ByteString>& texts) {
    std::vector<std::u16string> out;
    for (const ByteString& text : texts)
        out.push_back(platform::ansiToUtf16(text.c_str(), static_cast<size_t>(text.length())));
    return out;
}
}  // namespace

std::vector<std::u16string> mainArguments(const StringList& argvValues, int32_t argc, char** argv, int32_t extraCount,
                                          char** extraArgv) {
    return widened(mainArgumentTexts(argvValues, argc, argv, extraCount, extraArgv));
}

ByteString commandOption(std::string_view mainClass, const std::vector<ByteString>& arguments) {
    ByteString option("-Dsun.java.command=");
    option.append(mainClass);
    for (const ByteString& argument : arguments) {
        option.push(' ');
        option.append(argument);
    }
    return option;
}

int32_t startJavaApplication(int32_t argc, char** argv, ReadyHook hook, int32_t extraCount, char** extraArgv) {
    LaunchConfig& config = *activeConfig();
    JvmHost& host = *activeJvmHost();
    ByteString version, minimum, maximum;
    int32_t result = kLaunchOk;

    StringList argvValues;
    config::argv(config, argvValues);
    const std::vector<ByteString> arguments = mainArgumentTexts(argvValues, argc, argv, extraCount, extraArgv);

    applyExportLines(config);
    appendVmOptions(config, host);
    // As `java` does, unless an option line names the command itself.
    StringList optionLines;
    config::options(config, optionLines);
    bool commandGiven = false;
    for (int32_t i = 0; i < optionLines.count(); ++i)
        commandGiven = commandGiven || startsWith(optionLines.view(i), "-Dsun.java.command=");
    if (!commandGiven) host.addOption(commandOption(config::mainClass(config).view(), arguments).c_str());
    // Candidates outside the version limits or that do not load are passed
    // over by the search; it reports why when none is left.
    const RuntimeChoice& runtime = chooseRuntime(config);
    const ByteString library = runtime.library;
    if (library.empty()) result = unusableRuntimeResult(config, runtime, version, minimum, maximum);
    if (result == kLaunchOk) appendClassDataOptions(config, host, library);
    if (result == kLaunchOk) result = loadRuntimeAndCreateVm(host, library);
    if (result == kLaunchOk) {
        applyPropertyLines(config, envOf(host));
        result = checkRuntimeVersion(config, host, version, minimum, maximum);
    }
    if (result == kLaunchOk) {
        // Only the launcher's loader makes URLs of its own protocol.
        if (!host.direct) registerHandlerPackage(envOf(host));
        if (hook) hook();
        result = invokeMainClass(host, config::mainClass(config), widened(arguments));
    }
    if (result == kMainThrew) return kExitAfterException;
    if (result == kVersionTooLow || result == kVersionTooHigh) {
        printMessageLine(versionMessage(result, version.view(), minimum.view(), maximum.view()));
    } else if (result != kLaunchOk) {
        printMessageLine(messageText(result));
    }
    return result;
}

void shutdownVm(JvmHost& host) {
    if (JavaVM* vm = vmOf(host)) {
        std::fflush(stdout);
        vm->DetachCurrentThread();
        vm->DestroyJavaVM();
        host.vm = nullptr;
        host.env = nullptr;
    }
    if (host.library.loaded() && !host.keepLibrary) host.library.unload();
}

namespace {

void interruptHandler(int signal) {
    // Icons go first: System.exit does not come back.
    removeAllTrayIcons();
    JvmHost* host = activeJvmHost();
    if (host && host->vm) {
        jni::AttachedThread thread(vmOf(*host));
        if (JNIEnv* env = thread.env()) {
            LocalRef<jclass> system(env, env->FindClass("java/lang/System"));
            jmethodID exit = system ? env->GetStaticMethodID(system.get(), "exit", "(I)V") : nullptr;
            if (exit) env->CallStaticVoidMethod(system.get(), exit, interruptExitCode(signal));
            env->ExceptionClear();
        }
    }
    platform::chainInterruptHandler(signal);
}

}  // namespace

int32_t interruptExitCode(int signal) { return 128 + signal; }

void vmReadyHook() {
    JvmHost* host = activeJvmHost();
    if (host && host->env) installJavaRedirect(envOf(*host));
    platform::installInterruptHandler(interruptHandler);
}

namespace {
std::atomic<JvmHost*> activeHostPointer{nullptr};
}  // namespace

JvmHost* activeJvmHost() { return activeHostPointer.load(std::memory_order_acquire); }
void setActiveJvmHost(JvmHost* host) { activeHostPointer.store(host, std::memory_order_release); }

}  // namespace hux
