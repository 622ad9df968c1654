#include "runtime/class_data_cache.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "common/never_destroyed.h"
#include "common/utf.h"
#include "config/config_values.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/user_cache.h"
#include "config/debug_log.h"

namespace hux {

namespace {

// The end of the executable read into the key: the payload archive's end
// record and (for all but very large archives) its whole directory, whose
// entries carry every member's checksum.
constexpr int64_t kTailBytes = 64 * 1024;

struct Fnv {
    uint64_t h = 0xcbf29ce484222325ULL;
    void bytes(const void* data, size_t n) {
        const auto* p = static_cast<const unsigned char*>(data);
        for (size_t i = 0; i < n; ++i) {
            h ^= p[i];
            h *= 0x100000001b3ULL;
        }
    }
    void text(const ByteString& s) {
        bytes(s.data(), static_cast<size_t>(s.length()));
        bytes("", 1);  // ends the field, so that fields cannot run into each other
    }
    void number(int64_t v) { bytes(&v, sizeof v); }
};

// Where this process has the virtual machine write `archive`: a name of its
// own, so that launches starting together never publish a half-written file.
ByteString temporaryName(const ByteString& archive) {
    ByteString name = archive;
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".tmp%u", platform::currentProcessId());
    name.append(suffix);
    return name;
}

// The archive written by this launch, renamed into place once the virtual
// machine has written it: at exit, which also comes after System.exit.
ByteString& pendingArchive() {
    static NeverDestroyed<ByteString> path;
    return *path;
}

// An archive no launch has written for this long is removed when another is
// published (a used archive is only read, so this costs it one rewrite), and
// so is a temporary file left by a launch that never reached its exit.
constexpr int64_t kNanosecondsPerDay = 86400LL * 1000000000LL;
constexpr int64_t kUnusedArchiveAge = 90 * kNanosecondsPerDay;
constexpr int64_t kStaleTemporaryAge = kNanosecondsPerDay;

int64_t nowNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Once: from the virtual machine's exit hook when the process ends through
// it, else from the exit handler.
void publishPendingArchive() {
    const ByteString target = pendingArchive();
    if (target.empty()) return;
    pendingArchive() = ByteString();
    const ByteString written = temporaryName(target);
    if (platform::isOwnPrivateFile(written.c_str()) && platform::replaceFile(written.c_str(), target.c_str())) {
        const std::string_view path = target.view();
        const size_t slash = path.find_last_of("/\\") + 1;
        pruneClassDataArchives(ByteString(path.substr(0, slash)), ByteString(path.substr(slash)), nowNanoseconds());
        return;
    }
    platform::removeFile(written.c_str());
}

// The virtual machine has written its archive by the time it calls this; on
// Windows the runtime's own C library ends the process, which need not run
// the launcher's exit handlers.
void publishAtVmExit(int32_t) { publishPendingArchive(); }

}  // namespace

bool readClassDataKey(const ByteString& executable, const ByteString& runtimeLibrary, ClassDataKey& key) {
    key.executable = executable;
    key.runtime = runtimeLibrary;
    if (!platform::fileIdentity(executable.c_str(), key.executableSize, key.executableTime) ||
        !platform::fileIdentity(runtimeLibrary.c_str(), key.runtimeSize, key.runtimeTime))
        return false;
    platform::InputFile file;
    if (!file.open(executable.c_str())) return false;
    const int64_t size = file.size();
    const int64_t n = size < kTailBytes ? size : kTailBytes;
    key.executableTail.resize(static_cast<int32_t>(n));
    return file.readAt(size - n, key.executableTail.data(), static_cast<size_t>(n));
}

ByteString classDataArchiveName(const ClassDataKey& key) {
    // The first half names the pair of files, the second what they hold: a
    // new archive for the same pair replaces the older ones.
    Fnv place;
    place.text(key.executable);
    place.text(key.runtime);
    Fnv f;
    f.text(key.executable);
    f.number(key.executableSize);
    f.number(key.executableTime);
    f.text(key.executableTail);
    f.text(key.runtime);
    f.number(key.runtimeSize);
    f.number(key.runtimeTime);
    char name[48];
    std::snprintf(name, sizeof name, "%016llx-%016llx.jsa", static_cast<unsigned long long>(place.h),
                  static_cast<unsigned long long>(f.h));
    return ByteString(name);
}

void pruneClassDataArchives(const ByteString& directory, const ByteString& kept, int64_t now) {
    const std::string_view keptName = kept.view();
    const std::string_view place = keptName.substr(0, keptName.find('-') + 1);
    ByteString pattern = directory;
    pattern.append("*");
    platform::DirLister lister;
    if (place.empty() || !lister.open(pattern.c_str())) return;
    platform::DirEntry entry;
    std::vector<ByteString> doomed;
    while (lister.next(entry)) {
        if (entry.isDirectory) continue;
        const std::string_view name = entry.name.view();
        const size_t jsa = name.find(".jsa");
        if (jsa == std::string_view::npos || name == keptName) continue;
        ByteString path = directory;
        path.append(entry.name);
        int64_t size = 0, modified = 0;
        if (!platform::isOwnPrivateFile(path.c_str()) || !platform::fileIdentity(path.c_str(), size, modified))
            continue;
        const bool temporary = name.compare(jsa, std::string_view::npos, ".jsa") != 0;
        const bool replaced = !temporary && name.substr(0, place.size()) == place;
        const int64_t age = now - modified;
        if (replaced || age > (temporary ? kStaleTemporaryAge : kUnusedArchiveAge)) doomed.push_back(path);
    }
    lister.close();
    for (const ByteString& path : doomed) platform::removeFile(path.c_str());
}

void appendClassDataOptions(const LaunchConfig& config, JvmHost& host, const ByteString& runtimeLibrary) {
    if (!config::classDataSharing(config) || config::asSystemClassLoader(config)) return;
    ClassDataKey key;
    if (!readClassDataKey(config.exePath(), runtimeLibrary, key)) return;
    const ByteString directory = platform::userCacheDirectory();
    if (directory.empty()) return;
    ByteString archive = directory;
    archive.append(classDataArchiveName(key));
    ByteString option;
    if (platform::isOwnPrivateFile(archive.c_str())) {
        option.assign("-XX:SharedArchiveFile=");
        option.append(archive);
        host.addOption(option.c_str());
        debugLog("class-data archive %s", archive.c_str());
    } else {
        option.assign("-XX:ArchiveClassesAtExit=");
        option.append(temporaryName(archive));
        host.addOption(option.c_str());
        pendingArchive() = archive;
        std::atexit(publishPendingArchive);
        host.exitHook = publishAtVmExit;
        debugLog("class-data archive %s: written at exit", archive.c_str());
    }
    // A mismatching archive is a cache miss, not something to tell the user.
    host.addOption("-Xshare:auto");
    host.addOption("-Xlog:cds=off");
    host.addOption("-Xlog:cds+dynamic=off");
}

}  // namespace hux
