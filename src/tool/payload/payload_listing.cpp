#include "tool/payload/payload_listing.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <functional>
#include <memory>
#include <new>
#include <vector>

#include "archive/archive_store.h"
#include "archive/zip_reader.h"
#include "common/payload_end.h"
#include "common/payload_format.h"
#include "common/utf.h"
#include "common/zip_format.h"
#include "platform/files.h"
#include "tool/packer.h"
#include "tool/windows/windows_listing.h"

namespace hux::tool {

namespace {

bool damaged(const std::string& path, const std::string& what, std::string& error) {
    error = "'" + path + "' has a damaged payload (" + what + ")";
    return false;
}

}  // namespace

std::string printable(std::string_view text) {
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        // Whole UTF-8 sequences pass; control bytes and stray bytes are escaped.
        const size_t n = c < 0x80                          ? 1
                         : (c & 0xE0) == 0xC0 && c >= 0xC2 ? 2
                         : (c & 0xF0) == 0xE0              ? 3
                         : (c & 0xF8) == 0xF0 && c <= 0xF4 ? 4
                                                           : 0;
        bool whole = n > 0 && i + n <= text.size();
        for (size_t j = 1; whole && j < n; ++j) whole = (static_cast<unsigned char>(text[i + j]) & 0xC0) == 0x80;
        if (!whole || (n == 1 && (c < 0x20 || c == 0x7F))) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
            ++i;
        } else {
            out.append(text.substr(i, n));
            i += n;
        }
    }
    return out;
}

namespace {

// Bytes the Windows description may take from the image's start: a stub is a
// few megabytes, and the copy is what inspecting keeps resident.
constexpr int64_t kImagePrefixLimit = 32LL << 20;
// A configuration block larger than this is no packer's.
constexpr uint32_t kBlockLimit = 16u << 20;
// A compressed nested archive is inflated into memory to be checked inside
// up to this size (the packer stores every archive).
constexpr uint64_t kInflateLimit = 32u << 20;
constexpr size_t kSearchChunk = 1u << 20;
// Where a stub's archive-length record can lie: stubs are a few megabytes.
constexpr int64_t kStubReach = 64LL << 20;

// Reads a byte range of a file with pread only: checking an entry then
// leaves no pages of a mapping behind, whatever the file's size.
class FileRangeSource final : public ZipSource {
public:
    FileRangeSource(const platform::InputFile& file, int64_t offset, int64_t size)
        : file_(file), offset_(offset), size_(size) {}
    int64_t size() const override { return size_; }
    bool readAt(int64_t offset, void* buffer, size_t count) override {
        if (offset < 0 || static_cast<uint64_t>(count) > static_cast<uint64_t>(size_) ||
            offset > size_ - static_cast<int64_t>(count))
            return false;
        return count == 0 || file_.readAt(offset_ + offset, buffer, count);
    }

private:
    const platform::InputFile& file_;
    int64_t offset_;
    int64_t size_;
};

// The offset just past the first archive-length magic in the file, read a
// chunk at a time; -1 when there is none. The stub holds it, so only the
// stub's reach is searched.
int64_t findMagic(const platform::InputFile& file, int64_t size) {
    constexpr int64_t kMagic = sizeof kArchiveLengthMagic;
    const std::boyer_moore_horspool_searcher searcher(kArchiveLengthMagic, kArchiveLengthMagic + kMagic);
    std::vector<uint8_t> chunk(kSearchChunk);
    size = std::min(size, kStubReach);
    for (int64_t at = 0; at < size; at += static_cast<int64_t>(kSearchChunk) - (kMagic - 1)) {
        const auto n = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(kSearchChunk), size - at));
        if (!file.readAt(at, chunk.data(), n)) return -1;
        const auto found = std::search(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n), searcher);
        if (found != chunk.begin() + static_cast<std::ptrdiff_t>(n)) return at + (found - chunk.begin()) + kMagic;
        if (static_cast<int64_t>(n) < static_cast<int64_t>(kSearchChunk)) break;
    }
    return -1;
}

std::string entryName(const ZipEntry& e) { return std::string(e.name, static_cast<size_t>(e.nameLength)); }

void verifyNested(ZipReader& reader, int32_t i, const std::string& name, int depth, std::vector<std::string>& damaged);

// Checks every entry of `reader` to its CRC-32 and, `depth` levels down,
// the archives inside it, as the launcher opens them; the tree names of those
// that fail go to `damaged`.
void verifyArchive(ZipReader& reader, const std::string& prefix, int depth, std::vector<std::string>& damaged) {
    for (int32_t i = 0; i < reader.entryCount(); ++i) {
        const ZipEntry& e = reader.entry(i);
        const std::string name = prefix + entryName(e);
        if (!reader.supported(i)) continue;  // the launcher never reads it either
        // The packer's own archive repeats each name in the local header.
        const bool intact = reader.verifyEntry(i) && (!prefix.empty() || reader.localNameMatches(i));
        // A stored archive that fails is looked into, to name the entry.
        const bool nested = depth > 0 && e.size > 0 && zip::isArchiveName(entryName(e));
        if (!intact && !(nested && e.method == 0)) {
            damaged.push_back(name);
            continue;
        }
        if (!nested) continue;
        const size_t before = damaged.size();
        verifyNested(reader, i, name, depth, damaged);
        if (!intact && damaged.size() == before) damaged.push_back(name);
    }
}

void verifyNested(ZipReader& reader, int32_t i, const std::string& name, int depth, std::vector<std::string>& damaged) {
    const ZipEntry& e = reader.entry(i);
    std::unique_ptr<uint8_t[]> inflated;
    std::unique_ptr<ZipSource> source;
    int64_t dataStart = 0;
    if (e.method == 0 && reader.dataOffset(i, dataStart)) {
        source = reader.sourceAt(dataStart, static_cast<int64_t>(e.size));
    } else if (e.size <= kInflateLimit) {
        inflated.reset(new (std::nothrow) uint8_t[static_cast<size_t>(e.size)]);
        if (inflated && reader.readEntry(i, inflated.get()))
            source = std::make_unique<MemorySource>(inflated.get(), static_cast<size_t>(e.size));
    }
    if (!source) return;
    ZipReader inner;
    // Bytes that end like an archive but whose directory does not hold
    // together are what the launcher calls damaged too.
    if (!inner.open(std::move(source))) {
        if (inner.lastOpenFoundEnd()) damaged.push_back(name);
        return;
    }
    verifyArchive(inner, name + "!", depth - 1, damaged);
}

// The configuration block's lines, indented.
void listLines(const std::string& text, std::ostream& out) {
    size_t i = 0;
    while (i < text.size()) {
        size_t j = text.find("\r\n", i);
        if (j == std::string::npos) j = text.size();
        out << "  " << printable(joinSurrogatePairs(std::string_view(text).substr(i, j - i)).view()) << "\n";
        i = j + 2;
    }
}

// One line per entry: method, sizes, offset and name.
void listEntries(ZipReader& reader, std::ostream& out) {
    for (int32_t k = 0; k < reader.entryCount(); ++k) {
        const ZipEntry& e = reader.entry(k);
        char line[160];
        std::snprintf(line, sizeof line, "  %-8s %10" PRIu64 " %10" PRIu64 " @%-10" PRIu64 " ",
                      e.method == 0   ? "stored"
                      : e.method == 8 ? "deflated"
                                      : "other",
                      e.size, e.compressedSize, e.localHeaderOffset);
        out << line << printable(std::string_view(e.name, static_cast<size_t>(e.nameLength))) << "\n";
    }
}

// Every entry, and every entry of the archives inside, as deep as the
// launcher opens them, is read through its CRC-32; the damaged ones are
// listed, and the first named in `error`.
bool verifyEntries(ZipReader& reader, const std::string& path, std::ostream& out, std::string& error) {
    std::vector<std::string> bad;
    verifyArchive(reader, "", ArchiveStore::kRootAllowance, bad);
    for (const std::string& name : bad) out << "damaged: " << printable(name) << "\n";
    if (!bad.empty()) {
        error = "'" + path + "' is damaged: " + std::to_string(bad.size()) + " archive " +
                (bad.size() == 1 ? "entry does not match its" : "entries do not match their") +
                " checksum, the first '" + printable(bad.front()) + "'";
        return false;
    }
    return true;
}

}  // namespace

bool inspect(const std::string& path, std::ostream& out, std::string& error) {
    platform::InputFile input;
    platform::FileView view;
    std::string why;
    if (!readableFile(path, why)) {
        error = "cannot read '" + path + "'" + (why.empty() ? std::string() : ": " + why);
        return false;
    }
    if (const platform::Status opened = input.open(path.c_str()); !opened || input.size() < 0) {
        error = opened ? "cannot read '" + path + "'" : opened.message();
        return false;
    }
    const int64_t fileSize = input.size();
    // The mapping serves the few places read at random (headers, the tail,
    // the block); entries are read through the file.
    if (fileSize > 0) {
        const platform::Status mapped = view.map(input);
        if (!mapped || view.size() != fileSize) {
            error = "cannot read '" + path + "'" + (mapped ? std::string() : ": " + mapped.message());
            return false;
        }
    }
    const uint8_t* file = view.data();
    const bool windows = fileSize >= 2 && file[0] == 'M' && file[1] == 'Z';
    // The stub's record comes first in the file; archives may repeat the magic.
    const int64_t at = findMagic(input, fileSize);
    if (at < 0) {
        error = "'" + path + "' is not a hux executable (no archive-length marker)";
        return false;
    }
    if (at + 4 > fileSize) return damaged(path, "archive-length record cut off", error);
    const uint32_t a = readLe32(file + at);
    if (a == 0) {
        error = "'" + path + "' is a launcher stub without a payload";
        return false;
    }
    const int64_t size = payloadEnd(file, fileSize);
    const int64_t tailLength = std::min<int64_t>(size, kCommentSearchReach + zip::kEndRecordSize + 4);
    const int64_t t = measureArchiveCommentLength(file + (size - tailLength), tailLength, size);
    const int64_t blockEnd = size - t - a - kReservedSize;
    if (blockEnd < kBlockLengthSize || blockEnd > size) return damaged(path, "block end outside the file", error);
    const uint32_t l = readLe32(file + blockEnd - kBlockLengthSize);
    const int64_t blockStart = blockEnd - kBlockLengthSize - l;
    if (blockStart < 0 || l > kBlockLimit) return damaged(path, "block length " + std::to_string(l), error);
    std::string text(reinterpret_cast<const char*>(file + blockStart), l);
    if (text.size() < 4 || text.compare(0, 3, "\xEF\xBB\xBF") != 0 || text.back() != '\0')
        return damaged(path, "the configuration block lacks its UTF-8 mark or final NUL", error);
    if (blockSeal(file + blockStart, l) == BlockSeal::Broken)
        return damaged(path, "the configuration block's CRC-32 does not match its text", error);
    text.erase(0, 3);
    text.resize(text.find('\0'));
    const int64_t archiveStart = blockEnd + kReservedSize;
    const int64_t record = archiveStart + a - zip::kEndRecordSize;
    if (record < archiveStart || record + zip::kEndRecordSize > size || readLe32(file + record) != zip::kEndSignature)
        return damaged(path, "no end record where its archive length says", error);

    out << "file: " << printable(path) << " (" << fileSize << " bytes)\n";
    if (windows) {
        const std::vector<uint8_t> image(file, file + std::min(blockStart, kImagePrefixLimit));
        if (!describeWindowsImage(image, out, error)) {
            error = "'" + path + "': " + error;
            return false;
        }
    }
    if (size != fileSize)
        out << "signature: certificate table of " << fileSize - size << " bytes at offset " << size << "\n";
    out << "configuration block: L = " << l << " bytes at offset " << blockStart << "\n";
    listLines(text, out);
    out << "archive: A = " << a << " bytes at offset " << archiveStart << ", comment T = " << t << " bytes\n";

    // Listing from the central directory as the launcher's reader sees it;
    // offsets count from the archive start.
    ZipReader reader;
    if (!reader.open(std::make_unique<FileRangeSource>(input, archiveStart, a)) || reader.archiveStart() != 0)
        return damaged(path, "central directory", error);
    view.unmap();
    out << "entries: " << reader.entryCount() << "\n";
    listEntries(reader, out);
    return verifyEntries(reader, path, out, error);
}

}  // namespace hux::tool
