#include "launcher/vm_hooks.h"

#include <jni.h>

#include "archive/url_natives.h"
#include "config/debug_log.h"
#include "jni/attach.h"
#include "jni/launch_context.h"
#include "jni/java_calls.h"
#include "platform/vm_support.h"
#include "services/stream_redirector.h"
#include "services/tray.h"

namespace hux {

namespace {

// Runs on the signal thread: the one place besides the natives that reads the
// published launch.
void interruptHandler(int signal) {
    // Icons go first: System.exit does not come back.
    removeAllTrayIcons();
    const LaunchContext* context = launchContext();
    if (JavaVM* vm = context ? context->runningVm() : nullptr) {
        jni::AttachedThread thread(vm);
        if (JNIEnv* env = thread.env()) {
            jni::systemExit(env, interruptExitCode(signal));
        }
    }
    platform::chainInterruptHandler(signal);
}

}  // namespace

int interruptExitCode(int signal) { return 128 + signal; }

void vmReadyHook(JvmHost& host) {
    JNIEnv* env = host.jniEnv();
    // Only the launcher's loader makes URLs of its own protocol.
    if (!host.direct) registerHandlerPackage(env);
    if (env) installJavaRedirect(env);
    if (const platform::Status installed = platform::installInterruptHandler(interruptHandler); !installed)
        debugLog("%s", installed.text());
}

}  // namespace hux
