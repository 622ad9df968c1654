// The executable's own archive, opened once for the process, and the checks
// the launcher makes on an archive file before the virtual machine reads it.
#include "archive/archive_store.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/never_destroyed.h"
#include "common/runtime_index.h"
#include "common/zip_format.h"
#include "platform/mutex.h"
#include "platform/process.h"

namespace hux {

namespace {

platform::Mutex& openLock() {
    static NeverDestroyed<platform::Mutex> lock;
    return *lock;
}

}  // namespace

void RootArchive::ensureOpen() {
    if (opened_.load(std::memory_order_acquire) != 0) return;
    platform::MutexLock lock(openLock());
    if (opened_.load(std::memory_order_relaxed) != 0) return;
    // The launcher sets the executable's path; without one (tests, a library
    // load outside a launch) the module's own file serves.
    const ByteString path = path_.empty() ? platform::moduleFileName().value() : path_;
    // A failed open leaves the store empty and is never retried.
    if (!path.empty()) store_.openFromFile(path.c_str());
    // Classes and resources of a nested jar that stays closed are not found:
    // the user learns which jar and why, once, rather than from a trace.
    store_.forEachUnopened([](std::string_view name, std::string_view reason) {
        std::fprintf(stderr, "hux: cannot open the nested jar '%.*s': %.*s\n", static_cast<int>(name.size()),
                     name.data(), static_cast<int>(reason.size()), reason.data());
    });
    std::fflush(stderr);
    opened_.store(1, std::memory_order_release);
}

// The root lives until the process is gone: when the application calls
// System.exit, Java threads may still be inside a native that reads the store
// while exit-time cleanup runs, so tearing it down then could crash the exit.
RootArchive& rootArchive() {
    static NeverDestroyed<RootArchive> root;
    return *root;
}

void ensureOpen() { rootArchive().ensureOpen(); }

bool supportClassesIntact(const char* path, std::string& damaged) {
    auto source = std::make_unique<FileSource>();
    ZipReader reader;
    if (!path || !source->open(path)) return true;
    // An end record whose directory does not hold together hides every
    // class from the machine's reader too: the directory itself is damaged.
    if (!reader.open(std::move(source))) {
        damaged.clear();
        return !reader.lastOpenFoundEnd();
    }
    auto nameOf = [&](int32_t i) {
        const ZipEntry& e = reader.entry(i);
        return std::string_view(e.name, static_cast<size_t>(e.nameLength));
    };
    auto supportClass = [&](int32_t i) {
        return nameOf(i).substr(0, kSupportClassFolder.size()) == kSupportClassFolder;
    };
    // The packer writes the support classes first, one after the other: a
    // name changed in the directory still lies within their run.
    int32_t last = -1;
    for (int32_t i = 0; i < reader.entryCount(); ++i)
        if (supportClass(i)) last = i;
    // The classes every start needs.
    std::string_view needed[] = {"com/mordavin/hux/CarvossClassLoader.class", "com/mordavin/hux/NativeLink.class"};
    std::vector<uint8_t> buffer;
    for (int32_t i = 0; i <= last; ++i) {
        const ZipEntry& e = reader.entry(i);
        bool bad = false;
        if (supportClass(i)) {
            for (std::string_view& n : needed)
                if (n == nameOf(i)) n = {};
            if (reader.canRead(i)) buffer.resize(static_cast<size_t>(e.size));
            bad = !reader.readEntry(i, buffer.data(), &bad) && (bad || !reader.supported(i));
        }
        // The packer writes each name twice: a changed byte in the
        // directory's copy would hide the class from the machine's reader.
        if (bad || !reader.localNameMatches(i)) {
            damaged.assign(nameOf(i));
            return false;
        }
    }
    for (const std::string_view n : needed) {
        if (last >= 0 && !n.empty()) {
            damaged.assign(n);
            return false;
        }
    }
    return true;
}

bool holdsNestedArchives(const char* path) {
    auto source = std::make_unique<FileSource>();
    ZipReader reader;
    if (!path || !source->open(path) || !reader.open(std::move(source))) return true;
    for (int32_t i = 0; i < reader.entryCount(); ++i) {
        const ZipEntry& e = reader.entry(i);
        const std::string_view name(e.name, static_cast<size_t>(e.nameLength));
        // A carried runtime's own archives (lib/jrt-fs.jar) are no application jars.
        if (zip::isArchiveName(name) && name.substr(0, kRuntimeEntryPrefix.size()) != kRuntimeEntryPrefix) return true;
    }
    return false;
}

}  // namespace hux
