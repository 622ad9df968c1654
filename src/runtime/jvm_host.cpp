#include "runtime/jvm_host.h"

#include <jni.h>

#include <cstdio>

namespace hux {

JvmHost::~JvmHost() {
    shutdownVm(*this);
    releaseOptions();
}

void shutdownVm(JvmHost& host) {
    if (JavaVM* vm = host.vm.get()) {
        std::fflush(stdout);
        vm->DetachCurrentThread();
        vm->DestroyJavaVM();
        host.vm = nullptr;
        host.env = nullptr;
    }
    if (host.library.loaded() && !host.keepLibrary) host.library.unload();
}

}  // namespace hux
