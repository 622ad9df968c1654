#include "launcher/main_flow.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/utf.h"
#include "config/config_values.h"
#include "config/launch_config.h"
#include "config/messages.h"
#include "config/paths.h"
#include "launcher/native_binding.h"
#include "platform/platform.h"
#include "runtime/debug_log.h"
#include "runtime/options.h"
#include "services/instances.h"
#include "services/splash.h"
#include "services/stream_redirector.h"
#include "services/tray.h"
#include "services/wildcard.h"

namespace hux {

namespace {

constexpr size_t kMappingSize = 4096;
constexpr size_t kVmThreadStack = 1024 * 1024;

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

void enforceSingleInstance(const LaunchConfig& config, InstanceChannel& channel) {
    const ByteString mode = config::singleInstance(config);
    if (equalsIgnoreCase(mode.view(), "true")) {
        const ByteString name = singleInstanceMutexName(config::appId(config), config.exePath());
        static platform::NamedMutex mutex;  // owned until the process ends
        int error = 0;
        switch (mutex.acquire(name.c_str(), 100, error)) {
            case platform::NamedMutex::Result::Owned:
                return;
            case platform::NamedMutex::Result::CreateFailed:
                std::printf("CreateMutex error: %d\n", error);
                std::fflush(stdout);
                refuseSecondInstance();
            case platform::NamedMutex::Result::TimedOut:
                refuseSecondInstance();
        }
    } else if (equalsIgnoreCase(mode.view(), "custom")) {
        channel.startMessaging();
    }
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
    // 1-3. Locale, configuration, an empty host.
    platform::setLocaleFromEnvironment();
    auto* config = new LaunchConfig(true);
    auto* host = new JvmHost();
    host->bindNatives = bindSupportNatives;

    // 4. The area shared by the running instances. When the named mapping
    // cannot be had, the executable's own area serves; when that fails too, a
    // private block keeps the channel on valid memory.
    platform::SharedArea area;
    const ByteString appId = config::appId(*config);
    bool haveArea = false;
    if (!appId.empty()) haveArea = area.openNamed(instanceMappingName(appId).c_str(), kMappingSize);
    if (!haveArea) haveArea = area.openExecutableArea();
    static unsigned char privateArea[kMappingSize];
    void* areaData = haveArea ? area.data() : privateArea;

    // 5-7.
    auto* channel = new InstanceChannel(areaData);
    setActiveConfig(config);
    setActiveJvmHost(host);
    setActiveChannel(channel);
    platform::initCommonControls();

    // 8. Splash (runs runtime discovery early; its result is remembered).
    const ByteString splashLibrary = findSplashLibrary(*config);
    if (!splashLibrary.empty()) startSplash(*config, splashLibrary, config->exePath());

    // 9-11. Working directory, then standard error before standard output.
    applyForcedWorkingDirectory(*config);
    const ByteString errTarget = config::stderrTarget(*config);
    if (!errTarget.empty()) redirectStderr(errTarget);
    const ByteString outTarget = config::stdoutTarget(*config);
    if (!outTarget.empty()) redirectStdout(outTarget);

    // 12-13.
    enforceSingleInstance(*config, *channel);
    startTrayWindow();

    // 14. Arguments.
    const ByteString wildcard = config::wildcard(*config);
    int mode = 0;
    if (equalsIgnoreCase(wildcard.view(), "true") || equalsIgnoreCase(wildcard.view(), "auto")) mode = 1;
    if (equalsIgnoreCase(wildcard.view(), "all")) mode = 2;
    int32_t count = argc;
    char** vector = argv;
    static StringList expanded;  // lives until the process ends
    static GrowArray<char*> expandedVector;
    if (mode != 0) {
        expandArguments(argc, argv, mode, expanded);
        for (int32_t i = 0; i < expanded.count(); ++i) expandedVector.push(const_cast<char*>(expanded.at(i)));
        expandedVector.push(nullptr);
        count = expanded.count();
        vector = expandedVector.data();
    }

    // 15. The request.
    LaunchRequest request;
    std::memset(&request, 0, sizeof request);
    request.argc = count > 0 ? count - 1 : 0;
    request.argv = count > 0 ? vector + 1 : vector;
    request.hook = vmReadyHook;
    for (int32_t i = 0; i < request.argc; ++i) debugLog("argument: %s", request.argv[i]);

    // 16. The thread, with the stack an -Xss option asks for (java gives its
    // main thread that size too).
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

    // 17-21. Teardown.
    removeAllTrayIcons();
    setActiveConfig(nullptr);
    setActiveJvmHost(nullptr);
    channel->stop();
    if (area.isNamed()) area.close();
    delete channel;
    setActiveChannel(nullptr);
    delete host;
    delete config;
    return result;
}

}  // namespace hux
