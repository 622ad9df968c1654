#include "runtime/class_data_cache.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string_view>
#include <vector>

#include "common/never_destroyed.h"
#include "common/utf.h"
#include "config/config_values.h"
#include "config/paths.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/threads.h"
#include "platform/user_cache.h"
#include "runtime/class_data_dump.h"
#include "runtime/version_limits.h"
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

ByteString withPid(const ByteString& base, const char* suffix) {
    ByteString name = base;
    char text[32];
    std::snprintf(text, sizeof text, "%s%u", suffix, platform::currentProcessId());
    name.append(text);
    return name;
}

// Where this process has the virtual machine write `archive`: a name of its
// own, so that launches starting together never publish a half-written file.
ByteString temporaryName(const ByteString& archive) { return withPid(archive, ".tmp"); }

// `<dir>/<place>-<content>` of `<dir>/<place>-<content>.jsa`.
ByteString stemOf(const ByteString& archive) {
    const std::string_view path = archive.view();
    return ByteString(path.substr(0, path.size() - 4));
}

ByteString withSuffix(const ByteString& archive, const char* suffix) {
    ByteString name = stemOf(archive);
    name.append(suffix);
    return name;
}

// The record beside the archive: its length and checksum.
ByteString recordName(const ByteString& archive) { return withSuffix(archive, ".sum"); }

// The marker a launch mapping the archive holds through its first seconds.
ByteString markerName(const ByteString& archive) { return withPid(withSuffix(archive, ".run"), ""); }

// A launch that maps the archive holds its marker until the application has
// run this long or the process exits through the virtual machine or the
// launcher; a marker whose process died before then (a crash, a fatal
// signal) marks the archive bad for the next launch.
constexpr int kCrashWindowMs = 10000;

// Creating an archive needs room: it is not asked for when the cache's file
// system has less than this plus a few times the executable's size free.
constexpr int64_t kMinimumFreeBytes = 64LL * 1024 * 1024;
constexpr int64_t kFreeBytesPerExecutableByte = 4;

constexpr char kRecordTag[] = "hux class-data archive";

// The archive written by this launch, renamed into place once the virtual
// machine has written it: at exit, which also comes after System.exit.
ByteString& pendingArchive() {
    static NeverDestroyed<ByteString> path;
    return *path;
}

// Where the virtual machine writes the archive at exit, where the system has
// it: a file in memory, so that a file system filling up meanwhile cannot
// fail the write (the machine would then print its error and end the process
// with exit code 1 in place of the application's). Publishing copies it to the
// cache; a copy that does not fit is thrown away.
platform::MemoryFile& dumpFile() {
    static NeverDestroyed<platform::MemoryFile> file;
    return *file;
}

// The virtual machine of the launch that asked for the archive, for the exit
// handler to tell whether the machine is gone (the host lives until exit).
std::atomic<const jni::VmSlot*>& launchVm() {
    static std::atomic<const jni::VmSlot*> slot{nullptr};
    return slot;
}

// The marker of the archive this launch maps, dropped once: by whichever of
// the watch, the virtual machine's exit hook and the exit handler comes
// first, or by a later launch in this process.
struct MappedArchive {
    platform::LiveMarker held;
    std::atomic<bool> dropped{true};
};
MappedArchive& mappedArchive() {
    static NeverDestroyed<MappedArchive> mapped;
    return *mapped;
}

void dropMarker() {
    MappedArchive& mapped = mappedArchive();
    if (mapped.dropped.exchange(true)) return;
    mapped.held.drop();
}

// One thread per process watches the crash window of the launch that holds
// the marker; a later launch re-arms it (a thread per launch would pile up
// in a process that launches again, as the tests do). Arming and the watch's
// drop take the lock; the exit paths only need `dropped`.
struct MarkerWatch {
    std::mutex lock;
    std::condition_variable wake;
    std::chrono::steady_clock::time_point deadline;
    bool armed = false;
    bool started = false;
};
MarkerWatch& markerWatch() {
    static NeverDestroyed<MarkerWatch> watch;
    return *watch;
}

int watchMarker(void*) {
    MarkerWatch& watch = markerWatch();
    std::unique_lock<std::mutex> hold(watch.lock);
    for (;;) {
        if (!watch.armed) {
            watch.wake.wait(hold);
        } else if (std::chrono::steady_clock::now() >= watch.deadline) {
            watch.armed = false;
            dropMarker();
        } else {
            watch.wake.wait_until(hold, watch.deadline);
        }
    }
}

// Ends the watch of an earlier launch in this process: its marker is dropped.
void endEarlierLaunch() {
    MarkerWatch& watch = markerWatch();
    const std::lock_guard<std::mutex> hold(watch.lock);
    watch.armed = false;
    dropMarker();
}

// Holds `marker` for this launch and starts its crash window; false when it
// cannot be held.
bool holdMarker(const ByteString& marker) {
    MarkerWatch& watch = markerWatch();
    const std::lock_guard<std::mutex> hold(watch.lock);
    MappedArchive& mapped = mappedArchive();
    dropMarker();
    if (!mapped.held.hold(marker.c_str())) return false;
    mapped.dropped = false;
    watch.deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCrashWindowMs);
    watch.armed = true;
    if (!watch.started) {
        // Without the thread the marker is held until the process exits.
        platform::Thread thread;
        watch.started = thread.start(watchMarker, nullptr, 64 * 1024, false).ok();
        thread.detach();
    }
    watch.wake.notify_one();
    return true;
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

// Length and checksum of the file at `path`.
bool measureFile(const ByteString& path, int64_t& length, uint64_t& checksum) {
    platform::InputFile file;
    if (!file.open(path.c_str())) return false;
    length = file.size();
    if (length <= 0) return false;
    platform::FileView view;
    if (!view.map(file) || view.size() != length) return false;
    checksum = classDataChecksum(view.data(), static_cast<size_t>(length));
    return true;
}

ByteString recordText(int64_t length, uint64_t checksum) {
    char text[96];
    std::snprintf(text, sizeof text, "%s %lld %016llx\n", kRecordTag, static_cast<long long>(length),
                  static_cast<unsigned long long>(checksum));
    return ByteString(text);
}

// Writes the record of `written`, the file that is about to become
// `archive`: under a name of its own, then renamed into place.
bool writeRecord(const ByteString& archive, const ByteString& written) {
    int64_t length = 0;
    uint64_t checksum = 0;
    if (!measureFile(written, length, checksum)) return false;
    const ByteString text = recordText(length, checksum);
    const ByteString record = recordName(archive);
    const ByteString temporary = withPid(record, ".tmp");
    platform::removeFile(temporary.c_str());
    if (!platform::writeNewPrivateFile(temporary.c_str(), text.data(), static_cast<size_t>(text.length())))
        return false;
    if (platform::replaceFile(temporary.c_str(), record.c_str())) return true;
    platform::removeFile(temporary.c_str());
    return false;
}

// Once: from the virtual machine's exit hook when the process ends through
// it, else from the exit handler. The record goes first: an archive is never
// in place without the record of its bytes, and a record without its archive
// (or beside an older one) fails the check.
void publishPendingArchive() {
    const ByteString target = pendingArchive();
    if (target.empty()) return;
    pendingArchive() = ByteString();
    const ByteString written = temporaryName(target);
    if (!dumpFile().path().empty()) {
        platform::removeFile(written.c_str());
        const platform::Status copied = dumpFile().copyTo(written.c_str());
        dumpFile().close();
        if (!copied) {
            debugLog(
                "class-data archive %s: it could not be written to the cache (full or unwritable), thrown away: %s",
                target.c_str(), copied.text());
            return;
        }
    }
    if (!platform::isOwnPrivateFile(written.c_str()) || !publishClassDataArchive(target, written))
        platform::removeFile(written.c_str());
}

// The virtual machine calls this after it has written its archive; on
// Windows the runtime's own C library ends the process, which need not run
// the launcher's exit handlers.
void finishAtVmExit(int32_t) {
    publishPendingArchive();
    startPendingDump();
    dropMarker();
}

// The exit handler. An archive is published only once the virtual machine
// is gone: the machine also ends the process with exit() when it fails (as
// when writing the archive fails), and a file it left then is not whole.
void finishAtExit() {
    const jni::VmSlot* vm = launchVm().load(std::memory_order_acquire);
    if (!vm || !*vm) {
        publishPendingArchive();
    } else {
        const ByteString target = pendingArchive();
        pendingArchive() = ByteString();
        if (!target.empty()) {
            debugLog("class-data archive %s: the virtual machine did not write it, thrown away", target.c_str());
            platform::removeFile(temporaryName(target).c_str());
        }
    }
    startPendingDump();
    dropMarker();
}

// Once per process, however many launches it makes.
void registerExitHandler() {
    static std::once_flag once;
    std::call_once(once, [] { std::atexit(finishAtExit); });
}

// Removes the archive and what belongs to it: its record and the markers of
// launches that died with it mapped.
void discardArchive(const ByteString& directory, const ByteString& archive) {
    platform::removeFile(archive.c_str());
    platform::removeFile(recordName(archive).c_str());
    for (const ByteString& marker : abandonedMarkers(directory, archive)) platform::removeFile(marker.c_str());
}

// Whether this launch may ask for an archive to be written to `temporary`:
// the cache takes a new file there and has room for an archive.
bool mayWriteArchive(const ByteString& directory, const ByteString& temporary, int64_t executableSize) {
    const int64_t free = platform::freeBytes(directory.c_str());
    if (free >= 0 && free < kMinimumFreeBytes + kFreeBytesPerExecutableByte * executableSize) {
        debugLog("class-data archive: %lld bytes free in the cache, none written", static_cast<long long>(free));
        return false;
    }
    platform::removeFile(temporary.c_str());
    if (const platform::Status written = platform::writeNewPrivateFile(temporary.c_str(), "", 0); !written) {
        debugLog("class-data archive: the cache cannot be written (%s), none written", written.text());
        return false;
    }
    platform::removeFile(temporary.c_str());
    return true;
}

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
    return file.readAt(size - n, key.executableTail.data(), static_cast<size_t>(n)).ok();
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

uint64_t classDataChecksum(const uint8_t* data, size_t size) {
    // Four independent lanes of multiply-rotate rounds over 32-byte blocks,
    // then the tail bytes: a few gigabytes a second, and every bit of the
    // input reaches every bit of the result.
    constexpr uint64_t k1 = 0x9E3779B185EBCA87ULL, k2 = 0xC2B2AE3D27D4EB4FULL, k3 = 0x165667B19E3779F9ULL,
                       k4 = 0x85EBCA77C2B2AE63ULL, k5 = 0x27D4EB2F165667C5ULL;
    const auto rotl = [](uint64_t x, int r) { return (x << r) | (x >> (64 - r)); };
    const auto word = [](const uint8_t* p) {
        uint64_t v;
        std::memcpy(&v, p, sizeof v);
        return v;
    };
    const auto round = [&](uint64_t acc, uint64_t lane) { return rotl(acc + lane * k2, 31) * k1; };
    const auto merge = [&](uint64_t h, uint64_t acc) { return (h ^ round(0, acc)) * k1 + k4; };
    const uint8_t* p = data;
    const uint8_t* end = data + size;
    uint64_t h;
    if (size >= 32) {
        uint64_t a = k1 + k2, b = k2, c = 0, d = 0 - k1;
        for (; end - p >= 32; p += 32) {
            a = round(a, word(p));
            b = round(b, word(p + 8));
            c = round(c, word(p + 16));
            d = round(d, word(p + 24));
        }
        h = rotl(a, 1) + rotl(b, 7) + rotl(c, 12) + rotl(d, 18);
        h = merge(merge(merge(merge(h, a), b), c), d);
    } else {
        h = k5;
    }
    h += static_cast<uint64_t>(size);
    for (; end - p >= 8; p += 8) h = rotl(h ^ round(0, word(p)), 27) * k1 + k4;
    for (; p < end; ++p) h = rotl(h ^ (*p * k5), 11) * k1;
    h ^= h >> 33;
    h *= k2;
    h ^= h >> 29;
    h *= k3;
    return h ^ (h >> 32);
}

bool publishClassDataArchive(const ByteString& archive, const ByteString& written) {
    if (!writeRecord(archive, written)) return false;
    if (!platform::replaceFile(written.c_str(), archive.c_str())) {
        platform::removeFile(recordName(archive).c_str());
        return false;
    }
    const std::string_view path = archive.view();
    const size_t slash = path.find_last_of("/\\") + 1;
    pruneClassDataArchives(ByteString(path.substr(0, slash)), ByteString(path.substr(slash)), nowNanoseconds());
    return true;
}

bool classDataArchiveIsWhole(const ByteString& archive) {
    const ByteString record = recordName(archive);
    platform::InputFile file;
    char text[128] = {};
    if (!platform::isOwnPrivateFile(record.c_str()) || !file.open(record.c_str())) return false;
    const int64_t n = file.size();
    if (n <= 0 || n >= static_cast<int64_t>(sizeof text) || !file.readAt(0, text, static_cast<size_t>(n))) return false;
    int64_t length = 0;
    uint64_t checksum = 0;
    if (!measureFile(archive, length, checksum)) return false;
    return recordText(length, checksum).view() == std::string_view(text, static_cast<size_t>(n));
}

std::vector<ByteString> abandonedMarkers(const ByteString& directory, const ByteString& archive) {
    std::vector<ByteString> found;
    const std::string_view path = archive.view();
    const std::string_view name = path.substr(path.find_last_of("/\\") + 1);
    ByteString pattern = directory;
    pattern.append(name.substr(0, name.size() - 4));
    pattern.append(".run*");
    platform::DirLister lister;
    if (!lister.open(pattern.c_str())) return found;
    platform::DirEntry entry;
    while (lister.next(entry)) {
        ByteString marker = directory;
        marker.append(entry.name);
        if (!entry.isDirectory && platform::isAbandonedMarker(marker.c_str())) found.push_back(marker);
    }
    return found;
}

void pruneClassDataArchives(const ByteString& directory, const ByteString& kept, int64_t now) {
    const std::string_view keptName = kept.view();
    const std::string_view keptStem = keptName.substr(0, keptName.find('.'));
    const std::string_view place = keptName.substr(0, keptName.find('-') + 1);
    ByteString pattern = directory;
    pattern.append("*");
    platform::DirLister lister;
    if (place.empty() || !lister.open(pattern.c_str())) return;
    platform::DirEntry entry;
    std::vector<ByteString> doomed;
    while (lister.next(entry)) {
        if (entry.isDirectory) continue;
        // <place>-<content>.jsa and .sum: an archive and its record, kept and
        // dropped together; anything longer (.jsa.tmp<pid>, .sum.tmp<pid>,
        // .lst.tmp<pid>, .run<pid>, .dump) lives only while a launch or its
        // dump runs, and .failed holds retries off for a day.
        const std::string_view name = entry.name.view();
        const size_t dot = name.find('.');
        if (dot == std::string_view::npos || name.substr(0, dot).find('-') == std::string_view::npos) continue;
        const std::string_view stem = name.substr(0, dot), kind = name.substr(dot);
        const bool finished = kind == ".jsa" || kind == ".sum";
        const bool temporary = !finished && (kind.substr(0, 8) == ".jsa.tmp" || kind.substr(0, 8) == ".sum.tmp" ||
                                             kind.substr(0, 8) == ".lst.tmp" || kind.substr(0, 4) == ".run" ||
                                             kind == ".dump" || kind == ".failed");
        if ((!finished && !temporary) || stem == keptStem) continue;
        ByteString path = directory;
        path.append(entry.name);
        int64_t size = 0, modified = 0;
        if (!platform::isOwnPrivateFile(path.c_str()) || !platform::fileIdentity(path.c_str(), size, modified))
            continue;
        const bool replaced = finished && stem.substr(0, place.size()) == place;
        const int64_t age = now - modified;
        if (replaced || age > (temporary ? kStaleTemporaryAge : kUnusedArchiveAge)) doomed.push_back(path);
    }
    lister.close();
    for (const ByteString& path : doomed) platform::removeFile(path.c_str());
}

void appendClassDataOptions(const LaunchConfig& config, JvmHost& host, const ByteString& runtimeLibrary) {
    endEarlierLaunch();
    if (!config::classDataSharing(config) || config::asSystemClassLoader(config)) return;
    ClassDataKey key;
    if (!readClassDataKey(config.exePath(), runtimeLibrary, key)) return;
    const platform::Result<ByteString> cache = platform::userCacheDirectory();
    if (!cache) {
        debugLog("class-data archive: %s", cache.status().text());
        return;
    }
    const ByteString& directory = cache.value();
    ByteString archive = directory;
    archive.append(classDataArchiveName(key));
    ByteString option;
    if (platform::isOwnPrivateFile(archive.c_str())) {
        // Mapped only when whole and not left behind by a launch that died
        // with it mapped; else removed and written anew. The virtual machine
        // does not check an archive's contents itself: a damaged one crashes
        // it.
        if (!abandonedMarkers(directory, archive).empty() || !classDataArchiveIsWhole(archive)) {
            debugLog("class-data archive %s: damaged or crashed a launch, removed", archive.c_str());
            discardArchive(directory, archive);
        } else {
            // Without its marker a crash would go unnoticed: then no archive.
            if (!holdMarker(markerName(archive))) return;
            launchVm().store(&host.vm, std::memory_order_release);
            registerExitHandler();
            host.exitHook = finishAtVmExit;
            option.assign("-XX:SharedArchiveFile=");
            option.append(archive);
            host.addOption(option.c_str());
            debugLog("class-data archive %s", archive.c_str());
        }
    }
    if (option.empty()) {
        // Writing an archive is an optimisation: a cache that cannot take
        // one must not make the virtual machine fail at exit.
        if (!mayWriteArchive(directory, temporaryName(archive), key.executableSize)) return;
        if (dumpsClassDataLater(host)) {
            // The runtime's loader serves the classes: they are listed now
            // and archived after the launch, which does not wait for it.
            if (!appendClassListOption(config, host, runtimeLibrary, archive)) return;
        } else {
            option.assign("-XX:ArchiveClassesAtExit=");
            option.append(dumpFile().create() ? dumpFile().path() : temporaryName(archive));
            host.addOption(option.c_str());
            pendingArchive() = archive;
            debugLog("class-data archive %s: written at exit", archive.c_str());
        }
        launchVm().store(&host.vm, std::memory_order_release);
        registerExitHandler();
        host.exitHook = finishAtVmExit;
    }
    // A mismatching archive is a cache miss, not something to tell the user.
    host.addOption("-Xshare:auto");
    host.addOption("-Xlog:cds=off");
    host.addOption("-Xlog:cds+dynamic=off");
}

bool sharingNoteNeedsWarningsOff(const LaunchConfig& config, const ByteString& library, const ByteString& version) {
    if (!config::asSystemClassLoader(config)) return false;
    int32_t parts[4] = {0, 0, 0, 0};
    const int32_t count = scanVersion(version.c_str(), parts);
    // "1.8.0_402" counts as 8; Java 21 logs the note under the cds tags.
    const int32_t major = count >= 2 && parts[0] == 1 ? parts[1] : parts[0];
    if (count > 0 && major >= 21) return false;
    StringList lines;
    config::options(config, lines);
    bool quieted = false, namedArchive = false;
    for (int32_t i = 0; i < lines.count(); ++i) {
        const std::string_view line = lines.view(i);
        if (line == "-Xlog:cds=off") quieted = true;
        if (startsWith(line, "-XX:SharedArchiveFile=")) namedArchive = true;
        if (line == "-Xshare:off" || line == "-XX:+PrintWarnings" || line == "-XX:-PrintWarnings") return false;
    }
    if (!quieted) return false;
    if (namedArchive) return true;
    const ByteString directory = directoryOf(library.view());
    for (const char* name : {"classes.jsa", "classes_nocoops.jsa"}) {
        ByteString archive = directory;
        archive.append(name);
        if (platform::pathExists(archive.c_str())) return true;
    }
    return false;
}

}  // namespace hux
