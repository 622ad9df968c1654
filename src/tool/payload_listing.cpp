#include "tool/payload_listing.h"

#include <cinttypes>
#include <cstdio>
#include <vector>

#include "common/payload_format.h"
#include "common/utf.h"
#include "tool/packer.h"

namespace hux::tool {

bool inspect(const std::string& path, std::ostream& out, std::string& error) {
    std::vector<uint8_t> file;
    if (!readFile(path, file)) {
        error = "cannot read '" + path + "'";
        return false;
    }
    int count = 0;
    const int64_t field = findArchiveLengthField(file, count);
    if (count == 0) {
        error = "'" + path + "' is not a hux executable (no archive-length marker)";
        return false;
    }
    // The stub's record comes first in the file; archives may repeat the magic.
    int64_t at = -1;
    if (field >= 0) {
        at = field;
    } else {
        for (size_t i = 0; i + sizeof kArchiveLengthMagic + 4 <= file.size(); ++i)
            if (std::equal(kArchiveLengthMagic, kArchiveLengthMagic + sizeof kArchiveLengthMagic, file.begin() + i)) {
                at = static_cast<int64_t>(i + sizeof kArchiveLengthMagic);
                break;
            }
    }
    const uint32_t a = readLe32(file.data() + at);
    if (a == 0) {
        error = "'" + path + "' is a launcher stub without a payload";
        return false;
    }
    const auto size = static_cast<int64_t>(file.size());
    int64_t t = 0;
    const int64_t reach = size / 100 > 51200 ? size / 100 : 51200;
    for (int64_t off = size - kEndRecordSize; off >= 0 && off >= size - reach - kEndRecordSize; --off)
        if (readLe32(file.data() + off) == kEndRecordSignature) {
            t = size - off - kEndRecordSize;
            break;
        }
    const int64_t blockEnd = size - t - a - kReservedSize;
    if (blockEnd < kBlockLengthSize || blockEnd > size) {
        error = "'" + path + "' has a damaged payload (block end outside the file)";
        return false;
    }
    const uint32_t l = readLe32(file.data() + blockEnd - kBlockLengthSize);
    const int64_t blockStart = blockEnd - kBlockLengthSize - l;
    if (blockStart < 0) {
        error = "'" + path + "' has a damaged payload (block length " + std::to_string(l) + ")";
        return false;
    }
    const int64_t archiveStart = blockEnd + kReservedSize;
    out << "file: " << path << " (" << size << " bytes)\n";
    out << "configuration block: L = " << l << " bytes at offset " << blockStart << "\n";
    std::string text(reinterpret_cast<const char*>(file.data() + blockStart), l);
    if (text.size() >= 3 && text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
    if (!text.empty() && text.back() == '\0') text.pop_back();
    size_t i = 0;
    while (i < text.size()) {
        size_t j = text.find("\r\n", i);
        if (j == std::string::npos) j = text.size();
        out << "  " << text.substr(i, j - i) << "\n";
        i = j + 2;
    }
    out << "archive: A = " << a << " bytes at offset " << archiveStart << ", comment T = " << t << " bytes\n";

    // Listing from the central directory; offsets count from the archive start.
    const int64_t record = archiveStart + a - kEndRecordSize;
    if (record < archiveStart || readLe32(file.data() + record) != kEndRecordSignature) {
        error = "'" + path + "' has no end record where its archive length says";
        return false;
    }
    const uint8_t* r = file.data() + record;
    const uint16_t entries = readLe16(r + 10);
    const uint32_t dirSize = readLe32(r + 12);
    const uint32_t dirOffset = readLe32(r + 16);
    int64_t p = archiveStart + dirOffset;
    if (p + dirSize > record) {
        error = "'" + path + "' has a damaged central directory";
        return false;
    }
    out << "entries: " << entries << "\n";
    for (uint16_t e = 0; e < entries; ++e) {
        if (p + 46 > record || readLe32(file.data() + p) != 0x02014b50) {
            error = "'" + path + "' has a damaged central directory";
            return false;
        }
        const uint8_t* h = file.data() + p;
        const uint16_t method = readLe16(h + 10);
        const uint32_t csize = readLe32(h + 20);
        const uint32_t usize = readLe32(h + 24);
        const uint16_t nameLen = readLe16(h + 28);
        const uint16_t extraLen = readLe16(h + 30);
        const uint16_t commentLen = readLe16(h + 32);
        const uint32_t local = readLe32(h + 42);
        if (p + 46 + nameLen > record) {
            error = "'" + path + "' has a damaged central directory";
            return false;
        }
        std::string name(reinterpret_cast<const char*>(h + 46), nameLen);
        char line[160];
        std::snprintf(line, sizeof line, "  %-8s %10" PRIu32 " %10" PRIu32 " @%-10" PRIu32 " ",
                      method == 0 ? "stored" : method == 8 ? "deflated" : "other", usize, csize, local);
        out << line << name << "\n";
        p += 46 + nameLen + extraLen + commentLen;
    }
    return true;
}

}  // namespace hux::tool
