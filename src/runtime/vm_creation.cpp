#include "runtime/vm_creation.h"

#include <jni.h>

#include <cstdio>
#include <string>

#include "common/utf.h"
#include "config/paths.h"
#include "platform/libraries.h"
#include "platform/vm_support.h"
#include "runtime/options.h"

namespace hux {

namespace {

using CreateJavaVm = jint(JNICALL*)(JavaVM**, void**, void*);

// Every option goes to the virtual machine, except that where the launcher
// binds the natives itself the executable's path is set as a property after
// the binding (the support classes must not try to load the executable).
bool passOption(const char* option) {
    return !(platform::bindsNativesItself() && startsWith(option, "-Dhux.app.path="));
}

}  // namespace

int32_t loadRuntimeAndCreateVm(JvmHost& host, const ByteString& libraryPath, const ByteString& appPath) {
    platform::addLibraryErrorMode();
    // The runtime's bin directory (the parent of the library's) holds what
    // the library depends on.
    ByteString binDirectory = directoryOf(libraryPath.view());
    binDirectory.append("..");
    if (!platform::loadWithDirectoryOnPath(host.library, libraryPath, binDirectory, true)) {
        std::string text(platform::lastLoadErrorText().view());
        for (size_t at = text.find("%1"); at != std::string::npos; at = text.find("%1", at + libraryPath.length()))
            text.replace(at, 2, libraryPath.c_str());
        std::fprintf(stderr, "%s\n", text.c_str());
        std::fflush(stderr);
        return kRuntimeNotValid;
    }
    auto create = reinterpret_cast<CreateJavaVm>(host.library.symbol("JNI_CreateJavaVM"));
    if (!create) create = reinterpret_cast<CreateJavaVm>(host.library.symbol("JNI_CreateJavaVM_Impl"));
    if (!create) return kRuntimeNotValid;

    GrowArray<JavaVMOption> options;
    for (int32_t i = 0; i < host.optionCount(); ++i) {
        if (!passOption(host.option(i))) continue;
        JavaVMOption o{};
        o.optionString = const_cast<char*>(host.option(i));
        o.extraInfo = nullptr;
        options.push(o);
    }
    if (host.exitHook) {
        JavaVMOption o{};
        o.optionString = const_cast<char*>("exit");
        o.extraInfo = reinterpret_cast<void*>(host.exitHook);
        options.push(o);
    }
    JavaVMInitArgs args{};
    args.version = JNI_VERSION_1_2;
    args.nOptions = options.size();
    args.options = options.data();
    args.ignoreUnrecognized = JNI_TRUE;
    JavaVM* vm = nullptr;
    void* env = nullptr;
    std::fflush(stdout);
    // From here on the runtime library stays loaded: DestroyJavaVM (and a
    // failed start) can leave the runtime's threads alive, with its code on
    // their stacks, until the process ends.
    host.keepLibrary = true;
    const jint rc = create(&vm, &env, &args);
    StringList misread;
    collectMisreadProperties(host, misread);
    host.releaseOptions();
    if (rc != 0) {
        host.vm = nullptr;
        return kVmStartFailed;
    }
    host.vm = vm;
    host.env = env;
    if (platform::bindsNativesItself() && host.bindNatives)
        host.bindNatives(static_cast<JNIEnv*>(env), appPath.c_str(), !host.direct);
    restoreMisreadProperties(misread, static_cast<JNIEnv*>(env));
    return kLaunchOk;
}

}  // namespace hux
