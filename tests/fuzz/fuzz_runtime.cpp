// libFuzzer target: a carried runtime as the launcher meets it in an
// executable. The bytes are read as the index text itself and as an archive
// whose index entry and Zstandard-frame entries are read as an unpack reads
// them. An index that parses holds only plain relative paths, links to stored
// files of their size, a total no file's size exceeds, and formats to text
// that parses back to the same index.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "archive/zip_reader.h"
#include "archive/zstd_entry.h"
#include "common/runtime_index.h"

namespace {

bool sameIndex(const hux::RuntimeIndex& a, const hux::RuntimeIndex& b) {
    if (a.hash != b.hash || a.totalBytes != b.totalBytes || a.files.size() != b.files.size()) return false;
    for (size_t i = 0; i < a.files.size(); ++i) {
        const hux::RuntimeIndex::File &x = a.files[i], &y = b.files[i];
        if (x.path != y.path || x.size != y.size || x.executable != y.executable || x.linkTo != y.linkTo ||
            x.zstd != y.zstd || (x.zstd && x.crc != y.crc))
            return false;
    }
    return true;
}

void checkIndex(std::string_view text) {
    hux::RuntimeIndex index;
    std::string error;
    if (!hux::parseRuntimeIndex(text, index, error)) {
        if (error.empty()) __builtin_trap();
        return;
    }
    for (const hux::RuntimeIndex::File& f : index.files) {
        if (!hux::isPlainRelativePath(f.path) || f.size > index.totalBytes) __builtin_trap();
        if (!f.linkTo.empty() && !hux::isPlainRelativePath(f.linkTo)) __builtin_trap();
    }
    hux::RuntimeIndex again;
    if (!hux::parseRuntimeIndex(hux::formatRuntimeIndex(index), again, error) || !sameIndex(index, again))
        __builtin_trap();
}

// Every stored entry decoded as a frame of a size the input picks (at most
// 1 MiB), whole and in pieces: a damaged or foreign frame is refused, never
// decoded past `size`.
void decodeEntries(hux::ZipReader& reader, const uint8_t* data, size_t size) {
    std::vector<uint8_t> out;
    hux::ZstdDecoder decoder;
    for (int32_t i = 0; i < reader.entryCount() && i < 64; ++i) {
        const hux::ZipEntry& e = reader.entry(i);
        const std::string_view name(e.name, static_cast<size_t>(e.nameLength));
        if (name == hux::kRuntimeIndexName && e.size < (1 << 20)) {
            std::vector<uint8_t> text(static_cast<size_t>(e.size) + 1);
            if (reader.canRead(i) && reader.readEntry(i, text.data()))
                checkIndex(std::string_view(reinterpret_cast<const char*>(text.data()), static_cast<size_t>(e.size)));
        }
        const size_t want = size ? (static_cast<size_t>(data[i % size]) << 12) + static_cast<size_t>(i) : 0;
        out.assign(want + 16, 0x5A);
        const bool whole = hux::readZstdEntry(reader, i, out.data(), want);
        for (size_t k = want; k < out.size(); ++k)
            if (out[k] != 0x5A) __builtin_trap();
        // Decoded a piece at a time, the same bytes or the same refusal.
        size_t at = 0;
        const bool pieces = decoder.decode(reader, i, want, [&](const uint8_t* bytes, size_t count) {
            if (count > want - at || (whole && std::memcmp(bytes, out.data() + at, count) != 0)) __builtin_trap();
            at += count;
            return true;
        });
        if (pieces != whole || (pieces && at != want)) __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (4u << 20)) return 0;
    checkIndex(std::string_view(reinterpret_cast<const char*>(data), size));
    hux::ZipReader reader;
    if (reader.open(std::make_unique<hux::MemorySource>(data, size))) decodeEntries(reader, data, size);
    return 0;
}
