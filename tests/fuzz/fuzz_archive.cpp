// Opens arbitrary bytes as an archive store (nested archives included), reads
// every entry of every opened level through the byte-array seam and as a
// stream in uneven pieces, and searches a
// few names, then has the nested archives serve their version directories and
// searches the names those hold; and checks the same bytes as a payload the
// launcher finds whole or damaged.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "archive/archive_store.h"
#include "archive/entry_names.h"
#include "common/payload_format.h"

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
        // A stream opens on the entry a connection reports (a damaged local
        // header may still refuse it), has its size, never produces more, and
        // ends or fails.
        if (const hux::ZipEntry* e = root.statEntry(full, (i & 1) != 0)) {
            std::unique_ptr<hux::EntryStream> stream = root.openStream(full, (i & 1) != 0);
            if (!stream) continue;
            if (stream->size() != e->size) __builtin_trap();
            uint8_t piece[4099];
            uint64_t total = 0;
            for (int step = 0; step < 4096; ++step) {
                const int64_t n = stream->read(piece, 1 + (step * 977) % sizeof piece);
                if (n <= 0) break;
                total += static_cast<uint64_t>(n);
                if (total > e->size) __builtin_trap();
            }
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
    // Multi-release: every first-level archive with version directories
    // serves them (for a feature version the input picks), and the names they
    // hold are searched too; a hit names an entry that exists.
    const int32_t feature = size > 0 ? 8 + data[0] % 24 : 17;
    for (int32_t i = 0; i < store.nestedCount(); ++i) {
        hux::ArchiveStore* child = store.child(i);
        if (!child || !child->hasVersionDirectories()) continue;
        child->serveVersions(feature);
        for (int32_t k = 0; k < child->reader().entryCount() && names.size() < 64; ++k) {
            const std::string name = entryName(*child, k);
            const size_t slash = name.find('/', 18);
            if (name.rfind("META-INF/versions/", 0) == 0 && slash != std::string::npos) {
                names.push_back(name.substr(slash + 1));
                names.push_back(std::string(store.nestedName(i)) + "!" + name.substr(slash + 1));
            }
        }
    }
    for (const std::string& n : names) {
        hux::ByteString full;
        if (store.locateResource(n, "", full)) {
            const std::string_view f = full.view();
            const size_t bang = f.find('!');
            if (bang != std::string_view::npos) {
                const std::string_view inner = f.substr(bang + 1);
                bool exists = false;
                for (int32_t i = 0; i < store.nestedCount() && !exists; ++i)
                    exists = store.child(i) && hux::entryNamesEqual(store.nestedName(i), f.substr(0, bang)) &&
                             store.child(i)->findEntry(inner.data(), static_cast<int32_t>(inner.size())) >= 0;
                if (!exists && inner.find('!') == std::string_view::npos) __builtin_trap();
            }
        }
        int matches = 0;
        store.locateResource(n, "", [&](const hux::ByteString&) { ++matches; });
        hux::ByteString normalized(n);
        hux::normalizeResourceName(normalized);
        store.readEntry(sink, normalized.view(), true);
    }
    // The launcher's check that its payload archive is whole: an archive
    // found whole for one length is not whole for its neighbours (its first
    // byte must sit exactly where the length puts it).
    const uint32_t lengths[] = {
        static_cast<uint32_t>(size), static_cast<uint32_t>(size - (size ? data[0] : 0)),
        size >= 4 ? static_cast<uint32_t>(data[0] | data[1] << 8 | data[2] << 16 | static_cast<uint32_t>(data[3]) << 24)
                  : 0u};
    for (const uint32_t length : lengths) {
        const auto whole = [&](uint32_t n) { return hux::payloadArchiveIntact(data, static_cast<int64_t>(size), n); };
        if (whole(length) && (whole(length + 1) || (length > 0 && whole(length - 1)))) __builtin_trap();
    }
    return 0;
}
