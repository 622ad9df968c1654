#include "tool/jars/class_path_jars.h"

#include <filesystem>
#include <map>
#include <memory>
#include <set>

#include "archive/zip_reader.h"
#include "common/utf.h"
#include "common/zip_format.h"
#include "tool/jars/jar_facts.h"
#include "tool/jars/manifest.h"
#include "tool/packer.h"
#include "tool/payload/file_names.h"

namespace fs = std::filesystem;

namespace hux::tool {

namespace {

constexpr std::string_view kManifestName = "META-INF/MANIFEST.MF";

// The manifest's Class-Path entries of the jar at `path`; false when the file
// is not a readable zip archive.
bool jarClassPath(const std::string& path, std::vector<std::string>& entries) {
    Jar jar;
    if (!jar.open(path)) return false;
    entries.clear();
    std::vector<uint8_t> manifest;
    if (jar.manifest(manifest)) entries = manifestClassPath(manifest.data(), manifest.size());
    return true;
}

// The file's identity: its path with links resolved where it exists.
std::string identityOf(const std::string& path) {
    std::error_code ec;
    fs::path canonical = fs::weakly_canonical(fs::absolute(pathOf(path), ec), ec);
    if (ec) canonical = fs::absolute(pathOf(path), ec).lexically_normal();
    return textOf(canonical);
}

std::string withSuffix(const std::string& name, int n) {
    const size_t slash = name.rfind('/');
    const size_t dot = name.rfind('.');
    const size_t at = dot == std::string::npos || (slash != std::string::npos && dot < slash) ? name.size() : dot;
    return name.substr(0, at) + "-" + std::to_string(n) + name.substr(at);
}

class Expansion {
public:
    Expansion(const std::vector<std::pair<std::string, std::string>>& given, std::vector<std::string>& warnings,
              bool verbose)
        : warnings_(warnings), verbose_(verbose) {
        for (const auto& [name, path] : given) {
            used_.insert(name);
            if (zip::isArchiveName(name)) givenNames_.emplace(identityOf(path), name);
        }
    }

    void add(const std::string& name, const std::string& path) {
        if (!zip::isArchiveName(name)) {
            out_.emplace_back(name, path);
            return;
        }
        const std::string identity = identityOf(path);
        if (reached_.count(identity)) return;  // a Class-Path brought it earlier
        given_.insert(identity);
        out_.emplace_back(name, path);
        follow(name, path, pathOf(identity).parent_path());
    }

    std::vector<std::pair<std::string, std::string>> take() { return std::move(out_); }

private:
    // Adds the jars that the jar stored as `name` names, each followed by the
    // jars it names in turn.
    void follow(const std::string& name, const std::string& path, const fs::path& base) {
        std::vector<std::string> entries;
        if (!jarClassPath(path, entries)) return;  // not a jar: stored as a plain file
        const size_t slash = name.rfind('/');
        const std::string folder = slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
        std::vector<std::string> missing;  // told in one line, all of them when verbose
        for (const std::string& entry : entries) {
            const std::string where = "Class-Path entry '" + entry + "' of '" + name + "'";
            ClassPathTarget target;
            std::string why;
            if (!resolveClassPathEntry(textOf(base), entry, target, why)) {
                warnings_.push_back(where + ": " + why + "; left out");
                continue;
            }
            const std::string& resolved = target.path;
            std::error_code ec;
            const fs::file_status status = fs::status(pathOf(resolved), ec);
            if (!fs::exists(status)) {
                missing.push_back("'" + entry + "'" + (resolved == entry ? std::string() : " (" + resolved + ")"));
                continue;
            }
            if (target.directory || fs::is_directory(status)) {
                warnings_.push_back(where + ": '" + resolved + "' is a directory, which is not packed; left out");
                continue;
            }
            const std::string identity = identityOf(resolved);
            if (given_.count(identity) || reached_.count(identity)) continue;
            std::vector<std::string> probe;
            if (!jarClassPath(resolved, probe)) {
                warnings_.push_back(where + ": '" + resolved + "' is not a readable jar; left out");
                continue;
            }
            reached_.insert(identity);
            const auto given = givenNames_.find(identity);
            std::string stored;
            if (given != givenNames_.end()) {
                stored = given->second;
                given_.insert(identity);
            } else {
                stored = archiveName(folder, entry, resolved);
            }
            out_.emplace_back(stored, resolved);
            follow(stored, resolved, pathOf(resolved).parent_path());
        }
        // Distributions' jars often name many jars that are not installed;
        // java skips them silently.
        if (missing.empty()) return;
        std::string line = "'" + name + "': Class-Path jars that do not exist, left out as java skips them: ";
        const size_t shown = verbose_ ? missing.size() : 1;
        for (size_t i = 0; i < shown; ++i) line += (i ? ", " : "") + missing[i];
        if (shown < missing.size())
            line += " and " + std::to_string(missing.size() - shown) + " more (--verbose lists them)";
        warnings_.push_back(line);
    }

    // Where a found jar goes: its entry's path from the naming jar's folder
    // when that stays in the archive, else its file name in that folder; a
    // name that the launcher would not open as a jar gets ".jar".
    std::string archiveName(const std::string& folder, const std::string& entry, const std::string& resolved) {
        ClassPathTarget relative;
        std::string name, why;
        // Resolved against no folder, a relative entry gives its own path.
        const bool inside =
            resolveClassPathEntry("", entry, relative, why) && relative.relative &&
            normaliseEntryName(genericTextOf(pathOf(folder + relative.path).lexically_normal()), name, why);
        if (!inside) normaliseEntryName(folder + textOf(pathOf(resolved).filename()), name, why);
        if (name.empty()) name = folder + "class-path.jar";
        if (!zip::isArchiveName(name)) name += ".jar";
        std::string unique = name;
        for (int n = 2; used_.count(unique); ++n) unique = withSuffix(name, n);
        used_.insert(unique);
        return unique;
    }

    std::vector<std::string>& warnings_;
    bool verbose_;
    std::vector<std::pair<std::string, std::string>> out_;
    std::map<std::string, std::string> givenNames_;  // identity -> name given on the command line
    std::set<std::string> given_;                    // identities stored under a given name
    std::set<std::string> reached_;                  // identities a Class-Path brought
    std::set<std::string> used_;                     // archive names taken
};

}  // namespace

void addClassPathJars(std::vector<std::pair<std::string, std::string>>& files, std::vector<std::string>& warnings,
                      bool verbose) {
    Expansion expansion(files, warnings, verbose);
    for (const auto& [name, path] : files) expansion.add(name, path);
    files = expansion.take();
}

}  // namespace hux::tool
