// The process-wide holder of the Java virtual machine and the start sequence.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/byte_string.h"
#include "platform/libraries.h"

struct JNIEnv_;
class _jobject;

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
    void addOption(const char* text);
    int32_t optionCount() const { return optionOffsets.size(); }
    const char* option(int32_t i) const { return optionText.c_str() + optionOffsets[i]; }
    void releaseOptions();

    GrowArray<int32_t> optionOffsets;
    ByteString optionText;
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
    // Called by the virtual machine when it exits the process (System.exit,
    // a fatal signal's shutdown), after its own work at exit; it returns and
    // the virtual machine ends the process. Null: none.
    void (*exitHook)(int32_t code) = nullptr;
    void* vm = nullptr;        // JavaVM*
    void* env = nullptr;       // JNIEnv* of the creating thread
    bool keepLibrary = false;  // the runtime was asked for a virtual machine
};

// The host of the running launch, published by the main flow for launcher
// threads and natives that call into Java. Null outside a launch.
JvmHost* activeJvmHost();
void setActiveJvmHost(JvmHost* host);

using ReadyHook = void (*)();

// The strings the application's main method receives: each `argv` value
// split like a command line, then the launch's `argc` arguments, then the
// `extraCount` ones, in the platform encoding (`mainArgumentTexts`) or
// converted from it (`mainArguments`).
std::vector<ByteString> mainArgumentTexts(const StringList& argvValues, int32_t argc, char** argv, int32_t extraCount,
                                          char** extraArgv);
std::vector<std::u16string> mainArguments(const StringList& argvValues, int32_t argc, char** argv, int32_t extraCount,
                                          char** extraArgv);

// The "-Dsun.java.command=" option `java` gives the virtual machine: the main
// class and the arguments, each after one blank. Monitoring tools (jps,
// jcmd) name a running application by it.
ByteString commandOption(std::string_view mainClass, const std::vector<ByteString>& arguments);

// Runs the Java application; returns its launch result.
int32_t startJavaApplication(int32_t argc, char** argv, ReadyHook hook, int32_t extraCount, char** extraArgv);
// Detaches and destroys the virtual machine; unloads the runtime library only
// when it was never asked for one. Safe to repeat.
void shutdownVm(JvmHost& host);
// The code the virtual machine exits with after SIGINT or SIGTERM: 128 plus
// the signal number, as `java` exits (130 and 143).
int32_t interruptExitCode(int signal);
// The ready hook the main flow passes.
void vmReadyHook();

// Makes `loader` (a java.lang.ClassLoader) the current thread's context class
// loader; a Java exception on the way is reported and cleared.
void setContextClassLoader(JNIEnv_* env, _jobject* loader);

}  // namespace hux
