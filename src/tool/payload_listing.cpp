#include "tool/payload_listing.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <vector>

#include "archive/zip_reader.h"
#include "common/payload_end.h"
#include "common/payload_format.h"
#include "common/utf.h"
#include "common/zip_format.h"
#include "tool/packer.h"
#include "tool/windows_listing.h"

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

bool inspect(const std::string& path, std::ostream& out, std::string& error) {
    std::vector<uint8_t> file;
    std::string why;
    if (!readableFile(path, why) || !readFile(path, file)) {
        error = "cannot read '" + path + "'" + (why.empty() ? std::string() : ": " + why);
        return false;
    }
    const bool windows = file.size() >= 2 && file[0] == 'M' && file[1] == 'Z';
    int count = 0;
    const int64_t field = findArchiveLengthField(file, count);
    if (count == 0) {
        error = "'" + path + "' is not a hux executable (no archive-length marker)";
        return false;
    }
    // The stub's record comes first in the file; archives may repeat the magic.
    int64_t at = field;
    if (at < 0) {
        const auto found = std::search(file.begin(), file.end(), kArchiveLengthMagic,
                                       kArchiveLengthMagic + sizeof kArchiveLengthMagic);
        at = (found - file.begin()) + static_cast<int64_t>(sizeof kArchiveLengthMagic);
        if (at + 4 > static_cast<int64_t>(file.size())) return damaged(path, "archive-length record cut off", error);
    }
    const uint32_t a = readLe32(file.data() + at);
    if (a == 0) {
        error = "'" + path + "' is a launcher stub without a payload";
        return false;
    }
    const auto fileSize = static_cast<int64_t>(file.size());
    const int64_t size = payloadEnd(file.data(), fileSize);
    const int64_t t = measureArchiveCommentLength(file.data(), size, size);
    const int64_t blockEnd = size - t - a - kReservedSize;
    if (blockEnd < kBlockLengthSize || blockEnd > size) return damaged(path, "block end outside the file", error);
    const uint32_t l = readLe32(file.data() + blockEnd - kBlockLengthSize);
    const int64_t blockStart = blockEnd - kBlockLengthSize - l;
    if (blockStart < 0) return damaged(path, "block length " + std::to_string(l), error);
    std::string text(reinterpret_cast<const char*>(file.data() + blockStart), l);
    if (text.size() < 4 || text.compare(0, 3, "\xEF\xBB\xBF") != 0 || text.back() != '\0')
        return damaged(path, "the configuration block lacks its UTF-8 mark or final NUL", error);
    text.erase(0, 3);
    text.pop_back();
    const int64_t archiveStart = blockEnd + kReservedSize;
    const int64_t record = archiveStart + a - zip::kEndRecordSize;
    if (record < archiveStart || record + zip::kEndRecordSize > size ||
        readLe32(file.data() + record) != zip::kEndSignature)
        return damaged(path, "no end record where its archive length says", error);

    out << "file: " << printable(path) << " (" << fileSize << " bytes)\n";
    if (windows && !describeWindowsImage(file, out, error)) {
        error = "'" + path + "': " + error;
        return false;
    }
    if (size != fileSize)
        out << "signature: certificate table of " << fileSize - size << " bytes at offset " << size << "\n";
    out << "configuration block: L = " << l << " bytes at offset " << blockStart << "\n";
    size_t i = 0;
    while (i < text.size()) {
        size_t j = text.find("\r\n", i);
        if (j == std::string::npos) j = text.size();
        out << "  " << printable(joinSurrogatePairs(std::string_view(text).substr(i, j - i)).view()) << "\n";
        i = j + 2;
    }
    out << "archive: A = " << a << " bytes at offset " << archiveStart << ", comment T = " << t << " bytes\n";

    // Listing from the central directory as the launcher's reader sees it;
    // offsets count from the archive start.
    ZipReader reader;
    if (!reader.open(std::make_unique<MemorySource>(file.data() + archiveStart, static_cast<size_t>(a))) ||
        reader.archiveStart() != 0)
        return damaged(path, "central directory", error);
    out << "entries: " << reader.entryCount() << "\n";
    for (int32_t i = 0; i < reader.entryCount(); ++i) {
        const ZipEntry& e = reader.entry(i);
        char line[160];
        std::snprintf(line, sizeof line, "  %-8s %10" PRIu64 " %10" PRIu64 " @%-10" PRIu64 " ",
                      e.method == 0   ? "stored"
                      : e.method == 8 ? "deflated"
                                      : "other",
                      e.size, e.compressedSize, e.localHeaderOffset);
        out << line << printable(std::string_view(e.name, static_cast<size_t>(e.nameLength))) << "\n";
    }
    return true;
}

}  // namespace hux::tool
