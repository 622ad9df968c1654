// The Java receiver binding against a real virtual machine: whether a
// confirmed message (a forwarded launch) reached the application's receiver,
// answered on a launcher thread that attaches for the call.
#include <gtest/gtest.h>

#include <jni.h>

#include <string>
#include <vector>

#include "jni/launch_context.h"
#include "launcher/native_binding.h"
#include "platform/threads.h"
#include "runtime/jvm_host.h"
#include "services/instance_natives.h"
#include "support/test_vm.h"

using namespace hux;

namespace {

struct Step {
    const char* what;
    int bind;          // 1 bind a receiver, 0 unbind, -1 leave as it is
    std::string text;  // empty: bytes no stream can be read from
    bool ready;
    bool taken;
    std::string log;
};

struct ReceiverRun {
    bool created = false;
    std::vector<Step> steps;
    std::vector<std::string> failures;
};

std::string takeLog(JNIEnv* env, jclass recorder) {
    auto s = static_cast<jstring>(
        env->CallStaticObjectMethod(recorder, env->GetStaticMethodID(recorder, "take", "()Ljava/lang/String;")));
    const char* chars = env->GetStringUTFChars(s, nullptr);
    std::string out = chars;
    env->ReleaseStringUTFChars(s, chars);
    env->DeleteLocalRef(s);
    return out;
}

std::vector<uint8_t> messageFor(JNIEnv* env, jclass recorder, const std::string& text) {
    if (text.empty()) return {0, 0, 0, 0, 'j', 'u', 'n', 'k'};
    jstring s = env->NewStringUTF(text.c_str());
    auto array = static_cast<jbyteArray>(env->CallStaticObjectMethod(
        recorder, env->GetStaticMethodID(recorder, "message", "(Ljava/lang/String;)[B"), s));
    std::vector<uint8_t> out(static_cast<size_t>(env->GetArrayLength(array)));
    env->GetByteArrayRegion(array, 0, static_cast<jsize>(out.size()), reinterpret_cast<jbyte*>(out.data()));
    env->DeleteLocalRef(array);
    env->DeleteLocalRef(s);
    return out;
}

// What the delivery thread does with a confirmed message, on a thread of its own.
struct Delivery {
    std::vector<uint8_t> bytes;
    bool taken = false;
    int answers = 0;  // each confirmed message is answered exactly once
};

int deliverConfirmed(void* argument) {
    auto* d = static_cast<Delivery*>(argument);
    javaReceiver().deliverAnswering(7, static_cast<int32_t>(d->bytes.size()), d->bytes.data(), [d](bool taken) {
        d->taken = taken;
        ++d->answers;
    });
    return 0;
}

int runVm(void* argument) {
    auto* run = static_cast<ReceiverRun*>(argument);
    static JvmHost host;  // stays with the virtual machine until the process ends
    if (!test::createTestVm(host, HUX_SUPPORT_CLASSES ":" HUX_RECORDER_CLASSES)) return 0;
    run->created = true;
    JNIEnv* env = static_cast<JNIEnv*>(host.env);
    static LaunchContext context;  // read by the delivery thread, like the launcher's
    context.vm = &host.vm;
    publishLaunchContext(&context);
    bindSupportNatives(env, "/nowhere/app", false);
    jclass recorder = env->FindClass("InstanceRecorder");
    if (!recorder) {
        env->ExceptionDescribe();
        run->failures.push_back("InstanceRecorder not found");
        return 0;
    }
    jmethodID bind = env->GetStaticMethodID(recorder, "bind", "(Z)V");
    for (const Step& s : run->steps) {
        if (s.bind >= 0) env->CallStaticVoidMethod(recorder, bind, static_cast<jboolean>(s.bind));
        env->ExceptionDescribe();
        const std::string prefix = std::string(s.what) + ": ";
        if (javaReceiver().ready() != s.ready) run->failures.push_back(prefix + "ready() is wrong");
        Delivery d;
        d.bytes = messageFor(env, recorder, s.text);
        platform::Thread t;
        if (!t.start(deliverConfirmed, &d, 0, false)) {
            run->failures.push_back(prefix + "no thread");
            continue;
        }
        t.join();
        if (d.taken != s.taken) run->failures.push_back(prefix + (d.taken ? "taken" : "not taken"));
        if (d.answers != 1) run->failures.push_back(prefix + std::to_string(d.answers) + " answers");
        const std::string log = takeLog(env, recorder);
        if (log != s.log) run->failures.push_back(prefix + "received '" + log + "'");
    }
    env->CallStaticVoidMethod(recorder, bind, JNI_FALSE);
    publishLaunchContext(nullptr);
    host.vm = nullptr;
    host.env = nullptr;
    return 0;
}

}  // namespace

TEST(InstanceReceiver, ConfirmsOnlyWhatTheApplicationsReceiverGot) {
    ReceiverRun run;
    run.steps = {
        {"no receiver bound", -1, "early", false, false, ""},
        {"bound", 1, "hello", true, true, "7:hello;"},
        // The application had the object: its exception is its own.
        {"the receiver throws", -1, "throw", true, true, "7:throw;"},
        {"unreadable bytes", -1, "", true, false, ""},
        {"unbound again", 0, "late", false, false, ""},
    };
    platform::Thread thread;
    ASSERT_TRUE(thread.start(runVm, &run, size_t{1} << 20, false));
    thread.join();
    if (!run.created) GTEST_SKIP() << "no runtime on this machine";
    EXPECT_TRUE(run.failures.empty()) << ::testing::PrintToString(run.failures);
}
