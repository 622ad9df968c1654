// The launcher's JNI calls against a real virtual machine: reading
// "java.version", the version check, the `property` lines and the System
// property helpers they go through. The runtime is
// the one discovery finds on this machine; without one the tests skip.
#include <gtest/gtest.h>

#include <jni.h>

#include <string>

#include "archive/url_natives.h"
#include "jni/java_calls.h"
#include "jni/java_strings.h"
#include "platform/threads.h"
#include "runtime/discovery.h"
#include "runtime/options.h"
#include "runtime/version_limits.h"
#include "support/test_vm.h"
#include "support/test_support.h"

using namespace hux;

namespace {

struct VmRun {
    bool created = false;
    bool versionRead = false;
    std::string version;
    int32_t withinLimits = -1;
    int32_t tooHigh = -1;
    int32_t tooLow = -1;
    std::string tooHighMax;
    std::string kv, empty, plain;
    // The property helpers: what reads back, and whether anything was left
    // pending after each step.
    std::u16string wideBack;
    bool unsetIsNull = false, unsetReached = false;
    bool nullNameReached = false;
    std::string handlersFresh, handlersAppended;
    bool pending = false;
};

std::string property(JNIEnv* env, const char* name) {
    jclass system = env->FindClass("java/lang/System");
    jmethodID get = env->GetStaticMethodID(system, "getProperty", "(Ljava/lang/String;)Ljava/lang/String;");
    jstring key = env->NewStringUTF(name);
    auto value = static_cast<jstring>(env->CallStaticObjectMethod(system, get, key));
    std::string out = "<null>";
    if (value) {
        const char* chars = env->GetStringUTFChars(value, nullptr);
        out = chars;
        env->ReleaseStringUTFChars(value, chars);
    }
    return out;
}

std::unique_ptr<LaunchConfig> config(const std::string& lines) {
    return test::makeConfig(lines, "/nowhere/app", "/nowhere/");
}

int runVm(void* argument) {
    auto* run = static_cast<VmRun*>(argument);
    JvmHost host;
    if (!test::createTestVm(host)) return 0;
    run->created = true;
    JNIEnv* env = static_cast<JNIEnv*>(host.env);

    ByteString version;
    run->versionRead = readJavaVersion(host, version);
    run->version = std::string(version.view());
    ByteString v, min, max;
    run->withinLimits = checkRuntimeVersion(*config("minjre 1.7\nmaxjre 99"), host, v, min, max);
    run->tooHigh = checkRuntimeVersion(*config("maxjre 9.0"), host, v, min, max);
    run->tooHighMax = std::string(max.view());
    run->tooLow = checkRuntimeVersion(*config("minjre 99"), host, v, min, max);

    applyPropertyLines(*config("property hux.t.kv=v=w\nproperty hux.t.empty=\nproperty hux.t.plain\nproperty =x"), env);
    run->kv = property(env, "hux.t.kv");
    run->empty = property(env, "hux.t.empty");
    run->plain = property(env, "hux.t.plain");

    // Every UTF-16 unit arrives (a character beyond the Basic Multilingual
    // Plane, an '=' in the value), and reads back unchanged.
    const std::u16string wide = u"a=\U0001F600\u00e9";
    jni::setSystemProperty(env, u"hux.t.wide", wide);
    run->pending = run->pending || env->ExceptionCheck();
    jni::LocalRef<jstring> back;
    jni::systemProperty(env, "hux.t.wide", back);
    run->wideBack = jni::stringUnits(env, back.get()).value_or(u"<none>");
    jni::LocalRef<jstring> unset;
    run->unsetReached = jni::systemProperty(env, "hux.t.never.set", unset);
    run->unsetIsNull = !unset;
    // A null name is not handed to System.setProperty (it would throw).
    jni::LocalRef<jstring> value(env, env->NewStringUTF("v"));
    run->nullNameReached = jni::setSystemProperty(env, static_cast<jstring>(nullptr), value.get());
    run->pending = run->pending || env->ExceptionCheck();

    // The URL handler package goes in front of what the application set.
    registerHandlerPackage(env);
    run->handlersFresh = property(env, "java.protocol.handler.pkgs");
    jni::setSystemProperty(env, u"java.protocol.handler.pkgs", u"org.example");
    registerHandlerPackage(env);
    run->handlersAppended = property(env, "java.protocol.handler.pkgs");
    run->pending = run->pending || env->ExceptionCheck();
    // The virtual machine stays until the process ends; destroying it here
    // would wait for threads the test does not own.
    host.vm = nullptr;
    host.env = nullptr;
    return 0;
}

}  // namespace

TEST(JvmCalls, VersionAndProperties) {
    VmRun run;
    platform::Thread thread;
    ASSERT_TRUE(thread.start(runVm, &run, size_t{1} << 20, false));
    thread.join();
    if (!run.created) GTEST_SKIP() << "no runtime on this machine";
    EXPECT_TRUE(run.versionRead);
    int32_t parts[4];
    EXPECT_GE(scanVersion(run.version.c_str(), parts), 1) << run.version;
    EXPECT_GE(parts[0], 9) << run.version;  // the runtimes installed here are modern ones
    EXPECT_EQ(run.withinLimits, kLaunchOk);
    EXPECT_EQ(run.tooHigh, kVersionTooHigh);
    EXPECT_EQ(run.tooHighMax, "9.0");
    EXPECT_EQ(run.tooLow, kVersionTooLow);
    EXPECT_EQ(run.kv, "v=w");
    EXPECT_EQ(run.empty, "");
    EXPECT_EQ(run.plain, "");
    EXPECT_EQ(run.wideBack, u"a=\U0001F600\u00e9");
    EXPECT_TRUE(run.unsetReached);
    EXPECT_TRUE(run.unsetIsNull);
    EXPECT_TRUE(run.nullNameReached);
    EXPECT_EQ(run.handlersFresh, "com.mordavin");
    EXPECT_EQ(run.handlersAppended, "com.mordavin|org.example");
    EXPECT_FALSE(run.pending);
}
