#include "runtime/jvm_host.h"

#include <cstdio>

#include "launcher/launcher_context.h"
#include "launcher/messages.h"
#include "runtime/discovery.h"

namespace hux {

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

int32_t startJavaApplication(int32_t /*argc*/, char** /*argv*/, ReadyHook /*hook*/, int32_t /*extraCount*/,
                             char** /*extraArgv*/) {
    LauncherContext& context = launcherContext();
    int32_t result = kLaunchOk;
    const ByteString library = context.config ? findRuntimeLibrary(*context.config) : ByteString();
    if (library.empty()) result = kRuntimeNotFound;
    if (result == kLaunchOk) result = kRuntimeNotValid;  // the virtual-machine start is not wired in yet
    if (result != kLaunchOk) printMessageLine(messageText(result));
    return result;
}

void shutdownVm(JvmHost& host) {
    host.vm = nullptr;
    host.env = nullptr;
    if (host.library.loaded()) host.library.unload();
}

void vmReadyHook() {}

}  // namespace hux
