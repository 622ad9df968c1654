#include "archive/archive_store.h"

#include <algorithm>
#include <string>
#include <cstring>
#include <cstdlib>
#include <new>

#include "archive/entry_names.h"
#include "common/utf.h"
#include "common/zip_format.h"
#include "platform/mutex.h"

namespace hux {

namespace {

constexpr std::string_view kVersionsDirectory = "META-INF/versions/";

enum : int32_t { kVersionsNotServed = 0, kVersionsBuilding = 1, kVersionsServed = 2 };

// The version of an entry in a version directory: the number after
// 'META-INF/versions/' when it is written without leading zeros and followed
// by '/', with `directoryLength` the length up to and including that '/';
// 0 for any other name. Numbers above kLastVersion count as kLastVersion + 1.
int32_t versionOf(std::string_view name, int32_t& directoryLength) {
    if (name.size() <= kVersionsDirectory.size() || name.substr(0, kVersionsDirectory.size()) != kVersionsDirectory)
        return 0;
    const size_t start = kVersionsDirectory.size();
    if (name[start] < '1' || name[start] > '9') return 0;
    int64_t version = 0;
    for (size_t i = start; i < name.size(); ++i) {
        const char c = name[i];
        if (c == '/') {
            directoryLength = static_cast<int32_t>(i + 1);
            return static_cast<int32_t>(std::min<int64_t>(version, ArchiveStore::kLastVersion + 1));
        }
        if (c < '0' || c > '9') return 0;
        if (version <= ArchiveStore::kLastVersion) version = version * 10 + (c - '0');
    }
    return 0;
}

// Whether a requested name lies under META-INF, whose names are never versioned.
bool isMetaInfName(std::string_view name) {
    constexpr std::string_view kMetaInf = "META-INF";
    return name.size() > kMetaInf.size() && name.substr(0, kMetaInf.size()) == kMetaInf &&
           (name[kMetaInf.size()] == '/' || name[kMetaInf.size()] == '\\');
}

}  // namespace

ArchiveStore::ArchiveStore(int32_t allowance) : allowance_(allowance) {}

ArchiveStore::~ArchiveStore() {
    for (ArchiveStore* child : children_) delete child;
    reader_.close();
    std::free(backing_);
}

void ArchiveStore::openFromFile(const char* path) {
    if (opened_) return;
    opened_ = true;
    auto source = std::make_unique<FileSource>();
    if (!path || !source->open(path) || !reader_.open(std::move(source))) return;
    buildIndex();
    if (allowance_ > 0) openNested();
}

void ArchiveStore::openFromMemory(uint8_t* bytes, int32_t size) {
    if (opened_) {
        std::free(bytes);
        return;
    }
    opened_ = true;
    backing_ = bytes;
    backingSize_ = bytes && size > 0 ? size : 0;
    if (!reader_.open(std::make_unique<MemorySource>(backing_, static_cast<size_t>(backingSize_)))) {
        // Nothing can refer to the bytes of an unreadable archive.
        std::free(backing_);
        backing_ = nullptr;
        backingSize_ = 0;
        return;
    }
    buildIndex();
    if (allowance_ > 0) openNested();
}

void ArchiveStore::openInPlace(const uint8_t* bytes, int64_t size) {
    if (opened_) return;
    if (!bytes || size <= 0) {
        opened_ = true;
        return;
    }
    openInPlace(std::make_unique<MemorySource>(bytes, static_cast<size_t>(size)));
}

void ArchiveStore::openInPlace(std::unique_ptr<ZipSource> source) {
    if (opened_) return;
    opened_ = true;
    if (!source || !reader_.open(std::move(source))) return;
    buildIndex();
    if (allowance_ > 0) openNested();
}

void ArchiveStore::buildIndex() {
    const int32_t count = reader_.entryCount();
    index_.resize(count);
    for (int32_t i = 0; i < count; ++i) {
        const ZipEntry& e = reader_.entry(i);
        index_[i] = IndexEntry{NameRef{e.name, e.nameLength}, i};
        if (!versionDirectories_ && e.nameLength > static_cast<int32_t>(kVersionsDirectory.size()) &&
            std::string_view(e.name, kVersionsDirectory.size()) == kVersionsDirectory)
            versionDirectories_ = true;
    }
    // Stable, so that of two equal names the one earlier in the directory wins.
    std::stable_sort(index_.begin(), index_.end(), [](const IndexEntry& a, const IndexEntry& b) {
        return compareEntryNames(a.name.view(), b.name.view()) < 0;
    });
}

namespace {

std::string mebibytes(uint64_t bytes) { return std::to_string((bytes + (1u << 20) - 1) >> 20) + " MiB"; }

}  // namespace

ArchiveStore* ArchiveStore::newChild(std::string_view name) {
    auto* child = new (std::nothrow) ArchiveStore(allowance_ - 1);
    if (!child) {
        refuseNested("not enough memory");
        return nullptr;
    }
    child->budgetOwner_ = budgetOwner_;
    if (!treeName_.empty()) {
        child->treeName_ = treeName_;
        child->treeName_.push('!');
    }
    child->treeName_.append(name);
    children_[children_.size() - 1] = child;
    return child;
}

void ArchiveStore::refuseNested(std::string reason) {
    unopened_.push_back(Unopened{nestedNames_.size() - 1, std::move(reason)});
}

// Nested archives are searched in the order the directory lists them: the
// packer writes jars in class-path order, so the first jar that holds a name
// serves it, as on `java -cp`. One that has bytes but cannot be opened keeps
// an empty slot and its reason, which the root reports once.
void ArchiveStore::openNested() {
    ArchiveStore* owner = budgetOwner_;
    for (int32_t number = 0; number < reader_.entryCount(); ++number) {
        const ZipEntry& e = reader_.entry(number);
        const NameRef name{e.name, e.nameLength};
        if (!zip::isArchiveName(name.view())) continue;
        nestedNames_.push(name);
        children_.push(nullptr);
        if (e.size == 0) continue;  // nothing to open
        if (!reader_.canStream(number)) {
            if (reader_.supported(number)) reportDamage(name.view());
            refuseNested(e.flags & 1                      ? "it is encrypted"
                         : e.method != 0 && e.method != 8 ? "it is compressed with method " + std::to_string(e.method) +
                                                                ", which the launcher cannot read"
                                                          : "its entry in the archive is damaged");
            continue;
        }
        // A stored archive whose bytes are already in memory (the mapped
        // executable, or a parent's buffer) is used where it is, whatever its
        // size: no copy, no resident cost, and its entries still check their
        // own CRC-32.
        if (const uint8_t* inPlace = reader_.storedData(number)) {
            ArchiveStore* child = newChild(name.view());
            if (!child) continue;
            child->openInPlace(reader_.sourceInside(inPlace, static_cast<int64_t>(e.size)));
            // Its bytes are not checked as a whole (that would read every
            // page): bytes that end like an archive but whose directory does
            // not hold together are damage (a file merely named like an
            // archive is not), and its entries check their own CRC-32.
            if (!child->reader_.isOpen() && child->reader_.lastOpenFoundEnd()) reportDamage(name.view());
            continue;
        }
        // A compressed one is inflated into memory, within the owner's budget
        // (and within a buffer's limit).
        const uint64_t budget =
            static_cast<uint64_t>(std::max<int64_t>(0, owner->residentLimit_ - owner->residentUsed_));
        if (e.size > budget || e.size > static_cast<uint64_t>(INT32_MAX)) {
            std::string reason = "it is compressed and inflates to " + mebibytes(e.size) + ", more than the " +
                                 mebibytes(static_cast<uint64_t>(std::max<int64_t>(0, owner->residentLimit_))) +
                                 " compressed nested jars may take in memory";
            if (owner->residentUsed_ > 0) reason += " (" + mebibytes(owner->residentUsed_) + " taken already)";
            refuseNested(reason + "; store it uncompressed");
            continue;
        }
        const auto size = static_cast<int32_t>(e.size);
        auto* bytes = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(size)));
        if (!bytes) {
            refuseNested("not enough memory to inflate its " + mebibytes(e.size));
            continue;
        }
        // No entry lock: opening runs under the open lock before any reader
        // can reach this store.
        bool damaged = false;
        if (!reader_.readEntry(number, bytes, &damaged)) {
            std::free(bytes);
            if (damaged) reportDamage(name.view());
            refuseNested("its compressed data is damaged");
            continue;
        }
        ArchiveStore* child = newChild(name.view());
        if (!child) {
            std::free(bytes);
            continue;
        }
        owner->residentUsed_ += size;
        child->openFromMemory(bytes, size);
    }
}

void ArchiveStore::forEachUnopened(const UnopenedCallback& report, std::string_view prefix) const {
    auto fullName = [&](int32_t slot) {
        std::string name(prefix);
        if (!name.empty()) name += '!';
        name += nestedNames_[slot].view();
        return name;
    };
    for (const Unopened& u : unopened_) report(fullName(u.slot), u.reason);
    for (int32_t i = 0; i < children_.size(); ++i)
        if (children_[i]) children_[i]->forEachUnopened(report, fullName(i));
}

int32_t ArchiveStore::findExact(std::string_view key) const {
    const IndexEntry* it = std::lower_bound(
        index_.begin(), index_.end(), key,
        [](const IndexEntry& e, std::string_view k) { return compareEntryNames(e.name.view(), k) < 0; });
    if (it == index_.end() || !entryNamesEqual(it->name.view(), key)) return -1;
    return it->number;
}

// A name that is not an entry finds the directory entry of that name, as the
// JDK's zip reader finds "dir/" for "dir". Class files are left out: a
// directory named like one is no class, and class lookups miss often.
int32_t ArchiveStore::findEntry(const char* name, int32_t length) const {
    if (length < 0) return -1;
    const std::string_view key(name, static_cast<size_t>(length));
    const int32_t exact = findExact(key);
    constexpr std::string_view kClassSuffix = ".class";
    if (exact >= 0 || key.empty() || key.back() == '/' || key.back() == '\\' ||
        (key.size() >= kClassSuffix.size() && key.substr(key.size() - kClassSuffix.size()) == kClassSuffix))
        return exact;
    char buffer[256];
    if (key.size() < sizeof buffer) {
        std::memcpy(buffer, key.data(), key.size());
        buffer[key.size()] = '/';
        return findExact(std::string_view(buffer, key.size() + 1));
    }
    ByteString directory(key);
    directory.push('/');
    return findExact(directory.view());
}

void ArchiveStore::serveVersions(int32_t feature) {
    int32_t expected = kVersionsNotServed;
    if (!versionState_.compare_exchange_strong(expected, kVersionsBuilding, std::memory_order_acq_rel)) return;
    for (const IndexEntry& item : index_) {
        const std::string_view name = item.name.view();
        int32_t directoryLength = 0;
        const int32_t version = versionOf(name, directoryLength);
        if (version < kFirstVersion || version > feature) continue;
        const std::string_view base = name.substr(static_cast<size_t>(directoryLength));
        // Directories are not served, nor names the reader never versions.
        if (base.empty() || name.back() == '/' || isMetaInfName(base)) continue;
        versions_.push(VersionedEntry{item.name, directoryLength, version});
    }
    // By base name, the highest version first; of equal names in one
    // directory the first in the index (the earlier in the central directory).
    std::stable_sort(versions_.begin(), versions_.end(), [](const VersionedEntry& a, const VersionedEntry& b) {
        const int order = compareEntryNames(a.base(), b.base());
        return order != 0 ? order < 0 : a.version > b.version;
    });
    int32_t kept = 0;
    for (int32_t i = 0; i < versions_.size(); ++i) {
        if (kept > 0 && entryNamesEqual(versions_[kept - 1].base(), versions_[i].base())) continue;
        versions_[kept++] = versions_[i];
    }
    versions_.resize(kept);
    versionState_.store(kVersionsServed, std::memory_order_release);
}

const ArchiveStore::VersionedEntry* ArchiveStore::servedVersion(std::string_view name) const {
    if (versionState_.load(std::memory_order_acquire) != kVersionsServed || isMetaInfName(name)) return nullptr;
    const VersionedEntry* it = std::lower_bound(
        versions_.begin(), versions_.end(), name,
        [](const VersionedEntry& e, std::string_view k) { return compareEntryNames(e.base(), k) < 0; });
    return it != versions_.end() && entryNamesEqual(it->base(), name) ? it : nullptr;
}

bool ArchiveStore::locateResource(std::string_view name, std::string_view prefix, ByteString& fullName,
                                  int32_t depth) const {
    ByteString path(prefix);
    return locate(name, path, nullptr, &fullName, depth);
}

bool ArchiveStore::locateResource(std::string_view name, std::string_view prefix, const ResourceCallback& callback,
                                  int32_t depth) const {
    ByteString path(prefix);
    return locate(name, path, &callback, nullptr, depth);
}

// A name without "!" is looked up here and then, depth first, in every nested
// archive. A name "a!rest" goes only into the nested archives stored as 'a',
// with 'rest'. A name starting with "!" is handed down unchanged and so never
// matches. Without a callback the first match wins. `path` holds this
// archive's full tree name on entry and on return; the walk extends it in place.
// Nested archives are entered while `depth` is above 0. In an archive that
// serves its versions, a name held by a version directory matches there.
bool ArchiveStore::locate(std::string_view name, ByteString& path, const ResourceCallback* callback,
                          ByteString* fullName, int32_t depth) const {
    const size_t bang = name.find('!');
    const int32_t pathLength = path.length();
    bool found = false;
    const VersionedEntry* versioned = bang == std::string_view::npos ? servedVersion(name) : nullptr;
    if (versioned ||
        (bang == std::string_view::npos && findEntry(name.data(), static_cast<int32_t>(name.size())) >= 0)) {
        if (pathLength > 0) path.push('!');
        // A version entry differs from the name by its directory only.
        if (versioned) path.append(versioned->directory());
        path.append(name);
        if (!callback) {
            fullName->assign(path.data(), path.length());
            path.resize(pathLength);
            return true;
        }
        (*callback)(path);
        path.resize(pathLength);
        found = true;
    }
    const bool selective = bang != std::string_view::npos && bang >= 1;
    const std::string_view head = selective ? name.substr(0, bang) : std::string_view();
    const std::string_view rest = selective ? name.substr(bang + 1) : name;
    for (int32_t i = 0; depth > 0 && i < children_.size(); ++i) {
        const ArchiveStore* child = children_[i];
        if (!child) continue;
        const std::string_view stored = nestedNames_[i].view();
        if (selective && !entryNamesEqual(stored, head)) continue;
        if (pathLength > 0) path.push('!');
        path.append(stored);
        const bool hit = child->locate(rest, path, callback, fullName, depth - 1);
        path.resize(pathLength);
        if (hit) {
            if (!callback) return true;
            found = true;
        }
    }
    return found;
}

template <class Found>
bool ArchiveStore::visitEntry(std::string_view name, bool searchNested, const Found& found) {
    const size_t bang = name.find('!');
    if (bang != std::string_view::npos) {
        // "a.jar!" is the root of the nested archive 'a.jar': its bytes are
        // those of the archive, so that a class-path scanner that cuts a
        // package's URL down to its jar can read the jar as a stream.
        if (bang >= 1 && bang + 1 == name.size()) {
            const std::string_view head = name.substr(0, bang);
            for (int32_t i = 0; i < nestedNames_.size(); ++i)
                if (entryNamesEqual(nestedNames_[i].view(), head)) return visitEntry(head, false, found);
            return false;
        }
        if (children_.empty() || !(searchNested || bang >= 1)) return false;
        const std::string_view head = name.substr(0, bang);
        const std::string_view rest = bang >= 1 ? name.substr(bang + 1) : name;
        for (int32_t i = 0; i < children_.size(); ++i) {
            ArchiveStore* child = children_[i];
            if (!child) continue;
            if (bang >= 1 && !entryNamesEqual(nestedNames_[i].view(), head)) continue;
            if (child->visitEntry(rest, false, found)) return true;
        }
        return false;
    }

    ByteString normalized(name);
    normalizeEntryName(normalized);
    const int32_t number = findEntry(normalized.data(), normalized.length());
    if (number >= 0) return found(*this, number);
    if (searchNested) {
        for (ArchiveStore* child : children_)
            if (child && child->visitEntry(name, false, found)) return true;
    }
    return false;
}

bool ArchiveStore::readEntry(ByteArraySink& sink, std::string_view name, bool searchNested) {
    return visitEntry(name, searchNested,
                      [&sink](ArchiveStore& store, int32_t number) { return store.readFound(sink, number); });
}

const ArchiveStore* ArchiveStore::archiveAt(std::string_view path) const {
    if (path.empty()) return this;
    const size_t bang = path.find('!');
    if (bang == std::string_view::npos || bang == 0) return nullptr;
    const std::string_view head = path.substr(0, bang);
    for (int32_t i = 0; i < children_.size() && i < nestedNames_.size(); ++i)
        if (children_[i] && entryNamesEqual(nestedNames_[i].view(), head))
            return children_[i]->archiveAt(path.substr(bang + 1));
    return nullptr;
}

const ZipEntry* ArchiveStore::statEntry(std::string_view name, bool searchNested) {
    const ZipEntry* result = nullptr;
    visitEntry(name, searchNested, [&result](ArchiveStore& store, int32_t number) {
        const ZipEntry& e = store.reader_.entry(number);
        if (e.size != 0 && !store.reader_.canStream(number)) return false;
        result = &e;
        return true;
    });
    return result;
}

std::unique_ptr<EntryStream> ArchiveStore::openStream(std::string_view name, bool searchNested) {
    std::unique_ptr<EntryStream> result;
    visitEntry(name, searchNested, [&result](ArchiveStore& store, int32_t number) {
        auto stream = std::unique_ptr<EntryStream>(new (std::nothrow) EntryStream);
        if (!stream || !stream->open(store.reader_, number, true)) return false;
        result = std::move(stream);
        return true;
    });
    return result;
}

// Either the complete bytes are committed or nothing is: an entry that cannot
// be read to its end (encrypted, unknown method, damaged or cut-off stream,
// CRC mismatch, sizes the source cannot hold) resolves like a missing name,
// once a damaged one has been reported.
bool ArchiveStore::readFound(ByteArraySink& sink, int32_t number) {
    const ZipEntry& e = reader_.entry(number);
    if (e.size == 0) {
        // An empty entry still has a stream and a CRC-32 to check.
        bool damaged = false;
        if (!reader_.readEntry(number, nullptr, &damaged)) {
            if (damaged) reportDamage(std::string_view(e.name, static_cast<size_t>(e.nameLength)));
            return false;
        }
        if (!sink.create(0)) return false;
        sink.commit(true);
        return true;
    }
    if (!reader_.canRead(number)) {
        if (reader_.supported(number) && !reader_.canStream(number))
            reportDamage(std::string_view(e.name, static_cast<size_t>(e.nameLength)));
        return false;
    }
    if (!sink.create(static_cast<int32_t>(e.size))) return false;
    uint8_t* out = sink.elements();
    if (!out) {
        sink.commit(false);
        return false;
    }
    bool ok;
    bool damaged = false;
    if (reader_.inMemory()) {
        // Nothing is shared between reads of an archive in memory.
        ok = reader_.readEntry(number, out, &damaged);
    } else {
        platform::MutexLock lock(entryLock_);
        ok = reader_.readEntry(number, out, &damaged);
    }
    sink.commit(ok);
    if (damaged) reportDamage(std::string_view(e.name, static_cast<size_t>(e.nameLength)));
    return ok;
}

// ---- damage ----

namespace {

std::atomic<DamageHandler>& damageHandler() {
    static std::atomic<DamageHandler> handler{nullptr};
    return handler;
}

}  // namespace

void setDamageHandler(DamageHandler handler) { damageHandler().store(handler, std::memory_order_release); }

void reportDamagedEntry(std::string_view archive, std::string_view entry) {
    const DamageHandler handler = damageHandler().load(std::memory_order_acquire);
    if (!handler) return;
    std::string name(archive);
    if (!name.empty()) name += '!';
    name += entry;
    handler(name);
}

}  // namespace hux
