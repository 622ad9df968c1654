// The JNI layer against a real virtual machine: local references that free
// themselves, attaching launcher threads, the guard that turns C++ exceptions
// into Java ones (also through a real Java call), and the string conversions.
// The runtime is the one discovery finds on this machine; without one the
// tests skip.
#include <gtest/gtest.h>

#include <jni.h>

#include <functional>
#include <new>
#include <stdexcept>
#include <string>

#include "archive/class_natives.h"
#include "jni/attach.h"
#include "jni/exceptions.h"
#include "jni/java_strings.h"
#include "jni/local_ref.h"
#include "platform/threads.h"
#include "support/test_vm.h"

using namespace hux;
using jni::LocalRef;

namespace {

// One virtual machine for the process, created on a thread of its own (which
// then leaves it) and never destroyed.
JavaVM* testVm() {
    static JavaVM* vm = [] {
        auto* host = new JvmHost;  // kept: the machine lives until the process ends
        platform::Thread thread;
        auto create = [](void* argument) -> int {
            auto* h = static_cast<JvmHost*>(argument);
            if (!test::createTestVm(*h, HUX_SUPPORT_CLASSES)) return 0;
            h->vm.get()->DetachCurrentThread();
            return 0;
        };
        if (!thread.start(create, host, size_t{1} << 20, false)) return static_cast<JavaVM*>(nullptr);
        thread.join();
        return host->vm.get();
    }();
    return vm;
}

// Runs `body` on a new thread attached to the test machine.
void onVmThread(const std::function<void(JNIEnv*)>& body) {
    struct Call {
        const std::function<void(JNIEnv*)>* body;
    } call{&body};
    platform::Thread thread;
    auto run = [](void* argument) -> int {
        JavaVM* vm = testVm();
        JNIEnv* env = nullptr;
        if (vm->AttachCurrentThread(reinterpret_cast<void**>(&env), nullptr) != JNI_OK) {
            ADD_FAILURE() << "cannot attach";
            return 0;
        }
        (*static_cast<Call*>(argument)->body)(env);
        vm->DetachCurrentThread();
        return 0;
    };
    ASSERT_TRUE(thread.start(run, &call, size_t{1} << 20, false));
    thread.join();
}

#define REQUIRE_VM() \
    if (!testVm()) GTEST_SKIP() << "no runtime on this machine"

// True once the object behind `weak` is gone; full collections are asked for
// until it is, a few times at most.
bool collected(JNIEnv* env, jweak weak) {
    LocalRef<jclass> system(env, env->FindClass("java/lang/System"));
    jmethodID gc = env->GetStaticMethodID(system.get(), "gc", "()V");
    for (int i = 0; i < 10; ++i) {
        if (env->IsSameObject(weak, nullptr)) return true;
        env->CallStaticVoidMethod(system.get(), gc);
    }
    return env->IsSameObject(weak, nullptr);
}

jobject newObject(JNIEnv* env) {
    LocalRef<jclass> cls(env, env->FindClass("java/lang/Object"));
    return env->NewObject(cls.get(), env->GetMethodID(cls.get(), "<init>", "()V"));
}

// The pending exception's class name and message; clears it.
std::string takeException(JNIEnv* env) {
    LocalRef<jthrowable> thrown(env, env->ExceptionOccurred());
    if (!thrown) return "<none>";
    env->ExceptionClear();
    LocalRef<jclass> cls(env, env->GetObjectClass(thrown.get()));
    LocalRef<jclass> classClass(env, env->FindClass("java/lang/Class"));
    LocalRef<jstring> name(env, static_cast<jstring>(env->CallObjectMethod(
                                    cls.get(), env->GetMethodID(classClass.get(), "getName", "()Ljava/lang/String;"))));
    LocalRef<jclass> throwable(env, env->FindClass("java/lang/Throwable"));
    LocalRef<jstring> message(
        env, static_cast<jstring>(env->CallObjectMethod(
                 thrown.get(), env->GetMethodID(throwable.get(), "getMessage", "()Ljava/lang/String;"))));
    return jni::modifiedUtf8(env, name.get()) + ": " + jni::modifiedUtf8(env, message.get());
}

TEST(JniLayer, LocalReferencesFreeTheirObjectsUnlessReleased) {
    REQUIRE_VM();
    onVmThread([](JNIEnv* env) {
        jweak dropped;
        {
            LocalRef<> ref(env, newObject(env));
            ASSERT_TRUE(ref);
            dropped = env->NewWeakGlobalRef(ref.get());
        }
        EXPECT_TRUE(collected(env, dropped)) << "the scope did not delete its reference";

        jobject handedOut;
        jweak kept;
        {
            LocalRef<> ref(env, newObject(env));
            kept = env->NewWeakGlobalRef(ref.get());
            handedOut = ref.release();
            EXPECT_FALSE(ref);
        }
        EXPECT_FALSE(collected(env, kept)) << "a released reference was deleted";
        env->DeleteLocalRef(handedOut);
        EXPECT_TRUE(collected(env, kept));

        // Moving hands the reference on once; assigning frees what was held.
        jweak first, second;
        {
            LocalRef<> a(env, newObject(env));
            LocalRef<> b(env, newObject(env));
            first = env->NewWeakGlobalRef(a.get());
            second = env->NewWeakGlobalRef(b.get());
            a = std::move(b);
            EXPECT_FALSE(b);
            EXPECT_TRUE(collected(env, first));
            LocalRef<> c(std::move(a));
            EXPECT_FALSE(collected(env, second));
        }
        EXPECT_TRUE(collected(env, second));
        for (jweak w : {dropped, kept, first, second}) env->DeleteWeakGlobalRef(w);
    });
}

bool isDaemon(JNIEnv* env) {
    LocalRef<jclass> thread(env, env->FindClass("java/lang/Thread"));
    LocalRef<> current(
        env, env->CallStaticObjectMethod(
                 thread.get(), env->GetStaticMethodID(thread.get(), "currentThread", "()Ljava/lang/Thread;")));
    return env->CallBooleanMethod(current.get(), env->GetMethodID(thread.get(), "isDaemon", "()Z"));
}

jint envState(JavaVM* vm) {
    void* env = nullptr;
    return vm->GetEnv(&env, JNI_VERSION_1_2);
}

struct AttachRun {
    jint before = 0, inside = 0, nestedAfter = 0, after = 0;
    bool sameEnvNested = false, daemon = false, normalIsDaemon = true, nullVmEnv = true;
};

int attachOnNativeThread(void* argument) {
    auto* run = static_cast<AttachRun*>(argument);
    JavaVM* vm = testVm();
    run->before = envState(vm);
    {
        jni::AttachedThread outer(vm, jni::AttachedThread::Kind::Daemon);
        run->inside = envState(vm);
        if (outer) run->daemon = isDaemon(outer.env());
        {
            jni::AttachedThread inner(vm);
            run->sameEnvNested = inner.env() == outer.env();
        }
        // The inner scope found the thread attached, so it must leave it so.
        run->nestedAfter = envState(vm);
    }
    run->after = envState(vm);
    {
        jni::AttachedThread normal(vm);
        if (normal) run->normalIsDaemon = isDaemon(normal.env());
    }
    run->nullVmEnv = jni::AttachedThread(nullptr).env() != nullptr;
    return 0;
}

TEST(JniLayer, AttachedThreadDetachesOnlyWhatItAttached) {
    REQUIRE_VM();
    AttachRun run;
    platform::Thread thread;
    ASSERT_TRUE(thread.start(attachOnNativeThread, &run, size_t{1} << 20, false));
    thread.join();
    EXPECT_EQ(run.before, JNI_EDETACHED);
    EXPECT_EQ(run.inside, JNI_OK);
    EXPECT_TRUE(run.daemon);
    EXPECT_TRUE(run.sameEnvNested);
    EXPECT_EQ(run.nestedAfter, JNI_OK);
    EXPECT_EQ(run.after, JNI_EDETACHED);
    EXPECT_FALSE(run.normalIsDaemon);
    EXPECT_FALSE(run.nullVmEnv);
}

TEST(JniLayer, GuardTurnsCppExceptionsIntoJavaOnes) {
    REQUIRE_VM();
    onVmThread([](JNIEnv* env) {
        EXPECT_EQ(jni::guardNative(env, [] { return jint{7}; }), 7);
        EXPECT_FALSE(env->ExceptionCheck());

        EXPECT_EQ(jni::guardNative(env, []() -> jobject { throw std::runtime_error("archive went away"); }), nullptr);
        EXPECT_EQ(takeException(env), "java.lang.Error: native failure: archive went away");

        EXPECT_EQ(jni::guardNative(env, []() -> jint { throw std::bad_alloc(); }), 0);
        EXPECT_EQ(takeException(env).rfind("java.lang.OutOfMemoryError", 0), 0u);

        jni::guardNative(env, [] { throw 42; });
        EXPECT_EQ(takeException(env), "java.lang.Error: native failure");

        // A Java exception raised before the C++ one is the one that stays.
        jni::guardNative(env, [env] {
            LocalRef<jclass> cls(env, env->FindClass("java/lang/IllegalStateException"));
            env->ThrowNew(cls.get(), "first");
            throw std::runtime_error("second");
        });
        EXPECT_EQ(takeException(env), "java.lang.IllegalStateException: first");
    });
}

// Natives that fail in C++ while Java called them: the guard must leave Java
// a catchable exception instead of unwinding through the virtual machine.
jint JNICALL throwingIntNative(JNIEnv* env, jclass) {
    return jni::guardNative(env, []() -> jint { throw std::runtime_error("lost channel"); });
}
void JNICALL throwingVoidNative(JNIEnv* env, jclass) {
    jni::guardNative(env, [] { throw std::bad_alloc(); });
}

TEST(JniLayer, GuardedNativesFailAsJavaExceptionsThroughJavaCalls) {
    REQUIRE_VM();
    onVmThread([](JNIEnv* env) {
        LocalRef<jclass> cls(env, env->FindClass("com/mordavin/hux/Instances"));
        ASSERT_TRUE(cls) << "support classes missing from the class path";
        JNINativeMethod methods[] = {
            {const_cast<char*>("getFirstInstance"), const_cast<char*>("()I"),
             reinterpret_cast<void*>(throwingIntNative)},
            {const_cast<char*>("flush"), const_cast<char*>("()V"), reinterpret_cast<void*>(throwingVoidNative)},
        };
        ASSERT_EQ(env->RegisterNatives(cls.get(), methods, 2), JNI_OK);
        // sendObject(Serializable) calls getFirstInstance() from Java code.
        jmethodID send = env->GetStaticMethodID(cls.get(), "sendObject", "(Ljava/io/Serializable;)V");
        LocalRef<jstring> text(env, env->NewStringUTF("x"));
        env->CallStaticVoidMethod(cls.get(), send, text.get());
        EXPECT_EQ(takeException(env), "java.lang.Error: native failure: lost channel");
        env->CallStaticVoidMethod(cls.get(), env->GetStaticMethodID(cls.get(), "flush", "()V"));
        EXPECT_EQ(takeException(env).rfind("java.lang.OutOfMemoryError", 0), 0u);
        env->UnregisterNatives(cls.get());
    });
}

TEST(JniLayer, StringConversions) {
    REQUIRE_VM();
    onVmThread([](JNIEnv* env) {
        // Units round-trip exactly: NUL, Latin-1, a CJK character, a pair and a lone surrogate.
        std::u16string units(u"a\0\u00e9\u4e2d\U0001F600", 6);
        units.push_back(char16_t(0xD800));
        LocalRef<jstring> s(env, jni::newString(env, units));
        ASSERT_TRUE(s);
        EXPECT_EQ(env->GetStringLength(s.get()), static_cast<jsize>(units.size()));
        EXPECT_EQ(jni::stringUnits(env, s.get()), units);
        EXPECT_EQ(jni::stringUnits(env, nullptr), std::nullopt);

        // The virtual machine's modified UTF-8: NUL as two bytes.
        LocalRef<jstring> nul(env, jni::newString(env, std::u16string(u"\u00e9\0x", 3)));
        EXPECT_EQ(jni::modifiedUtf8(env, nul.get()), "\xc3\xa9\xc0\x80x");
        EXPECT_EQ(jni::modifiedUtf8(env, nullptr), "");

        // The archive's name forms of a Java name.
        LocalRef<jstring> latin(env, jni::newString(env, u"caf\u00e9.txt"));
        NameForms forms = nameFormsOf(env, latin.get());
        EXPECT_TRUE(forms.hasLatin1);
        EXPECT_TRUE(forms.differ);
        EXPECT_EQ(forms.latin1, std::string_view("caf\xe9.txt"));
        EXPECT_EQ(forms.utf8, std::string_view("caf\xc3\xa9.txt"));
        LocalRef<jstring> wide(env, jni::newString(env, u"\u4e2d.txt"));
        forms = nameFormsOf(env, wide.get());
        EXPECT_FALSE(forms.hasLatin1);
        EXPECT_EQ(forms.utf8, std::string_view("\xe4\xb8\xad.txt"));
        forms = nameFormsOf(env, nullptr);
        EXPECT_FALSE(forms.hasLatin1);
        EXPECT_TRUE(forms.utf8.empty());
    });
}

}  // namespace
