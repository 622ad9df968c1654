#include "tool/payload/archive_rules.h"

#include <algorithm>

#include "common/byte_string.h"
#include "common/payload_format.h"
#include "common/utf.h"
#include "common/zip_format.h"

namespace hux::tool {

bool normaliseEntryName(const std::string& name, std::string& normalised, std::string& error) {
    normalised.clear();
    const char* why = nullptr;
    if (name.empty() || name[0] == '/') {
        why = "it must be a relative path";
    } else if (name.find('\\') != std::string::npos) {
        why = "use '/' between folders";
    } else if (name.back() == '/') {
        why = "it names a folder, not a file";
    }
    size_t i = 0;
    while (!why && i <= name.size()) {
        size_t j = name.find('/', i);
        if (j == std::string::npos) j = name.size();
        const std::string part = name.substr(i, j - i);
        if (part == "..") {
            why = "'..' would leave the archive";
        } else if (!part.empty() && part != ".") {
            if (!normalised.empty()) normalised += '/';
            normalised += part;
        }
        i = j + 1;
    }
    if (!why && normalised.empty()) why = "it names no file";
    if (why) {
        error = "invalid archive name '" + name + "': " + why;
        return false;
    }
    return true;
}

bool checkArchiveComment(const std::vector<uint8_t>& endRecordAndComment, std::string& error) {
    // The launcher looks for the end record from 22 bytes before the file's end
    // back over kCommentSearchReach bytes and takes the first one it meets.
    // Signing may add up to 7 bytes of padding before the certificate table.
    constexpr uint64_t kSigningPadding = 8;
    constexpr uint64_t reach = kCommentSearchReach;
    const uint64_t comment = endRecordAndComment.size() - zip::kEndRecordSize;
    if (comment + kSigningPadding > reach) {
        error = "the archive comment is " + std::to_string(comment) +
                " bytes; the launcher finds the archive only "
                "behind a comment of at most " +
                std::to_string(reach - kSigningPadding) + " bytes";
        return false;
    }
    for (size_t at = 1; at + 4 <= endRecordAndComment.size(); ++at)
        if (readLe32(endRecordAndComment.data() + at) == zip::kEndSignature) {
            error = "the archive comment holds an end-of-archive signature (PK 05 06), which would hide the archive";
            return false;
        }
    return true;
}

int64_t findArchiveLengthField(const std::vector<uint8_t>& stub, int& count) {
    count = 0;
    int64_t found = -1;
    const auto* magic = kArchiveLengthMagic;
    auto it = stub.begin();
    while (true) {
        it = std::search(it, stub.end(), magic, magic + sizeof kArchiveLengthMagic);
        if (it == stub.end()) break;
        ++count;
        found = (it - stub.begin()) + static_cast<int64_t>(sizeof kArchiveLengthMagic);
        ++it;
    }
    if (count != 1 || found + 4 > static_cast<int64_t>(stub.size())) return -1;
    return found;
}

bool loadableClassEntry(std::string_view entry) {
    if (!endsWith(entry, ".class") || startsWith(entry, "META-INF/")) return false;
    const size_t slash = entry.rfind('/');
    return entry.substr(slash == std::string_view::npos ? 0 : slash + 1) != "module-info.class";
}

}  // namespace hux::tool
