#include "runtime/embedded_runtime.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include <zlib.h>

#include "archive/zip_reader.h"
#include "archive/zstd_entry.h"
#include "common/never_destroyed.h"
#include "common/runtime_index.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "platform/private_tree.h"
#include "platform/process.h"
#include "platform/threads.h"
#include "platform/user_cache.h"
#include "config/debug_log.h"

namespace hux {

namespace {

constexpr int64_t kNanosecondsPerDay = 86400LL * 1000000000LL;
// A copy no launch has used for this long goes when another is published.
constexpr int64_t kUnusedRuntimeAge = 90 * kNanosecondsPerDay;
// A launch marks its copy used at most this often (one write a day).
constexpr int64_t kUseRefreshAge = kNanosecondsPerDay;
// Temporary and set-aside trees older than this belong to launches that died.
constexpr int64_t kStaleTreeAge = kNanosecondsPerDay;
// Room left free beyond the image itself.
constexpr int64_t kFreeMargin = 16LL * 1024 * 1024;

struct PayloadRuntime {
    bool read = false;
    bool carries = false;
    std::string indexError;
    RuntimeIndex index;
};

PayloadRuntime& payloadRuntime() {
    static NeverDestroyed<PayloadRuntime> memo;
    return *memo;
}

int64_t nowNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool openPayload(const LaunchConfig& config, ZipReader& reader) {
    auto source = std::make_unique<FileSource>();
    if (config.exePath().empty() || !source->open(config.exePath().c_str())) return false;
    return reader.open(std::move(source));
}

int32_t findEntry(const ZipReader& reader, std::string_view name) {
    for (int32_t i = 0; i < reader.entryCount(); ++i) {
        const ZipEntry& e = reader.entry(i);
        if (std::string_view(e.name, static_cast<size_t>(e.nameLength)) == name) return i;
    }
    return -1;
}

const PayloadRuntime& readPayload(const LaunchConfig& config) {
    PayloadRuntime& memo = payloadRuntime();
    if (memo.read) return memo;
    memo.read = true;
    ZipReader reader;
    if (!openPayload(config, reader)) return memo;
    const int32_t at = findEntry(reader, kRuntimeIndexName);
    if (at < 0) return memo;
    memo.carries = true;
    const ZipEntry& e = reader.entry(at);
    std::string text(static_cast<size_t>(e.size), '\0');
    if (e.size > 16 * 1024 * 1024 || !reader.canRead(at) ||
        !reader.readEntry(at, reinterpret_cast<uint8_t*>(text.data()))) {
        memo.indexError = "the runtime index cannot be read";
        return memo;
    }
    if (!parseRuntimeIndex(text, memo.index, memo.indexError)) memo.index = RuntimeIndex{};
    return memo;
}

ByteString joined(const ByteString& directory, std::string_view relative, char separator) {
    ByteString path = directory;
    path.push(separator);
    for (char c : relative) path.push(c == '/' ? separator : c);
    return path;
}

ByteString withPid(const ByteString& base, const char* suffix) {
    ByteString name = base;
    char text[48];
    std::snprintf(text, sizeof text, "%s%u", suffix, platform::currentProcessId());
    name.append(text);
    return name;
}

// Whether the completion file and every file of the index are there as the
// index describes them: one small read and one status query per file.
bool isComplete(const ByteString& home, const RuntimeIndex& index, char separator) {
    if (!platform::isOwnPrivateDirectory(home.c_str())) return false;
    const ByteString marker = joined(home, kRuntimeCompleteName, separator);
    const std::string expected = runtimeCompletionText(index);
    platform::InputFile file;
    if (!platform::isOwnPrivateFile(marker.c_str()) || !file.open(marker.c_str()) ||
        file.size() != static_cast<int64_t>(expected.size()))
        return false;
    std::string text(expected.size(), '\0');
    if (!file.readAt(0, text.data(), text.size()) || text != expected) return false;
    for (const RuntimeIndex::File& f : index.files) {
        const platform::Result<int64_t> size = platform::plainFileSize(joined(home, f.path, separator).c_str());
        if (!size || size.value() != static_cast<int64_t>(f.size)) {
            debugLog("embedded runtime %s: %s is missing or has changed", home.c_str(), f.path.c_str());
            return false;
        }
    }
    return true;
}

// Marks a copy used, at most once a day, so that the removal of unused copies
// passes it over.
void markUsed(const ByteString& home, char separator) {
    const ByteString marker = joined(home, kRuntimeCompleteName, separator);
    int64_t size = 0, modified = 0;
    if (platform::fileIdentity(marker.c_str(), size, modified) && nowNanoseconds() - modified > kUseRefreshAge)
        platform::touchFile(marker.c_str());
}

bool isHashName(std::string_view name) {
    if (name.size() != kRuntimeHashDigits) return false;
    for (char c : name)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

// Removes copies unused for 90 days and trees left by launches that died,
// the user's own only. A copy is first renamed aside, so that no launch
// finds it half removed.
void removeUnused(const ByteString& runtimes, const std::string& keep, char separator) {
    ByteString pattern = runtimes;
    pattern.push(separator);
    pattern.push('*');
    platform::DirLister lister;
    if (!lister.open(pattern.c_str())) return;
    std::vector<std::pair<ByteString, bool>> doomed;  // path, rename aside first
    const int64_t now = nowNanoseconds();
    platform::DirEntry entry;
    while (lister.next(entry)) {
        const std::string_view name = entry.name.view();
        if (!entry.isDirectory || name == "." || name == ".." || name == keep) continue;
        const ByteString path = joined(runtimes, name, separator);
        if (!platform::isOwnPrivateDirectory(path.c_str())) continue;
        int64_t size = 0, modified = 0;
        if (isHashName(name)) {
            const ByteString marker = joined(path, kRuntimeCompleteName, separator);
            if (!platform::fileIdentity(marker.c_str(), size, modified) &&
                !platform::fileIdentity(path.c_str(), size, modified))
                continue;
            if (now - modified > kUnusedRuntimeAge) doomed.emplace_back(path, true);
        } else if (name.size() > kRuntimeHashDigits && isHashName(name.substr(0, kRuntimeHashDigits))) {
            if (platform::fileIdentity(path.c_str(), size, modified) && now - modified > kStaleTreeAge)
                doomed.emplace_back(path, false);
        }
    }
    lister.close();
    for (const auto& [path, aside] : doomed) {
        debugLog("embedded runtime: removing unused %s", path.c_str());
        if (!aside) {
            platform::removeTree(path.c_str());
            continue;
        }
        const ByteString moved = withPid(path, ".old");
        if (platform::renameDirectory(path.c_str(), moved.c_str()).ok()) platform::removeTree(moved.c_str());
    }
}

// A launch holds <copy>/.hux-start<pid> from the moment it takes the copy
// until the application's main method is called. A marker whose holder is
// gone belongs to a start that died before main (a crash while the virtual
// machine came up, which a damaged library causes): the next launch checks
// the copy's contents before it trusts it.
constexpr std::string_view kStartMarkerName = ".hux-start";

platform::LiveMarker& startMarker() {
    static NeverDestroyed<platform::LiveMarker> marker;
    return *marker;
}

void holdStartMarker(const ByteString& home, char separator) {
    // Without the marker a crash goes unnoticed; the copy is still used.
    if (!startMarker().hold(withPid(joined(home, kStartMarkerName, separator), "").c_str()))
        debugLog("embedded runtime %s: no start marker", home.c_str());
}

// The markers of starts from the copy at `home` that died before main.
std::vector<ByteString> abandonedStarts(const ByteString& home, char separator) {
    std::vector<ByteString> found;
    ByteString pattern = joined(home, kStartMarkerName, separator);
    pattern.push('*');
    platform::DirLister lister;
    if (!lister.open(pattern.c_str())) return found;
    platform::DirEntry entry;
    while (lister.next(entry)) {
        const ByteString marker = joined(home, entry.name.view(), separator);
        if (!entry.isDirectory && platform::isAbandonedMarker(marker.c_str())) found.push_back(marker);
    }
    return found;
}

// The CRC-32 of the file at `path`; false when it cannot be read whole.
bool fileCrc(const ByteString& path, uint64_t size, std::vector<uint8_t>& buffer, uint32_t& crc) {
    platform::InputFile file;
    if (!file.open(path.c_str()) || file.size() != static_cast<int64_t>(size)) return false;
    crc = static_cast<uint32_t>(crc32(0, nullptr, 0));
    for (uint64_t at = 0; at < size;) {
        const size_t n = static_cast<size_t>(size - at < buffer.size() ? size - at : buffer.size());
        if (!file.readAt(static_cast<int64_t>(at), buffer.data(), n)) return false;
        crc = static_cast<uint32_t>(crc32(crc, buffer.data(), static_cast<uInt>(n)));
        at += n;
    }
    return true;
}

// Whether every file of the copy has the contents the packer recorded: the
// CRC-32 of its archive entry (the entry of the file a link leads to).
bool contentsMatch(const LaunchConfig& config, const RuntimeIndex& index, const ByteString& home, char separator) {
    ZipReader reader;
    if (!openPayload(config, reader)) return false;
    std::unordered_map<std::string_view, uint32_t> recorded;
    for (int32_t i = 0; i < reader.entryCount(); ++i) {
        const ZipEntry& e = reader.entry(i);
        const std::string_view name(e.name, static_cast<size_t>(e.nameLength));
        if (name.substr(0, kRuntimeEntryPrefix.size()) == kRuntimeEntryPrefix)
            recorded.emplace(name.substr(kRuntimeEntryPrefix.size()), e.crc);
    }
    // A Zstandard entry's CRC-32 is of the frame; the index holds the file's.
    for (const RuntimeIndex::File& f : index.files)
        if (f.zstd) recorded[f.path] = f.crc;
    std::vector<uint8_t> buffer(1 << 20);
    for (const RuntimeIndex::File& f : index.files) {
        const auto found = recorded.find(f.linkTo.empty() ? f.path : f.linkTo);
        uint32_t crc = 0;
        if (found == recorded.end() || !fileCrc(joined(home, f.path, separator), f.size, buffer, crc) ||
            crc != found->second) {
            debugLog("embedded runtime %s: %s is damaged", home.c_str(), f.path.c_str());
            return false;
        }
    }
    return true;
}

// Test hook: HUX_TEST_UNPACK_PAUSE=<seconds> stops an unpack half way, after
// saying so on standard output, so that a test can end the process there.
void pauseForTesting() {
    ByteString value;
    if (!platform::getEnv("HUX_TEST_UNPACK_PAUSE", value) || value.empty()) return;
    std::fprintf(stdout, "hux: test: unpack paused\n");
    std::fflush(stdout);
    platform::sleepMs(std::atoi(value.c_str()) * 1000);
}

// One thread's share of an unpack: files of the index written from the
// payload into the tree, with the thread's own reader.
struct UnpackShare {
    const LaunchConfig* config = nullptr;
    const ByteString* tree = nullptr;
    char separator = '/';
    std::vector<const RuntimeIndex::File*> files;
    // Every stored file of the index by path: what a link leads to.
    const std::unordered_map<std::string_view, const RuntimeIndex::File*>* stored = nullptr;
    bool pauses = false;  // the test hook stops this share half way
    bool ok = false;
    std::string failure;
};

bool writeShare(UnpackShare& share) {
    ZipReader reader;
    if (!openPayload(*share.config, reader)) {
        share.failure = "the executable's archive cannot be read";
        return false;
    }
    std::unordered_map<std::string_view, int32_t> entries;
    for (int32_t i = 0; i < reader.entryCount(); ++i) {
        const ZipEntry& e = reader.entry(i);
        const std::string_view name(e.name, static_cast<size_t>(e.nameLength));
        if (name.substr(0, kRuntimeEntryPrefix.size()) == kRuntimeEntryPrefix)
            entries.emplace(name.substr(kRuntimeEntryPrefix.size()), i);
    }
    // Not zero-filled: every byte is written before it is read. The files
    // come largest first, so it is allocated once.
    std::unique_ptr<uint8_t[]> buffer;
    ZstdDecoder decoder;
    size_t capacity = 0;
    size_t done = 0;
    for (const RuntimeIndex::File* f : share.files) {
        // A link is written as a copy of the file it leads to, which every
        // system can create.
        const auto found = entries.find(f->linkTo.empty() ? f->path : f->linkTo);
        // The index's own check makes every link lead to a stored file.
        const auto target = share.stored->find(f->linkTo.empty() ? f->path : f->linkTo);
        if (target == share.stored->end()) {
            share.failure = "the executable's runtime image lacks " + f->path;
            return false;
        }
        const RuntimeIndex::File& stored = *target->second;
        if (found == entries.end() || (!stored.zstd && reader.entry(found->second).size != f->size) ||
            !(stored.zstd ? zstdSupported() : reader.canRead(found->second))) {
            share.failure = "the executable's runtime image lacks " + f->path;
            return false;
        }
        const auto size = static_cast<size_t>(f->size);
        const ByteString path = joined(*share.tree, f->path, share.separator);
        platform::Status written;
        if (stored.zstd) {
            // Decoded a piece at a time straight into the new file.
            platform::NewFile file;
            written = file.create(path.c_str(), f->executable);
            const bool decoded =
                written && decoder.decode(reader, found->second, size, [&](const uint8_t* bytes, size_t count) {
                    written = file.append(bytes, count);
                    return written.ok();
                });
            if (written && !decoded) {
                share.failure = "the executable's runtime image is damaged at " + f->path;
                return false;
            }
            if (written) written = file.finish();
        } else {
            if (size > capacity) {
                buffer.reset(new (std::nothrow) uint8_t[size]);
                capacity = buffer ? size : 0;
            }
            if (!buffer && size > 0) {
                share.failure = "not enough memory to unpack " + f->path;
                return false;
            }
            if (!reader.readEntry(found->second, buffer.get())) {
                share.failure = "the executable's runtime image is damaged at " + f->path;
                return false;
            }
            written = platform::writeNewFile(path.c_str(), buffer.get(), size, f->executable);
        }
        if (!written) {
            share.failure = written.message();
            return false;
        }
        if (share.pauses && ++done == (share.files.size() + 1) / 2) pauseForTesting();
    }
    return true;
}

int unpackThread(void* argument) {
    UnpackShare& share = *static_cast<UnpackShare*>(argument);
    share.ok = writeShare(share);
    return 0;
}

// Writes every file of the index from the payload into `tree`: the
// directories first, then the files in two shares of about equal bytes, one
// on a second thread (inflating is most of a first launch's time).
bool unpackInto(const LaunchConfig& config, const RuntimeIndex& index, const ByteString& tree, char separator,
                std::string& failure) {
    std::unordered_set<std::string> made;
    for (const RuntimeIndex::File& f : index.files) {
        for (size_t slash = f.path.find('/'); slash != std::string::npos; slash = f.path.find('/', slash + 1)) {
            const std::string parent = f.path.substr(0, slash);
            if (!made.insert(parent).second) continue;
            const platform::Status created = platform::makePrivateDirectory(joined(tree, parent, separator).c_str());
            if (!created) {
                failure = created.message();
                return false;
            }
        }
    }
    std::vector<const RuntimeIndex::File*> bySize;
    for (const RuntimeIndex::File& f : index.files) bySize.push_back(&f);
    std::stable_sort(bySize.begin(), bySize.end(),
                     [](const RuntimeIndex::File* a, const RuntimeIndex::File* b) { return a->size > b->size; });
    UnpackShare shares[2];
    uint64_t bytes[2] = {0, 0};
    for (const RuntimeIndex::File* f : bySize) {
        const int lighter = bytes[1] < bytes[0] ? 1 : 0;
        shares[lighter].files.push_back(f);
        bytes[lighter] += f->size;
    }
    std::unordered_map<std::string_view, const RuntimeIndex::File*> stored;
    for (const RuntimeIndex::File& f : index.files)
        if (f.linkTo.empty()) stored.emplace(f.path, &f);
    for (UnpackShare& share : shares) {
        share.stored = &stored;
        share.config = &config;
        share.tree = &tree;
        share.separator = separator;
    }
    shares[0].pauses = true;
    platform::Thread second;
    const bool parallel = second.start(unpackThread, &shares[1], 256 * 1024, false).ok();
    shares[0].ok = writeShare(shares[0]);
    if (parallel)
        second.join();
    else
        unpackThread(&shares[1]);
    for (const UnpackShare& share : shares) {
        if (!share.ok) {
            failure = share.failure;
            return false;
        }
    }
    const std::string complete = runtimeCompletionText(index);
    const platform::Status written = platform::writeNewPrivateFile(
        joined(tree, kRuntimeCompleteName, separator).c_str(), complete.data(), complete.size());
    if (!written) {
        failure = written.message();
        return false;
    }
    return true;
}

}  // namespace

bool payloadCarriesRuntime(const LaunchConfig& config) { return readPayload(config).carries; }

namespace {

// The copy ready for use, as embeddedRuntimeHome describes; `checkContents`
// checks a complete copy's contents too, and `unpacked` says whether it was
// unpacked anew.
ByteString readyCopy(const LaunchConfig& config, bool checkContents, bool& unpacked, ByteString& failure) {
    failure.clear();
    unpacked = false;
    const PayloadRuntime& payload = readPayload(config);
    if (!payload.carries) return {};
    if (!payload.indexError.empty()) {
        failure.assign("the executable's runtime image is damaged: " + payload.indexError);
        return {};
    }
    const RuntimeIndex& index = payload.index;
    platform::Result<ByteString> cache = platform::userCacheDirectory();
    if (!cache) {
        failure.assign("no private cache directory of the user's own to unpack the runtime into: ");
        failure.append(cache.status().text());
        return {};
    }
    ByteString runtimes = std::move(cache.value());
    const char separator = runtimes.back();
    runtimes.append("runtimes");
    if (!platform::makePrivateDirectory(runtimes.c_str())) {
        failure.assign("cannot unpack the runtime: '");
        failure.append(runtimes);
        failure.append("' is not a private directory of the user's own");
        return {};
    }
    const ByteString home = joined(runtimes, index.hash, separator);
    if (platform::pathExists(home.c_str())) {
        bool ready = isComplete(home, index, separator);
        const std::vector<ByteString> crashed = ready ? abandonedStarts(home, separator) : std::vector<ByteString>();
        if (ready && (checkContents || !crashed.empty())) {
            debugLog("embedded runtime %s: %s, checking its contents", home.c_str(),
                     checkContents ? "its library does not load" : "a start died before main");
            ready = contentsMatch(config, index, home, separator);
        }
        for (const ByteString& marker : crashed) platform::removeFile(marker.c_str());
        if (ready) {
            markUsed(home, separator);
            debugLog("embedded runtime %s: ready", home.c_str());
            holdStartMarker(home, separator);
            return home;
        }
        debugLog("embedded runtime %s: incomplete or changed, unpacking it again", home.c_str());
        const ByteString aside = withPid(home, ".old");
        if (platform::renameDirectory(home.c_str(), aside.c_str())) {
            platform::removeTree(aside.c_str());
        } else if (platform::pathExists(home.c_str())) {
            failure.assign("cannot replace the damaged runtime at '");
            failure.append(home);
            failure.append("'");
            return {};
        }
    }
    const int64_t room = platform::freeBytes(runtimes.c_str());
    const int64_t needed = static_cast<int64_t>(index.totalBytes) + kFreeMargin;
    if (room >= 0 && room < needed) {
        char text[160];
        std::snprintf(text, sizeof text, "' (%.1f MB free, %.1f MB needed)", static_cast<double>(room) / 1e6,
                      static_cast<double>(needed) / 1e6);
        failure.assign("not enough room to unpack the runtime into '");
        failure.append(runtimes);
        failure.append(text);
        return {};
    }
    const ByteString tree = withPid(home, ".tmp");
    platform::removeTree(tree.c_str());  // left by a process of this number that died
    std::string why;
    debugLog("embedded runtime: unpacking %lu files (%llu bytes) into %s",
             static_cast<unsigned long>(index.files.size()), static_cast<unsigned long long>(index.totalBytes),
             tree.c_str());
    if (const platform::Status created = platform::makePrivateDirectory(tree.c_str()); !created) {
        why = created.message();
    } else if (unpackInto(config, index, tree, separator, why)) {
        const platform::Status renamed = platform::renameDirectory(tree.c_str(), home.c_str());
        if (renamed) {
            removeUnused(runtimes, index.hash, separator);
            holdStartMarker(home, separator);
            unpacked = true;
            return home;
        }
        // Another launch published the same image first.
        platform::removeTree(tree.c_str());
        if (isComplete(home, index, separator)) {
            holdStartMarker(home, separator);
            return home;
        }
        why = renamed.message();
    }
    platform::removeTree(tree.c_str());
    failure.assign("cannot unpack the runtime into '");
    failure.append(runtimes);
    failure.append("': ");
    failure.append(why);
    return {};
}

}  // namespace

ByteString embeddedRuntimeHome(const LaunchConfig& config, ByteString& failure) {
    bool unpacked = false;
    return readyCopy(config, false, unpacked, failure);
}

ByteString repairedRuntimeHome(const LaunchConfig& config, ByteString& failure) {
    bool unpacked = false;
    const ByteString home = readyCopy(config, true, unpacked, failure);
    return unpacked ? home : ByteString();
}

void embeddedRuntimeStartEnded() { startMarker().drop(); }

void resetEmbeddedRuntimeForTesting() {
    payloadRuntime() = PayloadRuntime{};
    startMarker().drop();
}

}  // namespace hux
