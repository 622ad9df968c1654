#include "launcher/main_flow.h"

#include <atomic>
#include <cstdio>
#include <string>
#include <string_view>
#include <cstdlib>
#include <vector>

#include "archive/archive_store.h"
#include "common/never_destroyed.h"
#include "common/utf.h"
#include "config/config_values.h"
#include "config/debug_log.h"
#include "config/launch_config.h"
#include "config/messages.h"
#include "config/paths.h"
#include "jni/launch_context.h"
#include "launcher/main_arguments.h"
#include "launcher/native_binding.h"
#include "launcher/vm_hooks.h"
#include "platform/console.h"
#include "platform/named_mutex.h"
#include "platform/process.h"
#include "platform/shared_area.h"
#include "platform/text.h"
#include "platform/threads.h"
#include "runtime/class_data_dump.h"
#include "runtime/discovery.h"
#include "runtime/java_start.h"
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

// What the virtual machine thread runs: the start, then the teardown of the
// virtual machine.
struct LaunchRequest {
    const LaunchConfig* config;
    JvmHost* host;
    std::vector<ByteString> arguments;  // main's, in the platform encoding
    int result;
};

int vmThreadProc(void* argument) {
    auto* request = static_cast<LaunchRequest*>(argument);
    // Option building takes the argument expansion's pattern matcher and the
    // archive's look at nested archives from here.
    OptionInputs inputs;
    inputs.matchPattern = expandPattern;
    inputs.holdsNestedArchives = holdsNestedArchives;
    request->result = startJavaApplication(*request->config, *request->host, request->arguments, inputs, vmReadyHook);
    shutdownVm(*request->host);
    return request->result;
}

void replaceAll(ByteString& s, char from, char to) {
    for (int32_t i = 0; i < s.length(); ++i)
        if (s[i] == from) s[i] = to;
}

// The configuration beside and inside the executable, in the user's locale;
// null (the user told) when the executable is damaged.
LaunchConfig* loadConfiguration() {
    // A GUI-subsystem launcher started from a console writes there.
    platform::attachParentConsole();
    platform::setLocaleFromEnvironment();
    auto* config = new LaunchConfig(true);
    if (config->exePath().empty()) {
        // Without its own whole path the launcher could read neither its
        // configuration nor its archive; a cut path would lead to an ancestor
        // folder's files instead.
        printMessageLine(
            ByteString("hux: cannot read the executable's own path whole (too long, or characters "
                       "outside the ANSI code page)"));
        return nullptr;
    }
    if (!config->archiveIntact()) {
        // A truncated or altered executable: neither its configuration nor
        // its classes can be read, and the virtual machine would only fail
        // on them with an internal error.
        ByteString line("hux: '");
        line.append(config->exePath());
        line.append("' is damaged: its application archive is incomplete or altered");
        printMessageLine(line);
        return nullptr;
    }
    setGuiErrorMode(config::guiErrors(*config));
    return config;
}

// The executable whose archive the damage handler names.
const LaunchConfig*& damagedExecutable() {
    static const LaunchConfig* config = nullptr;
    return config;
}

// The archive store's damage handler: an entry whose bytes are not those that
// were packed ends the launch with one line, whichever thread met it (Java
// threads may be inside natives meanwhile, so the process ends at once; a
// second thread that meets damage waits for that).
void endDamagedLaunch(std::string_view entry) {
    static std::atomic<bool> ending{false};
    if (ending.exchange(true)) {
        for (;;) platform::sleepMs(1000);
    }
    ByteString line("hux: '");
    if (damagedExecutable()) line.append(damagedExecutable()->exePath());
    if (entry.empty()) {
        line.append("' is damaged: its archive directory is altered");
    } else {
        line.append("' is damaged: its archive entry '");
        // A damaged name may hold any byte: control and non-ASCII bytes are
        // shown as \xNN, so that the line cannot garble a terminal.
        for (const char c : entry) {
            const auto byte = static_cast<unsigned char>(c);
            if (byte >= 0x20 && byte < 0x7F) {
                line.push(c);
            } else {
                static constexpr char kHex[] = "0123456789ABCDEF";
                const char escaped[] = {'\\', 'x', kHex[byte >> 4], kHex[byte & 15], '\0'};
                line.append(escaped);
            }
        }
        line.append("' is altered");
    }
    std::fflush(stdout);
    printMessageLine(line);
    std::fflush(stderr);
    std::_Exit(kMainClassNotFound);
}

// The support classes are read by the runtime's own zip reader, which checks
// no CRC-32: they are checked here, before the virtual machine starts. Every
// other entry is checked as the archive store reads it.
bool supportClassesChecked(const LaunchConfig& config) {
    damagedExecutable() = &config;
    setDamageHandler(endDamagedLaunch);
    std::string damaged;
    if (supportClassesIntact(config.exePath().c_str(), damaged)) return true;
    endDamagedLaunch(damaged);
    return false;
}

// The area shared by the running instances. When the named mapping cannot be
// had, the executable's own area serves; when that fails too, a private block
// keeps the channel on valid memory. Like the channel that works on it, the
// area stays mapped until the process ends (see tearDown).
void* openInstanceArea(const LaunchConfig& config, platform::SharedArea& area) {
    const ByteString appId = config::appId(config);
    platform::Status opened = platform::Status::failure("no application id");
    if (!appId.empty()) opened = area.openNamed(instanceMappingName(appId).c_str(), kMappingSize);
    if (!opened) {
        if (!appId.empty()) debugLog("instances: %s", opened.text());
        opened = area.openExecutableArea();
    }
    static unsigned char privateArea[kMappingSize];
    if (!opened) debugLog("instances: %s; this instance sees no others", opened.text());
    return opened ? area.data() : privateArea;
}

// Publishes the launch for the natives and the interrupt handler, before any
// other thread starts.
void publishLaunch(const LaunchConfig& config, JvmHost& host, InstanceChannel& channel) {
    static LaunchContext context;
    context.config = &config;
    context.vm = &host.vm;
    context.channel = &channel;
    publishLaunchContext(&context);
}

[[noreturn]] void refuseSecondInstance(const LaunchConfig& config) {
    printMessageLine(messageText(config, 13));
    std::exit(kExitAlreadyRunning);
}

void enforceSingleInstance(const LaunchConfig& config, SingleInstanceMode mode, InstanceChannel& channel) {
    switch (mode) {
        case SingleInstanceMode::Mutex: {
            const ByteString name = singleInstanceMutexName(config::appId(config), config.exePath());
            // Owned until the process ends: never destroyed, so never released early.
            static NeverDestroyed<platform::NamedMutex> mutex;
            const platform::Result<platform::NamedMutex::Outcome> held = mutex->acquire(name.c_str(), 100);
            if (!held) {
                std::printf("CreateMutex error: %d (%s)\n", held.status().code(), held.status().text());
                std::fflush(stdout);
                refuseSecondInstance(config);
            }
            switch (held.value()) {
                case platform::NamedMutex::Outcome::Owned: return;
                case platform::NamedMutex::Outcome::TimedOut: refuseSecondInstance(config);
                case platform::NamedMutex::Outcome::Unguarded: return;
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

// The `export` lines go into the environment once, before the `argv` lines
// are read, so that those see them as the options do: a value that names the
// variable it sets (PATH=%PATH%;more) must not grow twice.
void applyExportsOnce(const LaunchConfig& config) {
    static bool applied = false;
    if (applied) return;
    applied = true;
    applyExportLines(config);
}

void forwardLaunch(const LaunchConfig& config, InstanceChannel& channel, int32_t argc, char* const* argv) {
    const uint32_t hub = channel.hubPid();
    if (hub == channel.ownPid()) {
        debugLog("no running instance to forward the launch to: starting as the first");
        return;
    }
    applyExportsOnce(config);
    StringList argvValues;
    config::argv(config, argvValues);
    ByteString dir = config.workDir();
    if (dir.length() > 1 && isSeparator(dir.back())) dir.resize(dir.length() - 1);
    const ByteBuffer message = forwardedLaunchMessage(
        mainArguments(argvValues, argc, argv), platform::ansiToUtf16(dir.c_str(), static_cast<size_t>(dir.length())));
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

// Runs runtime discovery early; its result is remembered for the start.
void showSplash(const LaunchConfig& config) {
    const ByteString runtimeLibrary = findRuntimeLibrary(config);
    const ByteString splashLibrary = findSplashLibrary(config, runtimeLibrary);
    if (!splashLibrary.empty()) startSplash(config, splashLibrary, runtimeLibrary);
}

// The launch's arguments after wildcard expansion, without the program name.
class CommandLine {
public:
    CommandLine(const LaunchConfig& config, int argc, char** argv) : count_(argc), vector_(argv) {
        const WildcardMode mode = config::wildcard(config);
        if (mode == WildcardMode::None) return;
        expandArguments(argc, argv, mode, expanded_);
        for (int32_t i = 0; i < expanded_.count(); ++i) expandedVector_.push(const_cast<char*>(expanded_.at(i)));
        expandedVector_.push(nullptr);
        count_ = expanded_.count();
        vector_ = expandedVector_.data();
    }
    CommandLine(const CommandLine&) = delete;
    CommandLine& operator=(const CommandLine&) = delete;

    int32_t count() const { return count_ > 0 ? count_ - 1 : 0; }
    char* const* arguments() const { return count_ > 0 ? vector_ + 1 : vector_; }

private:
    int32_t count_;
    char** vector_;
    StringList expanded_;
    GrowArray<char*> expandedVector_;
};

// Standard error first, then standard output (equal values share one
// target), so that every later launcher message reaches its target.
void redirectStandardStreams(const LaunchConfig& config) {
    const ByteString errTarget = config::stderrTarget(config);
    if (!errTarget.empty()) redirectStderr(errTarget, config);
    const ByteString outTarget = config::stdoutTarget(config);
    if (!outTarget.empty()) redirectStdout(outTarget, config);
    // An executable deeper than the system can name runs from its embedded
    // configuration only; the files beside it are out of reach, and the user
    // is told so instead of finding an external configuration ignored.
    if (config.exePath() == platform::kSelfExecutable)
        printMessageLine(
            ByteString("hux: the executable's path is too long to name; files beside it (an external "
                       "configuration, paths relative to its directory) are not read"));
}

// The virtual machine runs on this thread when an option asks for the first
// thread, else on a thread of its own with the stack an -Xss option asks for
// (java gives its main thread that size too).
int runVirtualMachine(const LaunchConfig& config, JvmHost& host, const CommandLine& commandLine) {
    applyExportsOnce(config);
    StringList argvValues;
    config::argv(config, argvValues);
    LaunchRequest request{&config, &host, mainArgumentTexts(argvValues, commandLine.count(), commandLine.arguments()),
                          0};
    for (int32_t i = 0; i < commandLine.count(); ++i) debugLog("argument: %s", commandLine.arguments()[i]);

    if (!config::firstThreadOption(config).empty()) return vmThreadProc(&request);
    const size_t stackSize = startThreadStackSize(config, kVmThreadStack);
    std::fflush(stdout);
    platform::Thread thread;
    if (!thread.start(vmThreadProc, &request, stackSize, true)) {
        // Without a thread of that stack the machine starts on this one.
        if (const platform::Status started = thread.start(vmThreadProc, &request, stackSize, false); !started) {
            debugLog("%s of %llu bytes; starting on the first thread", started.text(),
                     static_cast<unsigned long long>(stackSize));
            return vmThreadProc(&request);
        }
    }
    return thread.join();
}

// Icons first, then the published launch is withdrawn, then what other
// instances see of this one: its registration and pump, then its share of a
// named area. The area itself stays mapped: the virtual machine returns while
// daemon threads still run, and one of them may be inside a native that
// loaded the channel before it was withdrawn (or be about to use it) and
// touches the area until the process ends. A mapping that is never unmapped
// (and that the platform layer never lets shrink) is safe on those paths
// without any check. Nothing is deleted (see runMainFlow).
void tearDown(InstanceChannel& channel, platform::SharedArea& area) {
    removeAllTrayIcons();
    publishLaunchContext(nullptr);
    channel.stop();
    if (area.isNamed()) area.withdraw();
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
    // Started by an earlier launch to make its class-data archive: only that.
    if (isClassDataDumpHelper()) return runClassDataDump(argc, argv);
    // The configuration, the host, the area and the channel are reached by
    // natives and handlers on other threads, so they are never destroyed: a
    // Java thread still running while the process exits must not meet a
    // freed object.
    LaunchConfig* config = loadConfiguration();
    if (!config || !supportClassesChecked(*config)) return kMainClassNotFound;
    rootArchive().setPath(config->exePath());
    auto* host = new JvmHost();
    host->bindNatives = bindSupportNatives;
    auto* area = new platform::SharedArea;
    auto* channel = new InstanceChannel(openInstanceArea(*config, *area));
    publishLaunch(*config, *host, *channel);
    platform::initCommonControls();

    // A launch that may be forwarded shows no splash before it knows it will
    // run; the arguments are expanded early because it hands them over.
    const SingleInstanceMode instanceMode = config::singleInstance(*config);
    const bool forward = instanceMode == SingleInstanceMode::Forward;
    if (!forward) showSplash(*config);
    applyForcedWorkingDirectory(*config);
    const CommandLine commandLine(*config, argc, argv);
    if (forward) {
        forwardLaunch(*config, *channel, commandLine.count(), commandLine.arguments());
        showSplash(*config);
    }

    redirectStandardStreams(*config);
    // The single-instance gate may end the process.
    enforceSingleInstance(*config, instanceMode, *channel);
    startTrayWindow(host->vm);
    const int result = runVirtualMachine(*config, *host, commandLine);
    tearDown(*channel, *area);
    return result;
}

}  // namespace hux
