#include "config/launch_config.h"

#include <cctype>
#include <cstring>
#include <string>
#include <utility>

#include "common/payload_end.h"
#include "common/payload_format.h"
#include "common/payload_marker.h"
#include "common/utf.h"
#include "common/zip_format.h"
#include "config/config_keys.h"
#include "config/config_values.h"
#include "config/debug_log.h"
#include "config/paths.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/text.h"

namespace hux {

LaunchConfig::LaunchConfig(bool load) {
    if (!load) return;
    const platform::Result<ByteString> exe = platform::moduleFileName();
    if (!exe) debugLog("%s", exe.status().text());
    loadFrom(exe.value(), embeddedArchiveLength());
}

void LaunchConfig::setExePathForTesting(const ByteString& exePath) {
    exePath_ = exePath;
    exeDir_ = directoryOf(exePath_.view());
}

void externalConfigCandidates(const ByteString& exePath, ByteString out[4]) {
    const std::string_view p = exePath.view();
    size_t x = p.rfind('.');
    if (x == std::string_view::npos || p.find('/', x) != std::string_view::npos) x = p.size();
    out[0] = ByteString(p);
    out[0].append(".cfg");
    out[1] = ByteString(p);
    out[1].append(".config");
    out[2] = ByteString(p.substr(0, x));
    out[2].append(".cfg");
    out[3] = ByteString(p.substr(0, x));
    out[3].append(".config");
}

void LaunchConfig::loadFrom(const ByteString& exePath, uint32_t archiveLength) {
    // The block ends where the archive, the reserved bytes and any archive
    // comment, counted back from the end of the file, begin.
    platform::InputFile file;
    platform::FileView view;
    int64_t size = 0;
    if (file.open(exePath.c_str()) && view.map(file)) {
        // A signed executable carries its certificate table after the payload.
        size = payloadEnd(view.data(), view.size());
        int64_t tailLength = kCommentSearchReach + zip::kEndRecordSize + 4;
        if (tailLength > size) tailLength = size;
        const int64_t t = size >= zip::kEndRecordSize
                              ? measureArchiveCommentLength(view.data() + (size - tailLength), tailLength, size)
                              : 0;
        blockEnd_ = size - t - static_cast<int64_t>(archiveLength) - kReservedSize;
        archiveIntact_ = archiveLength == 0 || payloadArchiveIntact(view.data(), size, archiveLength, t);
    }
    // The anchors the values are resolved against: working directory,
    // executable path and directory.
    refreshWorkDir();
    setExePathForTesting(exePath);
    // The external file comes first, so that its lines win single-valued
    // lookups; its text ends with a line break of its own.
    readExternalFile();
    if (!configText_.empty()) configText_.append("\r\n");
    externalLength_ = configText_.length();
    // The embedded block follows. An executable that was never packed, or a block length
    // that points outside the file, gives an empty block.
    if (archiveLength != 0 && view.data() && blockEnd_ >= kBlockLengthSize && blockEnd_ <= size) {
        const uint32_t l = readLe32(view.data() + blockEnd_ - kBlockLengthSize);
        const int64_t start = blockEnd_ - kBlockLengthSize - static_cast<int64_t>(l);
        if (start >= 0) {
            const uint8_t* block = view.data() + start;
            const void* nul = std::memchr(block, 0, l);
            const size_t used = nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - block) : l;
            appendSource(block, used);
        }
    }
    view.unmap();
    file.close();
    // An embedded `disableexternal` drops the external file again.
    const bool dropped = config::disableExternal(*this);
    if (debugEnabled()) reportExternalFile(dropped);
    if (dropped) {
        configText_.erasePrefix(externalLength_);
        externalLength_ = 0;
    }
}

void LaunchConfig::readExternalFile() {
    ByteString candidates[4];
    externalConfigCandidates(exePath_, candidates);
    for (const ByteString& candidate : candidates) {
        if (!platform::isReadable(candidate.c_str())) continue;
        // A file another user could have put or changed there is passed
        // over: its lines would choose the runtime, the options and where
        // output goes.
        if (!trustedBesideExecutable(exeDir_, candidate, "external configuration")) continue;
        platform::InputFile f;
        if (!f.open(candidate.c_str())) continue;
        const int64_t size = f.size();
        // The whole file is read; a configuration beyond 64 MiB is not one.
        if (size < 0 || size > (int64_t{64} << 20)) continue;
        ByteBuffer bytes;
        bytes.resize(static_cast<int32_t>(size));
        if (size > 0 && !f.readAt(0, bytes.data(), static_cast<size_t>(size))) continue;
        appendSource(bytes.data(), static_cast<size_t>(size));
        externalPath_ = candidate;
        return;
    }
}

void LaunchConfig::appendSource(const uint8_t* bytes, size_t length) {
    if (length >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
        // Each source ends at its first NUL, as the UTF-16 and ANSI decodings do,
        // so a damaged external file cannot hide the embedded block.
        const void* nul = std::memchr(bytes + 3, 0, length - 3);
        const size_t n = nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - (bytes + 3)) : length - 3;
        configText_.append(reinterpret_cast<const char*>(bytes + 3), static_cast<int32_t>(n));
        return;
    }
    if (length >= 2 && ((bytes[0] == 0xFF && bytes[1] == 0xFE) || (bytes[0] == 0xFE && bytes[1] == 0xFF))) {
        const bool bigEndian = bytes[0] == 0xFE;
        const size_t count = (length - 2) / 2;
        std::u16string units;
        units.reserve(count);
        for (size_t i = 0; i < count; ++i) {
            const uint8_t* p = bytes + 2 + 2 * i;
            const auto u = static_cast<char16_t>(bigEndian ? (p[0] << 8) | p[1] : p[0] | (p[1] << 8));
            if (u == 0) break;
            units.push_back(u);
        }
        appendUtf8FromUtf16(configText_, units.data(), units.size());
        return;
    }
    const std::u16string units = platform::ansiToUtf16(reinterpret_cast<const char*>(bytes), length);
    appendUtf8FromUtf16(configText_, units.data(), units.size());
}

namespace {

// Yields the lines of a text: a line ends at CR, LF, CR LF or LF CR; the text
// ends at its first NUL.
class LineCursor {
public:
    LineCursor(const char* text, const char* end) : p_(text), end_(end) {}
    bool next(std::string_view& line) {
        if (p_ >= end_ || *p_ == '\0') return false;
        const char* start = p_;
        while (p_ < end_ && *p_ != '\0' && *p_ != '\r' && *p_ != '\n') ++p_;
        line = std::string_view(start, static_cast<size_t>(p_ - start));
        if (p_ < end_ && (*p_ == '\r' || *p_ == '\n')) {
            const char first = *p_++;
            if (p_ < end_ && (*p_ == '\r' || *p_ == '\n') && *p_ != first) ++p_;
        }
        return true;
    }

private:
    const char* p_;
    const char* end_;
};

bool isKeyChar(char c) {
    const auto u = static_cast<unsigned char>(c);
    return std::isalnum(u) || c == '_';
}

}  // namespace

void LaunchConfig::reportExternalFile(bool dropped) const {
    if (externalPath_.empty()) {
        ByteString candidates[4];
        externalConfigCandidates(exePath_, candidates);
        ByteString looked;
        for (int i = 0; i < 4; ++i) {
            bool again = false;
            for (int j = 0; j < i; ++j) again = again || candidates[j] == candidates[i];
            if (again) continue;
            if (!looked.empty()) looked.append(", ");
            looked.append(candidates[i].view());
        }
        debugLog("no external configuration (looked for %s)", looked.c_str());
        return;
    }
    if (dropped) {
        debugLog("external configuration %s not used: the embedded one says disableexternal", externalPath_.c_str());
        return;
    }
    debugLog("read the external configuration %s", externalPath_.c_str());
    LineCursor cursor(configText_.data(), configText_.data() + externalLength_);
    std::string_view line;
    int number = 0;
    while (cursor.next(line)) {
        ++number;
        size_t start = 0;
        while (start < line.size() && line[start] == ' ') ++start;
        size_t end = start;
        while (end < line.size() && isKeyChar(line[end])) ++end;
        const std::string_view key = line.substr(start, end - start);
        const size_t text = line.find_first_not_of(" \t");
        if (text == std::string_view::npos || line[text] == '#' || line[text] == ';') continue;  // blank, or a note
        if (key.empty()) {
            debugLog("external configuration %s line %d has no key at its start; ignored", externalPath_.c_str(),
                     number);
        } else if (!findConfigKey(key)) {
            const ByteString name(key);
            debugLog("external configuration %s line %d: unknown key '%s'; ignored", externalPath_.c_str(), number,
                     name.c_str());
        }
    }
}

ByteString LaunchConfig::findValues(std::string_view key, bool embeddedOnly, bool toAnsi, std::string_view prefix,
                                    ValueSink sink, void* user) const {
    const int32_t start = embeddedOnly ? externalLength_ : 0;
    LineCursor cursor(configText_.data() + start, configText_.data() + configText_.length());
    std::string_view line;
    ByteString scratch;
    while (cursor.next(line)) {
        scratch.assign(line);  // each line is matched from its own copy
        std::string_view rest = scratch.view();
        while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
        if (key.empty() || rest.size() < key.size()) continue;
        if (!equalsIgnoreCase(rest.substr(0, key.size()), key)) continue;
        if (rest.size() > key.size() && isKeyChar(rest[key.size()])) continue;
        std::string_view value = rest.substr(key.size());
        while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
        if (!value.empty() && value.front() == '=') {
            value.remove_prefix(1);
            while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
        }
        ByteString result;
        if (toAnsi && hasHighByte(value)) {
            const std::u16string units = platform::utf8TextToUtf16(value);
            result = platform::utf16ToAnsi(units.data(), units.size());
        } else {
            result.assign(value);
        }
        if (!prefix.empty() && !startsWith(result.view(), prefix)) continue;
        if (!sink) return result;
        sink(user, result);
    }
    return {};
}

namespace {
struct CollectState {
    StringList* out;
    ExpandMode mode;
    const LaunchConfig* config;
};
void collectSink(void* user, const ByteString& value) {
    auto* st = static_cast<CollectState*>(user);
    st->out->append(expandReferences(value, st->mode, st->config));
}
}  // namespace

void LaunchConfig::collectValues(std::string_view key, StringList& out, bool embeddedOnly, bool toAnsi) const {
    CollectState st{&out, toAnsi ? ExpandMode::Ansi : ExpandMode::Utf8, this};
    findValues(key, embeddedOnly, toAnsi, {}, collectSink, &st);
}

void LaunchConfig::refreshWorkDir() {
    // A directory that cannot be read (or needs kPathMax bytes or more) leaves
    // workDir empty, so names under it stay relative to the directory in force
    // instead of landing under the root.
    platform::Result<ByteString> current = platform::currentDirectory();
    if (!current) debugLog("%s", current.status().text());
    workDir_ = std::move(current.value());
    if (!workDir_.empty() && !isSeparator(workDir_.back())) workDir_.push('/');
}

}  // namespace hux
