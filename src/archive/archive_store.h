// The read-only store over the launcher's appended zip archive and the
// archives nested in it. Names in the tree are joined with "!":
// 'libs/a.jar!org/x/Y.class' names an entry of the nested archive stored as
// 'libs/a.jar'. Nested archives are searched in directory order (the packer
// writes them in class-path order). They are opened with their parent and stay open:
// a stored one is read where its bytes already lie (the mapped file or the
// parent's buffer), a compressed one is inflated into a buffer of its own as
// far as the resident limit allows.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "archive/zip_reader.h"
#include "common/byte_string.h"
#include "platform/mutex.h"

namespace hux {

// Where an entry read puts its bytes. The store calls, in this order:
// create(size) once the entry is found (false: no result can be made, the
// read yields nothing); when size > 0, elements() for the destination of
// exactly `size` bytes (null: as for a failed read); then commit(true) when
// every byte was produced or commit(false) when the entry could not be read to
// its end, in which case the array made by create must be dropped. A failed
// create is not followed by commit. After commit(false) the store may look
// further and call create again. A JNI implementation maps these to
// NewByteArray, GetByteArrayElements, and ReleaseByteArrayElements with mode 0
// (success) or JNI_ABORT followed by DeleteLocalRef (failure).
class ByteArraySink {
public:
    virtual ~ByteArraySink() = default;
    virtual bool create(int32_t size) = 0;
    virtual uint8_t* elements() = 0;
    virtual void commit(bool ok) = 0;
};

// Told the full tree name of an entry whose bytes do not match the
// archive's record of them ("lib/a.jar!org/x/Y.class"; "lib/a.jar" for a
// nested archive that cannot be opened for that reason). The launcher's
// handler ends the process with the "damaged" line; without a handler, or
// when it returns, such an entry reads as not found.
using DamageHandler = void (*)(std::string_view treeName);
// Sets the process's handler; null for none (the default).
void setDamageHandler(DamageHandler handler);
// Calls the handler, if any, with `archive` ("" for the root) and `entry`
// joined by "!".
void reportDamagedEntry(std::string_view archive, std::string_view entry);

// Receives the full tree name of every match of a resource search.
using ResourceCallback = std::function<void(const ByteString& fullName)>;

class ArchiveStore {
public:
    // The nesting allowance of the root store: archives inside it and archives
    // inside those are opened, nothing deeper.
    static constexpr int32_t kRootAllowance = 2;

    explicit ArchiveStore(int32_t allowance = kRootAllowance);
    ArchiveStore(const ArchiveStore&) = delete;
    ArchiveStore& operator=(const ArchiveStore&) = delete;
    // Deletes the child stores depth first, closes the reader, frees the bytes.
    ~ArchiveStore();

    // Open the store on a file or on a malloc'd buffer whose ownership passes
    // to the store (freed with free, also when the open fails). A source that
    // is not a readable zip archive leaves the store empty; nothing is reported.
    // A store is opened once.
    void openFromFile(const char* path);
    void openFromMemory(uint8_t* bytes, int32_t size);
    // Opens the store on bytes it does not own, which outlive it (a stored
    // nested archive inside its parent's mapping or buffer), or on a source
    // over such bytes.
    void openInPlace(const uint8_t* bytes, int64_t size);
    void openInPlace(std::unique_ptr<ZipSource> source);

    // The bytes that compressed nested archives of this store and its
    // descendants may take in memory once inflated, in all; set before
    // opening. Nested archives that would exceed it stay closed (and are
    // listed by forEachUnopened). Stored ones cost nothing.
    static constexpr int64_t kDefaultResidentLimit = int64_t{1} << 30;
    void setResidentLimit(int64_t bytes) { residentLimit_ = bytes; }

    // Calls `report` with the full tree name and the reason of every nested
    // archive of this store and its descendants that has bytes but could not
    // be opened (too large to inflate, damaged, unsupported).
    using UnopenedCallback = std::function<void(std::string_view name, std::string_view reason)>;
    void forEachUnopened(const UnopenedCallback& report, std::string_view prefix = {}) const;

    // Entry number of the entry whose name equals `name` in index order, or
    // -1. A name that is no entry finds the directory entry "name/", as the
    // JDK's zip reader does (not for class files).
    int32_t findEntry(const char* name, int32_t length) const;

    // How deep class and resource lookups go: this archive and the archives
    // directly inside it. What lies deeper is reachable only by an explicit
    // "!" path, for classes and resources alike.
    static constexpr int32_t kLookupDepth = 1;

    // Searches the tree for `name` (see the source for the rules), down to
    // `depth` levels of nested archives. `prefix` is the full tree name of
    // this archive (empty for the root). Without a callback the first match
    // wins and its full tree name goes to `fullName`; with one, every match is
    // reported in tree order and the result says whether there was any.
    bool locateResource(std::string_view name, std::string_view prefix, ByteString& fullName,
                        int32_t depth = kLookupDepth) const;
    bool locateResource(std::string_view name, std::string_view prefix, const ResourceCallback& callback,
                        int32_t depth = kLookupDepth) const;

    // Multi-release archives. Whether this archive has entries in version
    // directories ('META-INF/versions/<N>/...'), known once it is open.
    bool hasVersionDirectories() const { return versionDirectories_; }
    // From this call on, plain names looked up here by locateResource resolve
    // to the entry of the highest version directory from 8 up to `feature`
    // that holds the name, in place of the entry outside the version
    // directories and also where there is no such entry, as the running Java
    // version reads a multi-release jar. Only files in directories named by a
    // version number without leading zeros count; names under 'META-INF/' are
    // never replaced. The first call decides, later ones change nothing.
    // Lookups may run in other threads meanwhile.
    void serveVersions(int32_t feature);
    // Smallest and largest version directory a multi-release archive reads.
    static constexpr int32_t kFirstVersion = 8;
    static constexpr int32_t kLastVersion = 1 << 20;

    // Reads the entry `name` resolves to into `sink`; false (nothing
    // committed) when the name resolves nowhere or the entry cannot be read to
    // its end. With `searchNested`, a plain name not found here is looked for
    // in the nested archives of the next level.
    bool readEntry(ByteArraySink& sink, std::string_view name, bool searchNested);

    // The central-directory record of the entry `name` resolves to under the
    // rules of readEntry, when that entry can be streamed (it may be too
    // large for readEntry); null otherwise.
    const ZipEntry* statEntry(std::string_view name, bool searchNested);

    // A stream over the entry `name` resolves to under the rules of
    // readEntry, of any size; null when there is none or it cannot be
    // streamed. It reads without the entry lock and may be used on any
    // thread while the store lives.
    std::unique_ptr<EntryStream> openStream(std::string_view name, bool searchNested);

    // The archive `path` names: this one for "", a nested one for
    // "libs/a.jar!", one inside that for "libs/a.jar!b.jar!"; null when no
    // open archive has that name.
    const ArchiveStore* archiveAt(std::string_view path) const;

    // Inspection.
    int32_t allowance() const { return allowance_; }
    // The full tree name of this archive: "" for the root, "lib/a.jar" for
    // a nested one.
    std::string_view treeName() const { return treeName_.view(); }
    int32_t entryCount() const { return index_.size(); }
    // Nested archives, in directory order.
    int32_t nestedCount() const { return nestedNames_.size(); }
    std::string_view nestedName(int32_t i) const { return nestedNames_[i].view(); }
    const ArchiveStore* child(int32_t i) const { return children_[i]; }
    ArchiveStore* child(int32_t i) { return children_[i]; }
    const ZipReader& reader() const { return reader_; }

private:
    struct NameRef {
        const char* data;
        int32_t length;
        std::string_view view() const { return {data, static_cast<size_t>(length)}; }
    };
    struct IndexEntry {
        NameRef name;
        int32_t number;  // position in the central directory
    };

    // An entry of a version directory served for the name that follows the
    // directory ('META-INF/versions/11/' in 'META-INF/versions/11/a/B.class').
    struct VersionedEntry {
        NameRef name;  // the whole entry name
        int32_t directoryLength;
        int32_t version;
        std::string_view directory() const { return name.view().substr(0, static_cast<size_t>(directoryLength)); }
        std::string_view base() const { return name.view().substr(static_cast<size_t>(directoryLength)); }
    };

    struct Unopened {
        int32_t slot;  // in nestedNames_
        std::string reason;
    };

    void buildIndex();
    void refuseNested(std::string reason);
    // The version entry served in place of the plain name `name`, or null.
    const VersionedEntry* servedVersion(std::string_view name) const;
    void openNested();
    // Makes a child store for the nested archive just pushed, named below this one.
    ArchiveStore* newChild(std::string_view name);
    void reportDamage(std::string_view entry) const { reportDamagedEntry(treeName_.view(), entry); }
    int32_t findExact(std::string_view key) const;
    bool locate(std::string_view name, ByteString& path, const ResourceCallback* callback, ByteString* fullName,
                int32_t depth) const;
    // Walks to the entry `name` resolves to and hands it to `found`, which
    // says whether it served; an entry that did not serve lets the walk go on.
    template <class Found>
    bool visitEntry(std::string_view name, bool searchNested, const Found& found);
    bool readFound(ByteArraySink& sink, int32_t number);

    uint8_t* backing_ = nullptr;  // owned, malloc'd; null for a store on a file
    int32_t backingSize_ = 0;
    GrowArray<NameRef> nestedNames_;     // point into the reader's directory bytes
    GrowArray<ArchiveStore*> children_;  // owned; null for an empty slot
    int32_t allowance_;
    ByteString treeName_;
    ZipReader reader_;
    GrowArray<IndexEntry> index_;
    bool versionDirectories_ = false;
    // Sorted by base name, one per name; complete and read-only once
    // versionState_ is kVersionsServed.
    GrowArray<VersionedEntry> versions_;
    std::atomic<int32_t> versionState_{0};
    platform::Mutex entryLock_;
    bool opened_ = false;
    std::vector<Unopened> unopened_;
    int64_t residentLimit_ = kDefaultResidentLimit;
    int64_t residentUsed_ = 0;
    ArchiveStore* budgetOwner_ = this;  // the store whose limit and count apply
};

// The process-wide root: the store over the launcher's own executable, opened
// on first use. Its open is serialised by a process-wide lock, and a failed
// open is never retried.
class RootArchive {
public:
    RootArchive() = default;
    RootArchive(const RootArchive&) = delete;
    RootArchive& operator=(const RootArchive&) = delete;

    // Opens the store on first use, on the path given to setPath (the launcher
    // gives the executable's) or, without one, on the module's own file.
    // Prints one line on standard error for each nested archive that could
    // not be opened ("hux: cannot open the nested jar '<name>': <reason>"), once.
    void ensureOpen();
    // The file ensureOpen opens; set before the first ensureOpen.
    void setPath(const ByteString& path) { path_ = path; }
    bool opened() const { return opened_.load(std::memory_order_acquire) != 0; }
    ArchiveStore& store() { return store_; }

private:
    ArchiveStore store_{ArchiveStore::kRootAllowance};
    std::atomic<int32_t> opened_{0};
    ByteString path_;
};

// The process's root archive, built on first use and never destroyed (natives
// may still read it while the process exits).
RootArchive& rootArchive();
// rootArchive().ensureOpen(): every native that reads the archive calls it first.
void ensureOpen();

// Whether the archive in the file at `path` holds archives (jar or zip
// entries at any depth of its own tree, a carried runtime's own files aside)
// that only the launcher's class loader can serve. Reads the central
// directory alone; true when the file cannot be read as an archive, so that
// the caller keeps the loader.
bool holdsNestedArchives(const char* path);

// The support classes' folder at the top level of every packed archive.
constexpr std::string_view kSupportClassFolder = "com/mordavin/hux/";

// Checks every entry under kSupportClassFolder in the archive of the file at
// `path` to its CRC-32 and the end of its stream. The runtime reads these
// classes from the executable through its own zip reader, which checks
// neither. False, with the entry's name in `damaged`, for the first that
// fails, or for the loader's and the native link's class when the folder
// lacks one (a name changed in the directory); false with `damaged` empty
// when the archive's end record leads to a directory that does not hold
// together; true when the file holds no archive at all (the configuration
// check's to report).
bool supportClassesIntact(const char* path, std::string& damaged);

}  // namespace hux
