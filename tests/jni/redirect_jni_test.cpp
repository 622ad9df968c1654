// The Java side of stream redirection against a real virtual machine: when a
// standard handle does not read back as its target, System.out / System.err
// are wired through RedirOutputStream, whose native writes to the target. On
// Linux the handles always read back, so the wiring is forced here. The
// runtime is the one discovery finds on this machine; without one the test
// skips.
#include <gtest/gtest.h>

#include <jni.h>

#include <fstream>
#include <sstream>
#include <string>

#include "platform/threads.h"
#include "platform/redirect.h"
#include "runtime/discovery.h"
#include "runtime/jvm_host.h"
#include "launcher/native_binding.h"
#include "services/stream_redirector.h"
#include "support/test_vm.h"
#include "support/test_support.h"

using namespace hux;
using platform::StdStream;

namespace {

struct RedirectRun {
    bool created = false;
    bool untouched = false;  // nothing installed while no stream needs it
    bool replaced = false;
    bool pendingException = true;
    std::string outPath, errPath;
};

void println(JNIEnv* env, const char* stream, const char* text) {
    jclass system = env->FindClass("java/lang/System");
    jfieldID field = env->GetStaticFieldID(system, stream, "Ljava/io/PrintStream;");
    jobject print = env->GetStaticObjectField(system, field);
    jclass printClass = env->GetObjectClass(print);
    jmethodID method = env->GetMethodID(printClass, "println", "(Ljava/lang/String;)V");
    jstring s = env->NewStringUTF(text);
    env->CallVoidMethod(print, method, s);
}

jobject currentOut(JNIEnv* env) {
    jclass system = env->FindClass("java/lang/System");
    return env->GetStaticObjectField(system, env->GetStaticFieldID(system, "out", "Ljava/io/PrintStream;"));
}

int runVm(void* argument) {
    auto* run = static_cast<RedirectRun*>(argument);
    JvmHost host;
    if (!test::createTestVm(host, HUX_SUPPORT_CLASSES)) return 0;
    run->created = true;
    JNIEnv* env = static_cast<JNIEnv*>(host.env);
    // The virtual machine stays until the process ends; destroying it here
    // would wait for threads the test does not own.
    host.vm = nullptr;
    host.env = nullptr;
    bindSupportNatives(env, "", false);

    platform::OutputTarget out, err;
    if (!out.openFile(run->outPath.c_str()) || !err.openFile(run->errPath.c_str())) return 0;
    {
        StreamRedirector quiet;
        jobject before = currentOut(env);
        quiet.installJavaRedirect(env);
        jobject after = currentOut(env);
        run->untouched = env->IsSameObject(before, after);
    }
    StreamRedirector redirector;
    redirector.requireJavaForTesting(StdStream::Output, out.handle());
    redirector.requireJavaForTesting(StdStream::Error, err.handle());
    jobject before = currentOut(env);
    redirector.installJavaRedirect(env);
    run->replaced = !env->IsSameObject(before, currentOut(env));
    println(env, "out", "through System.out");
    println(env, "err", "through System.err \xC3\xA9");
    println(env, "out", "second line");
    run->pendingException = env->ExceptionCheck();
    // The virtual machine stays until the process ends; destroying it here
    // would wait for threads the test does not own.
    return 0;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

TEST(JavaRedirect, SystemStreamsGoThroughTheNativeToTheirTargets) {
    test::TempTree tree;
    RedirectRun run;
    run.outPath = tree.file("out.txt", "older\n");
    run.errPath = tree.path("err.txt");
    platform::Thread thread;
    ASSERT_TRUE(thread.start(runVm, &run, size_t{1} << 20, false));
    thread.join();
    if (!run.created) GTEST_SKIP() << "no runtime on this machine";
    EXPECT_TRUE(run.untouched);
    EXPECT_TRUE(run.replaced);
    EXPECT_FALSE(run.pendingException);
    EXPECT_EQ(slurp(run.outPath), "older\nthrough System.out\nsecond line\n");
    // The platform's default encoding may render the accent differently.
    EXPECT_EQ(slurp(run.errPath).rfind("through System.err ", 0), 0u) << slurp(run.errPath);
}
