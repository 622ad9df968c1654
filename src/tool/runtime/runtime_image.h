// The runtime an executable ships with: a runtime image (a JDK or a jlink
// output) copied beside the executable as its `jre` folder, or stored inside
// its payload; and the jdeps and jlink runs that make a small one.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "common/runtime_index.h"
#include "tool/payload/zip_writer.h"

namespace hux::tool {

// What the packer does about a runtime.
struct RuntimeRequest {
    std::string imageDir;                 // --runtime / --embed-runtime: an existing image
    bool jlink = false;                   // --jlink: make one from a JDK's modules
    bool embed = false;                   // store it in the payload instead of beside the executable
    std::string jdk;                      // --jdk: the JDK whose modules are linked
    std::vector<std::string> addModules;  // --add-modules, beside those jdeps finds
    std::string hostTarget;               // the target this machine runs (its jlink links for it)
    bool train = false;                   // --train: an ahead-of-time cache made by one run on the carried runtime
    std::vector<std::string> trainArgs;   // the arguments of that run
    bool wanted() const { return jlink || !imageDir.empty(); }
};

// The first `name` (or `name`.exe) in a folder of PATH; empty when none.
std::filesystem::path findOnPath(const std::string& name);

// The JDK this machine runs: JAVA_HOME, else the home of the javac (then the
// java) on PATH, links resolved; empty when there is none.
std::string hostJdk();

// Where an image for `target` keeps its runtime library, relative to its home.
const char* runtimeLibraryIn(const std::string& target);

// Checks that `dir` is a runtime image for `target`; false with one line.
bool checkRuntimeImage(const std::string& dir, const std::string& target, std::string& error);

// The image's files, sorted, with their sizes, executable bits and the
// content hash over all of them. A symbolic link to a file of the image is
// indexed as a link to it (stored once, unpacked as a copy under the link's
// name); a link leaving the image is indexed as the file it leads to, with
// one line added to `warnings` for all such links. Linked directories are
// walked. A link to nothing or to no file, or a device or pipe, is refused,
// naming it.
bool indexRuntimeImage(const std::string& dir, RuntimeIndex& index, std::string& error,
                       std::vector<std::string>* warnings = nullptr);

// Stores the image in the archive: each file but the links under
// kRuntimeEntryPrefix (deflated, or the larger ones as Zstandard frames
// when `zstd`), then the index as kRuntimeIndexName.
bool addRuntimeImage(ZipWriter& zip, const std::string& dir, RuntimeIndex index, bool zstd, std::string& error);
// Whether this tool writes the runtime's larger files with Zstandard for
// `target` (the Linux launcher reads them; this tool's Linux build writes them).
bool zstdForTarget(const std::string& target);
// Writes the image's default class-data archive by running its own java
// (images for the host only); an image where that fails stays without one.
void writeClassDataArchive(const std::string& imageDir, const std::string& hostTarget);

// Copies the image to `to` (which must not exist), keeping executable bits.
bool copyRuntimeImage(const std::string& from, const std::string& to, std::string& error);

// Total size of the files below `dir`.
uint64_t treeBytes(const std::string& dir);

// The Java version modules are resolved for: the major version of `minjre`
// ("1.8" gives 8, "17.0.2" gives 17), else the JDK's own from its release file.
int multiReleaseVersion(const std::string& minjre, const std::string& jdkHome);

// Runs jdeps over `jars` and jlink into `outputDir` (which must not exist):
// the modules jdeps names, those modulesNamedIn finds that the JDK has, plus
// request.addModules. False with one line. `modulesLine` gets the line that
// tells the publisher the modules chosen.
bool linkRuntime(const RuntimeRequest& request, const std::string& target, const std::vector<std::string>& jars,
                 const std::string& minjre, const std::string& outputDir, std::string& error,
                 std::string* modulesLine = nullptr);

// The modules applications commonly reach by name at run time (through
// reflection or a service file) whose packages the jars' classes or service
// files name, which jdeps does not report; in a fixed order.
std::vector<std::string> modulesNamedIn(const std::vector<std::string>& jars);

// The content hash of the bytes fed to it: two independent 64-bit lanes.
class ContentHash {
public:
    void update(const uint8_t* data, size_t size);
    std::string hex() const;

private:
    uint64_t a_ = 0x9e3779b97f4a7c15ULL;
    uint64_t b_ = 0xcbf29ce484222325ULL;
};

}  // namespace hux::tool
