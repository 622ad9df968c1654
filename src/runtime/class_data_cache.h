// Opt-in class-data sharing for the classes the loader defines ("cds auto"):
// the first launch has the virtual machine write an archive of the classes it
// loaded into the user's cache (a flattened executable's is dumped after it,
// see class_data_dump.h), later launches map it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/byte_string.h"
#include "config/launch_config.h"
#include "runtime/jvm_host.h"

namespace hux {

// What an archive is only valid for: the executable (path, size, time and the
// bytes at its end, which hold the payload's archive directory) and the
// runtime library (path, size, time).
struct ClassDataKey {
    ByteString executable;
    int64_t executableSize = 0;
    int64_t executableTime = 0;
    ByteString executableTail;
    ByteString runtime;
    int64_t runtimeSize = 0;
    int64_t runtimeTime = 0;
};

// Reads the key of the running executable and `runtimeLibrary`; false when a
// file cannot be read.
bool readClassDataKey(const ByteString& executable, const ByteString& runtimeLibrary, ClassDataKey& key);

// The archive's file name for a key: "<place>-<content>.jsa", two hashes of 16
// hexadecimal digits each, the first of the executable's and the runtime's
// paths only, the second of the whole key.
ByteString classDataArchiveName(const ClassDataKey& key);

// The fast 64-bit checksum the record beside an archive holds.
uint64_t classDataChecksum(const uint8_t* data, size_t size);

// Whether the archive at `archive` is the whole file that was published: the
// record beside it (`<place>-<content>.sum`, the user's private file) gives
// its length and checksum.
bool classDataArchiveIsWhole(const ByteString& archive);

// Publishes `written`, the user's private file holding a whole archive, as
// `archive`: the record of its bytes first, then the file renamed into place,
// then the cache pruned. False when that fails (`written` is left).
bool publishClassDataArchive(const ByteString& archive, const ByteString& written);

// The markers (`<place>-<content>.run<pid>`) of launches that mapped
// `archive` and died within their first seconds, in `directory`.
std::vector<ByteString> abandonedMarkers(const ByteString& directory, const ByteString& archive);

// Cleans the cache `directory` after `kept` was published there: removes the
// other archives of the same place (older versions of the executable or the
// runtime), archives of any place not rewritten for 90 days and temporary
// files older than a day (launches that ended before their exit). Only the
// user's own private files are touched. `now` is in nanoseconds since 1970.
void pruneClassDataArchives(const ByteString& directory, const ByteString& kept, int64_t now);

// With `cds` "auto" and the loader not the system class loader (the virtual
// machine does not use archived classes of a custom system class loader),
// adds the options that map the user's archive for this executable and
// runtime, or that write it at exit when there is none yet (list the classes
// for the dump after the launch, where that runs). An archive that
// fails its record or crashed a launch is removed and written anew; no
// archive is asked for where the cache cannot be written or lacks room.
// Anything missing (no cache directory, unreadable files) silently adds
// nothing.
void appendClassDataOptions(const LaunchConfig& config, JvmHost& host, const ByteString& runtimeLibrary);

// Whether the launch needs "-XX:-PrintWarnings" to hide the note a runtime
// before Java 21 prints as a plain warning when a custom system class loader
// turns its archived classes off: the launcher's loader is the system class
// loader, the configuration silences that note (the packer's
// "-Xlog:cds=off" line, which alone quiets it from 21 on), the runtime maps
// an archive (its default one beside `library`, or one an option names), and
// no option of the user's decides about warnings or turns sharing off.
// `version` is the runtime's release version, empty when unknown.
bool sharingNoteNeedsWarningsOff(const LaunchConfig& config, const ByteString& library, const ByteString& version);

}  // namespace hux
