#include "tool/jars/survey.h"

#include <algorithm>

#include "common/utf.h"
#include "common/zip_format.h"
#include "tool/payload/archive_rules.h"
#include "tool/jars/flatten.h"
#include "tool/jars/jar_facts.h"
#include "tool/text_files.h"

namespace hux::tool {

Survey::Survey(const std::vector<std::pair<std::string, std::string>>& files, const std::string& mainClass)
    : mainEntry_(mainClass.empty() ? std::string() : classEntryOf(mainClass)) {
    for (const auto& [name, path] : files) {
        if (zip::isArchiveName(name)) {
            surveyJar(name, path);
        } else if (loadableClassEntry(name)) {
            std::vector<uint8_t> data;
            if (!readFile(path, data)) continue;
            noteClass(classMajor(data.data(), data.size()), name, "");
            if (name == mainEntry_ && !mainFound_) {
                mainFound_ = true;
                mainWhere_ = "";
                mainBytes_ = std::move(data);
            }
            looseClasses_.emplace(name, path);
        }
    }
    for (const auto& [name, path] : files)
        if (zip::isArchiveName(name)) jarPaths_.push_back({name, path});
    packsClasses_ = !jarPaths_.empty() || !looseClasses_.empty();
}

std::string Survey::versionWarning(const std::vector<std::string>& lines) const {
    std::string minjre;
    const bool hasMin = configValue(lines, "minjre", minjre);
    const int allowed = hasMin ? javaReleaseOfVersion(trimmed(minjre)) : 8;
    const int needed = javaReleaseOf(newestMajor_);
    if (needed == 0 || allowed == 0 || needed <= allowed) return {};
    const std::string where =
        "'" + newestClass_ + "'" + (newestJar_.empty() ? std::string() : " in '" + newestJar_ + "'");
    return "the packed classes need Java " + std::to_string(needed) + " (class file version " +
           std::to_string(newestMajor_) + ", " + where + "), but " +
           (hasMin ? "'minjre " + trimmed(minjre) + "' allows Java " + std::to_string(allowed)
                   : std::string("without 'minjre' the launcher accepts Java 8")) +
           "; set 'minjre " + std::to_string(needed) + "'";
}

std::string Survey::mainWarning(const std::string& mainClass, bool externalClassPath) {
    if (mainEntry_.empty()) return {};
    if (!mainFound_) {
        // Nothing packed, or a class path outside: it may come from there.
        if (externalClassPath || !packsClasses_) return {};
        return "the main class '" + mainClass +
               "' is in none of the packed files (the launcher would fail with ClassNotFoundException); check "
               "'mainclass' and the jars given";
    }
    // The method may be inherited: follow the superclasses the packed
    // files hold.
    std::vector<uint8_t> bytes = mainBytes_;
    for (int depth = 0; depth < 32; ++depth) {
        std::string super;
        const MainMethod found = mainMethodOf(bytes.data(), bytes.size(), super);
        if (found == MainMethod::Runnable || found == MainMethod::NotAClass) return {};
        if (super.empty() || super == "java/lang/Object") break;
        if (!findClass(super + ".class", bytes)) return {};  // a superclass from elsewhere: cannot tell
    }
    return "'" + mainClass + "'" + (mainWhere_.empty() ? std::string() : " (in '" + mainWhere_ + "')") +
           " has no 'public static void main(String[])' (only Java 25 and later run an instance or "
           "argument-less main); name the class that has one with 'mainclass'";
}

std::string Survey::classEntryOf(const std::string& mainClass) {
    std::string entry = mainClass;
    std::replace(entry.begin(), entry.end(), '.', '/');
    return entry + ".class";
}

void Survey::noteClass(int major, const std::string& entry, const std::string& jar) {
    if (major > newestMajor_) {
        newestMajor_ = major;
        newestClass_ = entry;
        newestJar_ = jar;
    }
}

void Survey::surveyJar(const std::string& name, const std::string& path) {
    Jar jar;
    if (!jar.open(path)) return;
    for (int32_t i = 0; i < jar.count(); ++i) {
        const std::string_view entry = jar.name(i);
        const std::string hint = libraryHint(entry);
        if (!hint.empty() && hinted_.insert(hint).second) hints.push_back("'" + name + "': " + hint);
        // An archive in a nested one is reached only by a hux: URL
        // naming it; flattening refuses it instead.
        const ZipEntry& e = jar.reader().entry(i);
        const std::string tooLarge = inflatedArchiveProblem(name, entry, e.method, e.size);
        if (!tooLarge.empty()) largeArchives.push_back(tooLarge + "; hux: URLs into it will find nothing");
        if (!loadableClassEntry(entry)) continue;
        uint8_t head[8];
        size_t produced = 0;
        if (jar.head(i, head, sizeof head, produced)) noteClass(classMajor(head, produced), std::string(entry), name);
        if (!mainFound_ && entry == mainEntry_ && jar.read(i, mainBytes_)) {
            mainFound_ = true;
            mainWhere_ = name;
        }
    }
}

bool Survey::findClass(const std::string& entry, std::vector<uint8_t>& out) {
    const auto loose = looseClasses_.find(entry);
    if (loose != looseClasses_.end()) return readFile(loose->second, out);
    for (const auto& [name, path] : jarPaths_) {
        Jar jar;
        if (!jar.open(path)) continue;
        const int32_t i = jar.find(entry);
        if (i >= 0) return jar.read(i, out);
    }
    return false;
}

}  // namespace hux::tool
