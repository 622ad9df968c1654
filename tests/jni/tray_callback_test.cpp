// The tray handlers against a real virtual machine: a notification or menu
// command arriving on a launcher thread attaches it, reaches the
// application's callback with the right icon object, and detaches.
#include <gtest/gtest.h>

#include <jni.h>

#include <string>

#include "platform/threads.h"
#include "runtime/discovery.h"
#include "runtime/jvm_host.h"
#include "launcher/native_binding.h"
#include "services/tray.h"
#include "services/tray_core.h"
#include "support/test_vm.h"
#include "support/test_support.h"

using namespace hux;

namespace {

struct TrayRun {
    bool created = false;
    std::string afterClick, afterHiddenClick, afterCommands, afterClearedCallback;
};

std::string take(JNIEnv* env, jclass recorder) {
    jmethodID m = env->GetStaticMethodID(recorder, "take", "()Ljava/lang/String;");
    auto s = static_cast<jstring>(env->CallStaticObjectMethod(recorder, m));
    const char* chars = env->GetStringUTFChars(s, nullptr);
    std::string out = chars;
    env->ReleaseStringUTFChars(s, chars);
    return out;
}

// Delivers on a thread of its own, as the message window does.
void deliver(void (*what)()) {
    platform::Thread t;
    ASSERT_TRUE(t.start(
        [](void* f) {
            reinterpret_cast<void (*)()>(f)();
            return 0;
        },
        reinterpret_cast<void*>(what), 0, false));
    t.join();
}

int runVm(void* argument) {
    auto* run = static_cast<TrayRun*>(argument);
    static JvmHost host;  // stays with the virtual machine until the process ends
    if (!test::createTestVm(host, HUX_SUPPORT_CLASSES ":" HUX_RECORDER_CLASSES)) return 0;
    run->created = true;
    JNIEnv* env = static_cast<JNIEnv*>(host.env);
    bindSupportNatives(env, "/nowhere/app", false);
    startTrayWindow(host.vm);

    jclass recorder = env->FindClass("TrayRecorder");
    if (!recorder) {
        env->ExceptionDescribe();
        return 0;
    }
    env->CallStaticVoidMethod(recorder, env->GetStaticMethodID(recorder, "setUp", "()V"));
    env->ExceptionDescribe();

    // Icon ids count from 1 in this process: "first" is 1 (shown), "second"
    // is 2 (hidden), 3 does not exist.
    deliver([] {
        onTrayNotification(1, 514);
        onTrayNotification(3, 517);
    });
    run->afterClick = take(env, recorder);
    deliver([] { onTrayNotification(2, 515); });
    run->afterHiddenClick = take(env, recorder);
    deliver([] {
        onTrayCommand(50009);  // the callback throws; the handler reports and goes on
        onTrayCommand(50005);
        onTrayCommand(51001);
    });
    run->afterCommands = take(env, recorder);

    jclass tray = env->FindClass("com/mordavin/hux/SystemTray");
    env->CallStaticVoidMethod(
        tray, env->GetStaticMethodID(tray, "setSystemTrayCallback", "(Lcom/mordavin/hux/SystemTrayCallback;)V"),
        nullptr);
    deliver([] { onTrayCommand(50001); });
    run->afterClearedCallback = take(env, recorder);

    host.vm = nullptr;
    host.env = nullptr;
    return 0;
}

}  // namespace

TEST(TrayCallbacks, HandlersReachTheApplicationCallback) {
    TrayRun run;
    platform::Thread thread;
    ASSERT_TRUE(thread.start(runVm, &run, size_t{1} << 20, false));
    thread.join();
    if (!run.created) GTEST_SKIP() << "no runtime on this machine";
    EXPECT_EQ(run.afterClick, "click first 514;");
    EXPECT_EQ(run.afterHiddenClick, "click null 515;");
    EXPECT_EQ(run.afterCommands, "command 9;command 5;");
    EXPECT_EQ(run.afterClearedCallback, "");
}
