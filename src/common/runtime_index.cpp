#include "common/runtime_index.h"

#include <cstdio>
#include <cstdlib>
#include <unordered_map>

namespace hux {

namespace {

constexpr std::string_view kHeader = "hux runtime index 1";

bool isHexDigits(std::string_view text) {
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return !text.empty();
}

// A decimal number making up the whole of `text`.
bool parseNumber(std::string_view text, uint64_t& value) {
    if (text.empty() || text.size() > 19) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return true;
}

// Cuts the next space-separated word off the front of `line`.
std::string_view nextWord(std::string_view& line) {
    const size_t space = line.find(' ');
    const std::string_view word = line.substr(0, space);
    line = space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
    return word;
}

// Each link names a stored file (not another link) of its own size, and no
// path is there twice.
bool linksAreSound(const RuntimeIndex& index, std::string& error) {
    std::unordered_map<std::string_view, const RuntimeIndex::File*> byPath;
    for (const RuntimeIndex::File& file : index.files) {
        if (!byPath.emplace(file.path, &file).second) {
            error = "the runtime index names " + file.path + " twice";
            return false;
        }
    }
    for (const RuntimeIndex::File& file : index.files) {
        if (file.linkTo.empty()) continue;
        const auto found = byPath.find(file.linkTo);
        if (found == byPath.end() || !found->second->linkTo.empty() || found->second->size != file.size) {
            error = "the runtime index links " + file.path + " to " + file.linkTo + ", which it does not store";
            return false;
        }
    }
    return true;
}

}  // namespace

bool isPlainRelativePath(std::string_view path) {
    if (path.empty() || path == kRuntimeCompleteName) return false;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        const std::string_view part = path.substr(start, end - start);
        if (part.empty() || part == "." || part == "..") return false;
        for (char c : part)
            if (static_cast<unsigned char>(c) < 0x20 || c == '\\' || c == ':' || c == 0x7f) return false;
        start = end + 1;
    }
    return true;
}

std::string formatRuntimeIndex(const RuntimeIndex& index) {
    std::string text(kHeader);
    text += "\nhash " + index.hash + "\nfiles " + std::to_string(index.files.size()) + " " +
            std::to_string(index.totalBytes) + "\n";
    for (const RuntimeIndex::File& file : index.files) {
        const char* kind = !file.linkTo.empty() ? "= " : file.executable ? "x " : "- ";
        if (file.zstd && file.linkTo.empty()) {
            char crc[10];
            std::snprintf(crc, sizeof crc, " %08x", static_cast<unsigned>(file.crc));
            text += std::string("z") + kind[0] + " " + std::to_string(file.size) + crc + " " + file.path + "\n";
            continue;
        }
        text += kind + std::to_string(file.size) + " " + file.path;
        if (!file.linkTo.empty()) text += "\t" + file.linkTo;
        text += "\n";
    }
    return text;
}

bool parseRuntimeIndex(std::string_view text, RuntimeIndex& index, std::string& error) {
    index = RuntimeIndex{};
    uint64_t count = 0, declaredTotal = 0;
    int lineNumber = 0;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        if (end == std::string_view::npos) {
            error = "the runtime index does not end with a line feed";
            return false;
        }
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end + 1);
        ++lineNumber;
        bool ok = true;
        if (lineNumber == 1) {
            ok = line == kHeader;
        } else if (lineNumber == 2) {
            ok = nextWord(line) == "hash" && line.size() == kRuntimeHashDigits && isHexDigits(line);
            index.hash.assign(line);
        } else if (lineNumber == 3) {
            ok = nextWord(line) == "files" && parseNumber(nextWord(line), count) &&
                 parseNumber(nextWord(line), declaredTotal) && line.empty();
        } else {
            RuntimeIndex::File file;
            std::string_view kind = nextWord(line);
            file.zstd = kind == "zx" || kind == "z-";
            if (file.zstd) kind.remove_prefix(1);
            ok = (kind == "x" || kind == "-" || (kind == "=" && !file.zstd)) && parseNumber(nextWord(line), file.size);
            if (ok && file.zstd) {
                const std::string_view crc = nextWord(line);
                ok = crc.size() == 8 && isHexDigits(crc);
                if (ok) file.crc = static_cast<uint32_t>(std::strtoul(std::string(crc).c_str(), nullptr, 16));
            }
            if (kind == "=") {
                const size_t tab = line.find('\t');
                ok = ok && tab != std::string_view::npos && isPlainRelativePath(line.substr(tab + 1));
                if (ok) file.linkTo.assign(line.substr(tab + 1));
                line = line.substr(0, tab);
            }
            ok = ok && isPlainRelativePath(line);
            file.executable = kind == "x";
            file.path.assign(line);
            // A total that wraps would let a huge file pass the count check.
            ok = ok && !__builtin_add_overflow(index.totalBytes, file.size, &index.totalBytes);
            if (ok) index.files.push_back(std::move(file));
        }
        if (!ok) {
            error = "the runtime index is malformed at line " + std::to_string(lineNumber);
            return false;
        }
    }
    if (lineNumber < 3 || count != index.files.size() || declaredTotal != index.totalBytes) {
        error = "the runtime index's counts do not match its files";
        return false;
    }
    return linksAreSound(index, error);
}

std::string runtimeCompletionText(const RuntimeIndex& index) {
    return "hux runtime " + index.hash + " files " + std::to_string(index.files.size()) + " bytes " +
           std::to_string(index.totalBytes) + "\n";
}

}  // namespace hux
