// Writes application executables: a launcher stub followed by the payload
// (configuration block, its length, 16 reserved bytes, the zip archive).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "tool/payload/archive_rules.h"
#include "tool/runtime/runtime_image.h"
#include "tool/windows/signing.h"
#include "tool/text_files.h"
#include "tool/windows/windows_image.h"

namespace hux::tool {

struct PackRequest {
    std::string target;                                      // "linux-x64" or "windows-x64"
    std::string stubPath;                                    // the launcher stub to start from
    std::string javaClassesDir;                              // support classes, stored at the archive's top level
    std::string configPath;                                  // optional file of "key value" lines
    std::vector<std::string> extraLines;                     // further lines, after the file's
    std::vector<std::pair<std::string, std::string>> files;  // (archive name, path)
    std::string outputPath;
    std::string archiveComment;    // optional zip comment after the end record
    bool requireMain = true;       // refuse a configuration without `mainclass`
    bool classResources = true;    // write `compatible true` unless the configuration sets it
    bool quietSharingNote = true;  // add the options that silence the class-data sharing note
    bool flatten = false;          // store the jars' entries at the top level instead of the jars
    bool fast = false;             // --fast: flattened, the JDK's loader and `cds auto`
    bool classPathJars = true;     // also pack the jars that the jars' manifests name in Class-Path
    bool verbose = false;          // tell every absent Class-Path jar, not one line per naming jar
    WindowsLook look;              // windows-x64: icon, version, manifest, subsystem
    SignRequest sign;              // windows-x64: signed when a key is named
    RuntimeRequest runtime;        // a runtime shipped beside the executable or inside it
    // Called as the executable is written: files packed and bytes written.
    std::function<void(uint64_t files, uint64_t bytes)> progress;
    // Called once packing succeeded with a line saying what was written, when
    // more than the executable was (the runtime and its size).
    std::function<void(const std::string& line)> report;
};

// The Main-Class of the jar at `path` (trimmed), as `java -jar` takes it;
// empty when it has none.
std::string jarMainClass(const std::string& path);

// The output `hux pack` writes when none is named: the first jar's file
// name without ".jar" (with ".exe" for windows-x64); empty without a jar.
std::string defaultOutputName(const std::vector<std::pair<std::string, std::string>>& files, const std::string& target);

// The targets `hux pack` writes.
bool knownTarget(const std::string& target);
// What is wrong with `target` as one ("unknown target ..."); empty when
// `hux pack` writes it.
std::string targetProblem(const std::string& target);

// What the command line got wrong in `request` (targets, options that go
// with another one); empty when nothing. Checked again by pack().
std::string commandLineProblem(const PackRequest& request);

// Packs; on failure returns false with one line in `error` and leaves nothing
// at the output path (an output that is one of the files read, by identity,
// is refused before anything is written). `warnings` receives one line per doubtful input.
bool pack(const PackRequest& request, std::string& error, std::vector<std::string>& warnings);

}  // namespace hux::tool
