// Jar manifests as the Java runtime reads them: the main section's
// attributes, and the Class-Path attribute in particular.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace hux::tool {

// The value of the main section's attribute `name` (continuation lines
// joined), read by the rules below; false when there is none.
bool manifestAttribute(const uint8_t* data, size_t size, std::string_view name, std::string& value);

// One attribute as read: continuation lines joined.
struct ManifestAttribute {
    std::string name, value;
};

// A manifest as the runtime reads it: the main section's attributes, and
// those of every named section, where sections of the same name are one
// (in order: a later attribute of the same name wins).
struct ManifestSections {
    std::vector<ManifestAttribute> main;
    std::map<std::string, std::vector<ManifestAttribute>> sections;
};
// Reads a manifest by the rules below. Reading stops at what the runtime
// would refuse (a named section that does not start with "Name: ").
ManifestSections readManifest(const uint8_t* data, size_t size);

// The value of `name` (in any letter case) among `attributes`: the last one
// wins. Null when there is none.
const std::string* findAttribute(const std::vector<ManifestAttribute>& attributes, std::string_view name);

// The attributes that describe a package (the titles, versions and vendors
// of the API it follows and of its implementation, and "Sealed"), in their
// usual spelling.
extern const std::vector<std::string_view> kPackageAttributes;

// A package attribute as the runtime gives it to the package of directory
// `dir` ("a/b/"): the section named `dir` says, else the main section.
const std::string* packageAttribute(const ManifestSections& manifest, const std::string& dir, std::string_view name);

// One header ("Name: value") with its line end, in lines of at most 72
// bytes as the runtime writes them (a continuation line starts with a
// space; a UTF-8 character is never split).
std::string manifestHeader(std::string_view name, std::string_view value);

// The manifest with `sections` (complete named sections, each ended by an
// empty line) after its last complete line, ending the section that line is
// in first.
std::string withSections(const std::string& manifest, const std::string& sections);

// Whether the main section says "Multi-Release: true" (in any letter case),
// as the runtime decides that a jar is one.
bool saysMultiRelease(const uint8_t* data, size_t size);

// The manifest with "Multi-Release: true" at the end of its main section,
// unless it says so already; unchanged otherwise.
std::string withMultiRelease(const std::string& manifest);

// The entries of the main section's Class-Path attribute, in order; empty
// when there is none. Lines end in CR, LF or CR LF; a line starting with a
// space continues the previous one (without that space); a last line with no
// line end after it does not count; names compare without regard to case and
// the last of repeated attributes wins; entries are separated by white space.
std::vector<std::string> manifestClassPath(const uint8_t* data, size_t size);

// The manifest without the main section's Class-Path attribute (with its
// continuation lines); everything else byte for byte. `removed` tells whether
// there was one.
std::string withoutClassPath(const std::string& manifest, bool& removed);
// The same for every main-section attribute named in `names` (any letter case).
std::string withoutMainAttributes(const std::string& manifest, const std::vector<std::string_view>& names,
                                  bool& removed);

// One Class-Path entry resolved against the directory of the jar that names
// it (`jarDir`, a file-system path), as a `file:` URL relative to that jar
// would be: "%XX" escapes decoded, "." and ".." applied to the path's text,
// "file:" URLs taken, a fragment ("#...") dropped. False with `why` for what
// cannot be a local jar: another scheme, a "file://host/" URL, a broken
// escape, an empty path.
struct ClassPathTarget {
    std::string path;        // resolved; relative to nothing when `jarDir` is empty
    bool directory = false;  // the entry ends in '/'
    bool relative = false;   // the entry is a relative path (not "/..." nor "file:/...")
};
bool resolveClassPathEntry(const std::string& jarDir, const std::string& entry, ClassPathTarget& target,
                           std::string& why);

}  // namespace hux::tool
