// Writes application executables: a launcher stub followed by the payload
// (configuration block, its length, 16 reserved bytes, the zip archive).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "tool/runtime_image.h"
#include "tool/signing.h"
#include "tool/windows_image.h"

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

// Normalises an archive entry name: empty and "." components are dropped; a
// name that is absolute, holds a backslash or a ".." component, names a
// directory (ends in '/') or is empty is refused (false with `error`).
bool normaliseEntryName(const std::string& name, std::string& normalised, std::string& error);

// Checks that the launcher will find the archive's end record (given with
// the comment after it): the comment leaves room for signing padding within
// its search and holds no end-record signature, also none formed
// with the record's last bytes; false with `error` otherwise.
bool checkArchiveComment(const std::vector<uint8_t>& endRecordAndComment, std::string& error);

// What the command line got wrong in `request` (targets, options that go
// with another one); empty when nothing. Checked again by pack().
std::string commandLineProblem(const PackRequest& request);

// Whether the file at `path` can be read; false with the reason ("No such
// file or directory", "it is a folder") otherwise.
bool readableFile(const std::string& path, std::string& why);

// Packs; on failure returns false with one line in `error` and leaves nothing
// at the output path (an output that is one of the files read, by identity,
// is refused before anything is written). `warnings` receives one line per doubtful input.
bool pack(const PackRequest& request, std::string& error, std::vector<std::string>& warnings);

// Decodes a configuration file (UTF-8 with or without a mark, UTF-16 with a
// mark) into its non-empty lines; false with `error` when a line cannot be
// carried in the block.
bool readConfigLines(const std::vector<uint8_t>& bytes, std::vector<std::string>& lines, std::string& error);

// Finds the archive-length record in a stub: the offset of its value, or -1
// when the magic is missing or not unique (`count` tells how often it occurs).
int64_t findArchiveLengthField(const std::vector<uint8_t>& stub, int& count);

bool readFile(const std::string& path, std::vector<uint8_t>& out);

// Splits an argument file's text as javac and jar do: arguments between
// white space; single or double quotes around one with blanks (inside them a
// backslash takes the next character as it is). False when a quote is not
// closed.
bool splitArgumentFile(const std::string& text, std::vector<std::string>& out);

}  // namespace hux::tool
