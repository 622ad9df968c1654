// Opens arbitrary bytes as an archive store (nested archives included), reads
// every entry of every opened level through the byte-array seam and searches a
// few names.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "archive/archive_store.h"
#include "archive/entry_names.h"

namespace {

// Keeps one input's work bounded: no array beyond 4 MiB, 16 MiB in all.
class BoundedSink : public hux::ByteArraySink {
public:
    bool create(int32_t size) override {
        if (size < 0 || size > (4 << 20) || spent_ + size > (16 << 20)) return false;
        spent_ += size;
        bytes_.assign(static_cast<size_t>(size), 0xA5);
        open_ = true;
        return true;
    }
    uint8_t* elements() override {
        if (!open_) __builtin_trap();
        return bytes_.data();
    }
    void commit(bool ok) override {
        if (!open_) __builtin_trap();  // commit without create
        open_ = false;
        if (!ok) bytes_.clear();
    }

private:
    std::vector<uint8_t> bytes_;
    int64_t spent_ = 0;
    bool open_ = false;
};

std::string entryName(const hux::ArchiveStore& store, int32_t i) {
    const hux::ZipEntry& e = store.reader().entry(i);
    return std::string(e.name, static_cast<size_t>(e.nameLength));
}

void readAll(hux::ArchiveStore& root, const hux::ArchiveStore& store, const std::string& prefix, BoundedSink& sink) {
    for (int32_t i = 0; i < store.reader().entryCount(); ++i) {
        const std::string name = entryName(store, i);
        const std::string full = prefix.empty() ? name : prefix + "!" + name;
        root.readEntry(sink, full, (i & 1) != 0);
        // A record handed out for a connection's size must be one a read accepts.
        if (const hux::ZipEntry* e = root.statEntry(full, (i & 1) != 0)) {
            if (e->size > static_cast<uint64_t>(INT32_MAX)) __builtin_trap();
        }
    }
    for (int32_t i = 0; i < store.nestedCount(); ++i) {
        if (!store.child(i)) continue;
        const std::string name(store.nestedName(i));
        readAll(root, *store.child(i), prefix.empty() ? name : prefix + "!" + name, sink);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (16u << 20)) return 0;
    auto* copy = static_cast<uint8_t*>(std::malloc(size ? size : 1));
    if (size) std::memcpy(copy, data, size);
    hux::ArchiveStore store(hux::ArchiveStore::kRootAllowance);
    store.setResidentLimit(32 << 20);
    store.openFromMemory(copy, static_cast<int32_t>(size));

    BoundedSink sink;
    readAll(store, store, "", sink);

    std::vector<std::string> names = {"a", "!a", "META-INF\\MANIFEST.MF", "x!y!z", "..\\a\\..\\b"};
    if (store.reader().entryCount() > 0) names.push_back(entryName(store, store.reader().entryCount() - 1));
    if (store.nestedCount() > 0) names.push_back(std::string(store.nestedName(0)) + "!a");
    for (const std::string& n : names) {
        hux::ByteString full;
        store.locateResource(n, "", full);
        int matches = 0;
        store.locateResource(n, "", [&](const hux::ByteString&) { ++matches; });
        hux::ByteString normalized(n);
        hux::normalizeResourceName(normalized);
        store.readEntry(sink, normalized.view(), true);
    }
    return 0;
}
