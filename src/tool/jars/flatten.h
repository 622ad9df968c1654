// Flattening: the entries of application jars stored at the top level of the
// packed archive instead of as nested jars, for libraries that need a plain
// jar layout (their classes then come from the executable itself, as from one
// jar on the class path).
#pragma once

#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "tool/jars/manifest.h"
#include "tool/payload/zip_writer.h"

namespace hux::tool {

class Jar;

class Flattener {
public:
    Flattener(ZipWriter& zip, std::set<std::string>& names) : zip_(zip), names_(names) {}

    // Adds the entries of the jar at `path` (`label` names it in messages).
    // The first jar to bring a name wins, as on a class path; a warning
    // names a jar's hidden entries that differ from the ones kept. Index files
    // (see isIndex) and component descriptors
    // (META-INF/plexus/components.xml) of every jar are merged. Signature
    // files are dropped (the merged archive is not what was signed). The
    // first manifest is kept (without Class-Path), saying "Multi-Release:
    // true" when any jar's does, with a section for each package whose
    // attributes (titles, versions, vendors, sealing) would otherwise read
    // differently from its own jar's. False with `error` when the jar
    // cannot be read.
    bool addJar(const std::string& path, const std::string& label, std::vector<std::string>& warnings,
                std::string& error);
    // Whether `name` is an index file that readers take from every jar
    // (service lists, component indexes, Spring's handler, schema and
    // factory lists, Groovy's extension modules, Netty's versions,
    // activation's mailcap and type lists, the mail library's provider and
    // address lists, Log4j's plugin cache, HOCON defaults in
    // reference.conf); such files
    // of every input are merged into one that reads as all of them.
    static bool isIndex(const std::string& name);
    // Whether `name` is a licence or notice file (META-INF/LICENSE.txt,
    // NOTICE, META-INF/licenses/..., at the top level or under META-INF),
    // which most jars carry and whose hidden copies change no behaviour.
    static bool isNoticeFile(const std::string& name);
    // One line summing the licence and notice files that earlier jars hid,
    // over all jars added; empty when none was.
    std::string hiddenNoticesWarning() const;
    // Adds the lines of an index file that is no jar's (a support file, or an
    // application file stored at the top level).
    void addIndex(const std::string& name, const std::vector<uint8_t>& data);
    // Writes the merged index files and component descriptors.
    bool finish(std::string& error);

private:
    // Stores a merged file under `name`, which no other entry may have.
    bool addMerged(const std::string& name, const std::string& text, std::string& error);
    // Sections that give each package the attributes its own jar gives it.
    // Takes out of the kept manifest's main section the package attributes
    // that some package's own jar lacks.
    std::string packageSections();

    ZipWriter& zip_;
    std::set<std::string>& names_;
    std::map<std::string, std::string> services_;  // line indexes, merged
    // Properties files merged by key (Spring's factories, Groovy's modules)
    std::map<std::string, std::vector<std::pair<std::string, std::string>>> keyed_;
    uint32_t pluginCount_ = 0;  // the logging library's plugin cache: categories of every copy
    std::string pluginBody_;
    std::vector<std::string> mimeTypes_;       // activation's type lists, in class-path order
    std::vector<std::string> referenceConfs_;  // the configuration library's defaults, in class-path order
    bool havePlugins_ = false;
    std::string components_;  // component descriptors' elements
    bool haveComponents_ = false;
    std::string manifest_;  // the first jar's, written by finish
    uint32_t manifestTime_ = ZipWriter::kDefaultDosTime;
    int64_t manifestUnixTime_ = ZipWriter::kNoUnixTime;
    bool haveManifest_ = false;
    bool multiRelease_ = false;  // some jar says "Multi-Release: true"
    // Per jar: its manifest's package attributes, and the packages ("a/b/")
    // whose first class is its.
    struct JarPackages {
        ManifestSections attributes;
        std::vector<std::string> packages;
    };
    std::vector<JarPackages> jars_;
    size_t hiddenNotices_ = 0, noticeJars_ = 0;  // licence and notice files hidden, and in how many jars
    std::string firstNotice_;                    // "'jar': 'name'" of the first
    // Records the package of a class entry when no earlier jar brought it.
    void noteClass(JarPackages& jar, const std::string& name);
    // What one jar's entries hid: entries an earlier jar brought, licence
    // and notice files apart.
    struct Hidden {
        size_t shadowed = 0, notices = 0;
        std::string firstShadowed;
    };
    // Copies entry `i` (`name`) of `source` as it is stored, unless an
    // earlier jar brought that name.
    bool copyEntry(Jar& source, int32_t i, const std::string& name, const std::string& label, const std::string& path,
                   Hidden& hidden, JarPackages& jar, std::string& error);
    // Merges entry `i` (`name`) of `source`: an index file, a component
    // descriptor or the manifest.
    bool mergeEntry(Jar& source, int32_t i, const std::string& name, const std::string& path, JarPackages& jar,
                    std::string& error);
    std::set<std::string> packages_;  // every package seen
    // Size and CRC-32 of each jar entry kept, to tell a hidden copy of it
    // from a hidden entry that differs.
    struct Content {
        uint64_t size;
        uint32_t crc;
    };
    std::map<std::string, Content> contents_;
};

// Why the jar `data` may not work nested: libraries that read their own jar
// as a file, or list a folder only through a `jar:` URL, find nothing in a
// nested jar. One sentence naming the library, or empty.
std::string nestedJarHint(const std::vector<uint8_t>& data);
// The same for one entry name: the sentence when the entry is the class a
// library is known by.
std::string libraryHint(std::string_view entryName);

// The launcher inflates a deflated nested archive into one buffer of at most
// 2^31 - 1 bytes (a Java array's limit); a larger one never opens, and the
// classes in it are not found. Stored nested archives are read in place.
constexpr uint64_t kLargestInflatedNestedArchive = 0x7FFFFFFF;
// Why the entry `name` of the archive `label` cannot open in the launcher
// when the packed archive holds it: a nested archive stored deflated that
// inflates past kLargestInflatedNestedArchive. One clause, or empty.
std::string inflatedArchiveProblem(const std::string& label, std::string_view name, uint16_t method, uint64_t size);

// Whether `name` is a jar signature file (META-INF/*.SF, .RSA, .DSA, .EC, SIG-*).
bool isSignatureFile(const std::string& name);

}  // namespace hux::tool
