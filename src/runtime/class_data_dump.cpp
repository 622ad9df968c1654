#include "runtime/class_data_dump.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/never_destroyed.h"
#include "common/utf.h"
#include "config/config_values.h"
#include "config/debug_log.h"
#include "config/paths.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/run_program.h"
#include "platform/runtime_location.h"
#include "platform/user_cache.h"
#include "runtime/class_data_cache.h"

namespace hux {

namespace {

// The helper's mark in its environment; its arguments say what to dump.
constexpr char kHelperVariable[] = "HUX_CLASS_DATA_DUMP";

// No helper outlives the application by more than this: it waits for the
// launch's process to end, gives the runtime what is left less a margin for
// ending it and publishing, then ends it.
constexpr int kHelperLimitSeconds = 60;
constexpr int kParentWaitMs = 5000;
constexpr int kEndGraceSeconds = 2;
constexpr int kPublishMarginSeconds = 2;

// A failed dump is tried again once its marker is this old.
constexpr int64_t kRetryAfterNanoseconds = 86400LL * 1000000000LL;

// The helper's arguments after the executable, in this order.
enum HelperArgument { kJava = 1, kClassPath, kList, kArchive, kParent, kFirstOption };

struct PendingDump {
    std::vector<std::string> arguments;  // the helper's whole command line
};
PendingDump& pendingDump() {
    static NeverDestroyed<PendingDump> pending;
    return *pending;
}
std::mutex& pendingLock() {
    static NeverDestroyed<std::mutex> lock;
    return *lock;
}

// `<dir>/<place>-<content>` + `suffix`, for the archive `<...>.jsa`.
ByteString besideArchive(std::string_view archive, const char* suffix) {
    ByteString name(archive.substr(0, archive.size() - 4));
    name.append(suffix);
    return name;
}

ByteString withPid(ByteString name) {
    name.append(std::to_string(platform::currentProcessId()));
    return name;
}

// Held by the helper while it dumps: a later launch then lists nothing.
ByteString dumpMarkerName(std::string_view archive) { return besideArchive(archive, ".dump"); }
// Left by a failed dump; its time says when.
ByteString failureMarkerName(std::string_view archive) { return besideArchive(archive, ".failed"); }

int64_t nowNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool failedRecently(const ByteString& archive) {
    const ByteString marker = failureMarkerName(archive);
    int64_t size = 0, modified = 0;
    if (!platform::isOwnPrivateFile(marker.c_str()) || !platform::fileIdentity(marker.c_str(), size, modified))
        return false;
    const int64_t age = nowNanoseconds() - modified;
    return age >= 0 && age < kRetryAfterNanoseconds;
}

bool dumpRunning(const ByteString& archive) {
    const ByteString marker = dumpMarkerName(archive);
    return platform::pathExists(marker.c_str()) && !platform::isAbandonedMarker(marker.c_str());
}

// The runtime's `java` program: `bin/java` in the library's directory or one
// of the three above it (`lib/server/libjvm.so`, `jre/lib/amd64/server/`).
ByteString javaProgramOf(const ByteString& runtimeLibrary) {
    ByteString directory = directoryOf(runtimeLibrary.view());
    for (int up = 0; up < 4 && directory.length() > 1; ++up) {
        ByteString java = directory;
        java.append("bin/");
        java.append(platform::javaProgramName());
        if (platform::pathExists(java.c_str()) && !platform::isDirectory(java.c_str())) return java;
        directory = directoryOf(directory.view().substr(0, static_cast<size_t>(directory.length() - 1)));
    }
    return {};
}

// The launch's class path, as its "-Djava.class.path=" option gives it.
ByteString launchClassPath(const JvmHost& host) {
    constexpr std::string_view kPrefix = "-Djava.class.path=";
    for (int32_t i = host.optionCount() - 1; i >= 0; --i) {
        const std::string_view option = host.option(i);
        if (startsWith(option, kPrefix)) return ByteString(option.substr(kPrefix.size()));
    }
    return {};
}

// The option lines that decide how the archive is laid out (the heap's size
// decides compressed references): an archive dumped without them would not
// map.
void addLayoutOptions(const LaunchConfig& config, std::vector<std::string>& arguments) {
    StringList lines;
    config::options(config, lines);
    for (int32_t i = 0; i < lines.count(); ++i) {
        const std::string_view line = lines.view(i);
        if (startsWith(line, "-Xmx") || startsWith(line, "-XX:MaxHeapSize=") ||
            startsWith(line, "-XX:+UseCompressed") || startsWith(line, "-XX:-UseCompressed") ||
            startsWith(line, "-XX:ObjectAlignmentInBytes="))
            arguments.emplace_back(line);
    }
}

void leaveFailureMarker(const ByteString& archive) {
    const ByteString marker = failureMarkerName(archive);
    platform::removeFile(marker.c_str());
    if (const platform::Status left = platform::writeNewPrivateFile(marker.c_str(), "", 0); !left)
        debugLog("class-data archive: %s", left.text());
}

// Whether `path` names a file right inside the user's cache directory.
bool inCache(const ByteString& cache, std::string_view path) {
    return !cache.empty() && startsWith(path, cache.view()) &&
           path.substr(static_cast<size_t>(cache.length())).find_first_of("/\\") == std::string_view::npos;
}

// Has the runtime write the archive from `list` into `written`; true when it
// ended well within `limitSeconds`.
bool dumpArchive(char** argv, int argc, const ByteString& written, int limitSeconds) {
    std::vector<std::string> command{argv[kJava], "-Xshare:dump"};
    command.push_back(std::string("-XX:SharedClassListFile=") + argv[kList]);
    command.push_back("-XX:SharedArchiveFile=" + std::string(written.view()));
    for (int i = kFirstOption; i < argc; ++i) command.emplace_back(argv[i]);
    command.emplace_back("-cp");
    command.emplace_back(argv[kClassPath]);
    bool timedOut = false;
    const platform::Result<int> run =
        platform::runProgramCapturingWithin(command, platform::nullDevice(), limitSeconds, kEndGraceSeconds, timedOut);
    if (!run) debugLog("class-data archive %s: %s", written.c_str(), run.status().text());
    return run && run.value() == 0 && !timedOut;
}

}  // namespace

bool dumpsClassDataLater(const JvmHost& host) { return host.direct && platform::startsDetachedPrograms(); }

bool appendClassListOption(const LaunchConfig& config, JvmHost& host, const ByteString& runtimeLibrary,
                           const ByteString& archive) {
    if (failedRecently(archive)) {
        debugLog("class-data archive %s: its dump failed less than a day ago, none made", archive.c_str());
        return false;
    }
    if (dumpRunning(archive)) {
        debugLog("class-data archive %s: being made by another launch", archive.c_str());
        return false;
    }
    const ByteString java = javaProgramOf(runtimeLibrary);
    const ByteString classPath = launchClassPath(host);
    const ByteString list = withPid(besideArchive(archive, ".lst.tmp"));
    platform::removeFile(list.c_str());
    // Made here, the user's private file, which the machine then fills.
    if (java.empty() || classPath.empty() || !platform::writeNewPrivateFile(list.c_str(), "", 0)) return false;
    ByteString option("-XX:DumpLoadedClassList=");
    option.append(list);
    host.addOption(option.c_str());
    std::vector<std::string> arguments{
        std::string(config.exePath().view()), std::string(java.view()),
        std::string(classPath.view()),        std::string(list.view()),
        std::string(archive.view()),          std::to_string(platform::currentProcessId())};
    addLayoutOptions(config, arguments);
    const std::lock_guard<std::mutex> hold(pendingLock());
    pendingDump().arguments = arguments;
    debugLog("class-data archive %s: classes listed, dumped after the launch", archive.c_str());
    return true;
}

void startPendingDump() {
    std::vector<std::string> arguments;
    {
        const std::lock_guard<std::mutex> hold(pendingLock());
        arguments.swap(pendingDump().arguments);
    }
    if (arguments.empty()) return;
    const platform::Status started = platform::startDetached(arguments, std::string(kHelperVariable) + "=1");
    if (started) return;
    debugLog("class-data archive: the helper could not be started: %s", started.text());
    platform::removeFile(arguments[kList].c_str());
}

bool isClassDataDumpHelper() {
    ByteString value;
    return platform::getEnv(kHelperVariable, value) && value == "1";
}

int runClassDataDump(int argc, char** argv) {
    if (argc < kFirstOption) return 2;
    const auto start = std::chrono::steady_clock::now();
    if (const platform::Status lowered = platform::lowerOwnPriority(); !lowered)
        debugLog("class-data archive: %s", lowered.text());
    const ByteString list(argv[kList]), archive(argv[kArchive]);
    const ByteString cache = platform::userCacheDirectory().value();
    if (!inCache(cache, list.view()) || !inCache(cache, archive.view())) return 2;
    platform::waitForParentEnd(static_cast<uint32_t>(std::strtoul(argv[kParent], nullptr, 10)), kParentWaitMs);
    platform::LiveMarker running;
    if (!running.hold(dumpMarkerName(archive).c_str()) || platform::isOwnPrivateFile(archive.c_str())) {
        platform::removeFile(list.c_str());  // made by another helper meanwhile
        return 0;
    }
    const auto waited = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
    const int limit = kHelperLimitSeconds - kEndGraceSeconds - kPublishMarginSeconds - static_cast<int>(waited.count());
    const ByteString written = withPid(besideArchive(archive, ".jsa.tmp"));
    platform::removeFile(written.c_str());
    int64_t listSize = 0, listTime = 0;
    const bool listed = platform::isOwnPrivateFile(list.c_str()) &&
                        platform::fileIdentity(list.c_str(), listSize, listTime) && listSize > 0;
    const bool published = listed && dumpArchive(argv, argc, written, limit) &&
                           platform::isOwnPrivateFile(written.c_str()) && publishClassDataArchive(archive, written);
    platform::removeFile(list.c_str());
    if (published) {
        platform::removeFile(failureMarkerName(archive).c_str());
    } else {
        platform::removeFile(written.c_str());
        leaveFailureMarker(archive);
    }
    running.drop();
    return published ? 0 : 1;
}

}  // namespace hux
