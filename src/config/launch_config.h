// The configuration store: the external file beside the executable (if any)
// merged with the block embedded in the executable, as one UTF-8 text.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/byte_string.h"
#include "common/payload_format.h"

namespace hux {

// Receives each accepted value of a multi-valued lookup, in text order.
using ValueSink = void (*)(void* user, const ByteString& value);

class LaunchConfig {
public:
    // With `load` set, reads everything from the running executable.
    explicit LaunchConfig(bool load);
    LaunchConfig(const LaunchConfig&) = delete;
    LaunchConfig& operator=(const LaunchConfig&) = delete;

    // Loads from the executable at `exePath`, whose archive length is
    // `archiveLength` (0: the executable carries no payload).
    void loadFrom(const ByteString& exePath, uint32_t archiveLength);

    // Decodes one source by its byte-order mark and appends it to the text.
    void appendSource(const uint8_t* bytes, size_t length);

    // The general lookup. Without a sink, returns the first accepted value;
    // with one, hands every accepted value to it and returns an empty string.
    ByteString findValues(std::string_view key, bool embeddedOnly, bool toAnsi, std::string_view prefix,
                          ValueSink sink = nullptr, void* user = nullptr) const;
    ByteString firstValue(std::string_view key, bool embeddedOnly, bool toAnsi) const {
        return findValues(key, embeddedOnly, toAnsi, {});
    }
    // Appends every value, expanded (ANSI mode when `toAnsi`, else UTF-8 mode).
    void collectValues(std::string_view key, StringList& out, bool embeddedOnly, bool toAnsi) const;

    void refreshWorkDir();

    ByteString exePath() const { return exePath_; }
    ByteString exeDir() const { return exeDir_; }
    const ByteString& workDir() const { return workDir_; }
    const ByteString& configText() const { return configText_; }
    int32_t externalLength() const { return externalLength_; }
    int64_t blockEnd() const { return blockEnd_; }
    // False when the executable carries a payload whose archive is not whole
    // (a truncated download, an altered file): the block read from it, if
    // any, is not to be trusted either.
    bool archiveIntact() const { return archiveIntact_; }
    ByteString& vmCache() const { return vmCache_; }

    // Test seams: set the anchors without touching the file system.
    void setExePathForTesting(const ByteString& exePath);
    void setWorkDirForTesting(const ByteString& workDir) { workDir_ = workDir; }

private:
    void readExternalFile();
    // Under HUX_DEBUG: which external file was read (or that none was), and
    // its lines whose key the launcher does not read.
    void reportExternalFile(bool dropped) const;

    ByteString configText_;
    ByteString externalPath_;  // the external file read, if any
    int32_t externalLength_ = 0;
    ByteString exePath_;
    ByteString exeDir_;
    ByteString workDir_;
    mutable ByteString vmCache_;
    int64_t blockEnd_ = 0;
    bool archiveIntact_ = true;
};

// The four external-file candidates in the order they are tried.
void externalConfigCandidates(const ByteString& exePath, ByteString out[4]);

}  // namespace hux
