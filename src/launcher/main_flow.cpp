#include "launcher/main_flow.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/never_destroyed.h"
#include "common/utf.h"
#include "config/config_values.h"
#include "config/launch_config.h"
#include "config/messages.h"
#include "config/paths.h"
#include "launcher/native_binding.h"
#include "platform/console.h"
#include "platform/named_mutex.h"
#include "platform/process.h"
#include "platform/shared_area.h"
#include "platform/text.h"
#include "platform/threads.h"
#include "runtime/debug_log.h"
#include "runtime/jvm_host.h"
#include "runtime/options.h"
#include "services/forwarded_launch.h"
#include "services/instance_natives.h"
#include "services/instances.h"
#include "services/splash.h"
#include "services/stream_redirector.h"
#include "services/tray.h"
#include "services/wildcard.h"

namespace hux {

namespace {

constexpr size_t kMappingSize = 4096;
constexpr size_t kVmThreadStack = 1024 * 1024;
// How long a forwarded launch waits for the running instance's receiver to
// confirm it; past that a launch the instance has not taken runs here ...
constexpr int kForwardTimeoutMs = 5000;
// ... and one it took (its receiver was ready) is waited for this much longer.
constexpr int kForwardConfirmMs = 30000;

int vmThreadProc(void* argument) {
    LaunchRequest zero{};
    auto* request = argument ? static_cast<LaunchRequest*>(argument) : &zero;
    request->result = startJavaApplication(request->argc, request->argv, request->hook, request->reserved,
                                           static_cast<char**>(request->reservedPointer));
    if (JvmHost* host = activeJvmHost()) shutdownVm(*host);
    return request->result;
}

void replaceAll(ByteString& s, char from, char to) {
    for (int32_t i = 0; i < s.length(); ++i)
        if (s[i] == from) s[i] = to;
}

[[noreturn]] void refuseSecondInstance() {
    printMessageLine(messageText(13));
    std::exit(kExitAlreadyRunning);
}

void enforceSingleInstance(const LaunchConfig& config, SingleInstanceMode mode, InstanceChannel& channel) {
    switch (mode) {
        case SingleInstanceMode::Mutex: {
            const ByteString name = singleInstanceMutexName(config::appId(config), config.exePath());
            // Owned until the process ends: never destroyed, so never released early.
            static NeverDestroyed<platform::NamedMutex> mutex;
            int error = 0;
            switch (mutex->acquire(name.c_str(), 100, error)) {
                case platform::NamedMutex::Result::Owned: return;
                case platform::NamedMutex::Result::CreateFailed:
                    std::printf("CreateMutex error: %d\n", error);
                    std::fflush(stdout);
                    refuseSecondInstance();
                case platform::NamedMutex::Result::TimedOut: refuseSecondInstance();
                case platform::NamedMutex::Result::Unguarded: return;
            }
            return;
        }
        case SingleInstanceMode::Forward:
            // A launch that could not hand over runs as the first.
            holdMessagesUntilReceiverBound();
            channel.startMessaging();
            return;
        case SingleInstanceMode::Custom: channel.startMessaging(); return;
        case SingleInstanceMode::Off: return;
    }
}

// Forward mode: a later launch hands its arguments and working directory to
// the running instance and ends, without a virtual machine.
[[noreturn]] void endForwardedLaunch(uint32_t hub) {
    debugLog("forwarded the launch to the running instance %u", hub);
    std::fflush(stdout);
    std::exit(0);
}

void forwardLaunch(const LaunchConfig& config, InstanceChannel& channel, int32_t argc, char** argv) {
    const uint32_t hub = channel.hubPid();
    if (hub == channel.ownPid()) {
        debugLog("no running instance to forward the launch to: starting as the first");
        return;
    }
    StringList argvValues;
    config::argv(config, argvValues);
    ByteString dir = config.workDir();
    if (dir.length() > 1 && isSeparator(dir.back())) dir.resize(dir.length() - 1);
    const ByteBuffer message =
        forwardedLaunchMessage(mainArguments(argvValues, argc, argv, 0, nullptr),
                               platform::ansiToUtf16(dir.c_str(), static_cast<size_t>(dir.length())));
    switch (channel.handOver(message.data(), message.length(), kForwardTimeoutMs, kForwardConfirmMs)) {
        case HandOverResult::Delivered: endForwardedLaunch(hub);
        case HandOverResult::Unconfirmed:
            // Running it here as well could open it twice.
            printMessageLine(ByteString("hux: the running instance took the launch but has not confirmed it"));
            std::fflush(stdout);
            std::exit(kExitAlreadyRunning);
        case HandOverResult::NotTaken: break;
    }
    debugLog("instance %u did not take the forwarded launch: starting as the first", hub);
}

void showSplash(const LaunchConfig& config) {
    const ByteString splashLibrary = findSplashLibrary(config);
    if (!splashLibrary.empty()) startSplash(config, splashLibrary, config.exePath());
}

}  // namespace

ByteString singleInstanceMutexName(const ByteString& appId, const ByteString& exePath) {
    ByteString name = appId.empty() ? exePath : appId;
    replaceAll(name, ':', '.');
    replaceAll(name, '\\', '.');
    name.append(".hux.mutex");
    return name;
}

ByteString instanceMappingName(const ByteString& appId) {
    ByteString name = appId;
    replaceAll(name, '\\', '.');
    name.append(".hux.mapping");
    return name;
}

int runMainFlow(int argc, char** argv) {
    // A GUI-subsystem launcher started from a console writes there.
    platform::attachParentConsole();
    // The user's locale for every conversion, then the configuration and an
    // empty host. The configuration, the host and the channel below are
    // reached by natives and handlers on other threads, so they are never
    // destroyed: a Java thread still running while the process exits must
    // not meet a freed object.
    platform::setLocaleFromEnvironment();
    auto* config = new LaunchConfig(true);
    if (!config->archiveIntact()) {
        // A truncated or altered executable: neither its configuration nor
        // its classes can be read, and the virtual machine would only fail
        // on them with an internal error.
        ByteString line("hux: '");
        line.append(config->exePath());
        line.append("' is damaged: its application archive is incomplete or altered");
        printMessageLine(line);
        return kMainClassNotFound;
    }
    auto* host = new JvmHost();
    host->bindNatives = bindSupportNatives;

    // The area shared by the running instances. When the named mapping
    // cannot be had, the executable's own area serves; when that fails too, a
    // private block keeps the channel on valid memory. Like the channel that
    // works on it, the area stays mapped until the process ends (see the
    // teardown below).
    auto* area = new platform::SharedArea;
    const ByteString appId = config::appId(*config);
    bool haveArea = false;
    if (!appId.empty()) haveArea = area->openNamed(instanceMappingName(appId).c_str(), kMappingSize);
    if (!haveArea) haveArea = area->openExecutableArea();
    static unsigned char privateArea[kMappingSize];
    void* areaData = haveArea ? area->data() : privateArea;

    // This launch's registration and messaging, then publishing the three
    // objects before any other thread starts; the common controls.
    auto* channel = new InstanceChannel(areaData);
    setActiveConfig(config);
    setActiveJvmHost(host);
    setActiveChannel(channel);
    platform::initCommonControls();

    // Splash (runs runtime discovery early; its result is remembered), then
    // the working directory. A launch that may be forwarded shows no splash
    // before it knows it will run.
    const SingleInstanceMode instanceMode = config::singleInstance(*config);
    const bool forward = instanceMode == SingleInstanceMode::Forward;
    if (!forward) showSplash(*config);
    applyForcedWorkingDirectory(*config);

    // Wildcard expansion of the arguments, early because a forwarded launch
    // hands them over. The lists are only read before the virtual machine
    // thread is joined.
    const WildcardMode mode = config::wildcard(*config);
    int32_t count = argc;
    char** vector = argv;
    StringList expanded;
    GrowArray<char*> expandedVector;
    if (mode != WildcardMode::None) {
        expandArguments(argc, argv, mode, expanded);
        for (int32_t i = 0; i < expanded.count(); ++i) expandedVector.push(const_cast<char*>(expanded.at(i)));
        expandedVector.push(nullptr);
        count = expanded.count();
        vector = expandedVector.data();
    }
    if (forward) {
        forwardLaunch(*config, *channel, count > 0 ? count - 1 : 0, count > 0 ? vector + 1 : vector);
        showSplash(*config);
    }

    // Standard error first, then standard output (equal values share one
    // target), so that every later launcher message reaches its target.
    const ByteString errTarget = config::stderrTarget(*config);
    if (!errTarget.empty()) redirectStderr(errTarget, *config);
    const ByteString outTarget = config::stdoutTarget(*config);
    if (!outTarget.empty()) redirectStdout(outTarget, *config);
    // An executable deeper than the system can name runs from its embedded
    // configuration only; the files beside it are out of reach, and the user
    // is told so instead of finding an external configuration ignored.
    if (config->exePath() == platform::kSelfExecutable)
        printMessageLine(
            ByteString("hux: the executable's path is too long to name; files beside it (an external "
                       "configuration, paths relative to its directory) are not read"));

    // The single-instance gate (may end the process), then the tray's window.
    enforceSingleInstance(*config, instanceMode, *channel);
    startTrayWindow();

    // The request for the virtual machine thread: the arguments without the
    // program name.
    LaunchRequest request;
    std::memset(&request, 0, sizeof request);
    request.argc = count > 0 ? count - 1 : 0;
    request.argv = count > 0 ? vector + 1 : vector;
    request.hook = vmReadyHook;
    for (int32_t i = 0; i < request.argc; ++i) debugLog("argument: %s", request.argv[i]);

    // The virtual machine runs on this thread when an option asks for the
    // first thread, else on a thread of its own with the stack an -Xss option
    // asks for (java gives its main thread that size too).
    const size_t stackSize = startThreadStackSize(*config, kVmThreadStack);
    int result = 0;
    if (!config::firstThreadOption(*config).empty()) {
        result = vmThreadProc(&request);
    } else {
        std::fflush(stdout);
        platform::Thread thread;
        if (!thread.start(vmThreadProc, &request, stackSize, true) &&
            !thread.start(vmThreadProc, &request, stackSize, false)) {
            result = vmThreadProc(&request);
        } else {
            result = thread.join();
        }
    }

    // Teardown: icons first, then the published objects are withdrawn, then
    // what other instances see of this one: its registration and pump, then
    // its share of a named area. The area itself stays mapped: the virtual
    // machine returns while daemon threads still run, and one of them may be
    // inside a native that loaded the channel before it was withdrawn (or be
    // about to use it) and touches the area until the process ends. A mapping
    // that is never unmapped (and that the platform layer never lets shrink)
    // is safe on those paths without any check. Nothing is deleted (see
    // above).
    removeAllTrayIcons();
    setActiveConfig(nullptr);
    setActiveJvmHost(nullptr);
    setActiveChannel(nullptr);
    channel->stop();
    if (area->isNamed()) area->withdraw();
    return result;
}

}  // namespace hux
