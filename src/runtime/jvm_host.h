// The holder of a launch's Java virtual machine: its pending options, the
// runtime library and the created machine, and its teardown.
#pragma once

#include <cstdint>

#include "common/byte_string.h"
#include "jni/vm_slot.h"
#include "platform/libraries.h"

struct JNIEnv_;

namespace hux {

// Launch result codes; each non-zero code is also the number of its message.
enum LaunchResult : int32_t {
    kLaunchOk = 0,
    kRuntimeNotFound = 1,
    kRuntimeNotValid = 2,
    kVmStartFailed = 4,
    kVersionUnknown = 5,
    kVersionTooLow = 6,
    kMainClassNotFound = 7,
    kMainMethodMissing = 8,
    kVersionTooHigh = 12,
    // `main` ended with an exception; no message of its own (the trace is
    // printed) and the process exits with kExitAfterException.
    kMainThrew = 0x100,
};
// The exit code after `main` ended with an exception, as `java` gives.
constexpr int32_t kExitAfterException = 1;

class JvmHost {
public:
    JvmHost() = default;
    JvmHost(const JvmHost&) = delete;
    JvmHost& operator=(const JvmHost&) = delete;
    ~JvmHost();

    // Pending virtual-machine options, in the order they were added.
    void addOption(const char* text) { options.append(text); }
    int32_t optionCount() const { return options.count(); }
    const char* option(int32_t i) const { return options.at(i); }
    void releaseOptions() { options.clear(); }

    JNIEnv_* jniEnv() const { return static_cast<JNIEnv_*>(env); }

    StringList options;
    platform::DynamicLibrary library;
    // Binds the support classes' natives after creation where the virtual
    // machine cannot load the executable as a library; set by the launcher.
    // `loaderInUse`: the launch goes through the launcher's class loader.
    void (*bindNatives)(JNIEnv_* env, const char* appPath, bool loaderInUse) = nullptr;
    // The launch needs no class loader of its own: not the system class
    // loader, no external class path and no nested archives, so the JDK's
    // class-path loader over the executable serves every class, as under
    // `java -cp`. Set with the options.
    bool direct = false;
    // The "java.class.path" value to set once the runtime has started, when
    // it differs from the one its loader was made with; empty: none. Set
    // with the options.
    ByteString classPathProperty;
    // Called by the virtual machine when it exits the process (System.exit,
    // a fatal signal's shutdown), after its own work at exit; it returns and
    // the virtual machine ends the process. Null: none.
    void (*exitHook)(int32_t code) = nullptr;
    jni::VmSlot vm;            // the one record of the running virtual machine
    void* env = nullptr;       // JNIEnv* of the creating thread
    bool keepLibrary = false;  // the runtime was asked for a virtual machine
};

// Detaches and destroys the virtual machine; unloads the runtime library only
// when it was never asked for one. Safe to repeat.
void shutdownVm(JvmHost& host);

}  // namespace hux
