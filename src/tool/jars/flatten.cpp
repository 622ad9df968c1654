#include "tool/jars/flatten.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "archive/zip_reader.h"
#include "common/zip_format.h"
#include "common/utf.h"
#include "tool/jars/index_files.h"
#include "tool/jars/jar_facts.h"
#include "tool/jars/manifest.h"
#include "tool/packer.h"
#include "tool/payload/file_names.h"

namespace hux::tool {

namespace {

constexpr const char kMetaInf[] = "META-INF/";
constexpr const char kServices[] = "META-INF/services/";
constexpr const char kSisuIndexes[] = "META-INF/sisu/";
constexpr const char kPlexusComponents[] = "META-INF/plexus/components.xml";
constexpr const char kManifest[] = "META-INF/MANIFEST.MF";

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// A module's descriptor, at the top level or in a multi-release version
// folder: a class path never reads one.
bool isModuleDescriptor(const std::string& name) {
    return name == "module-info.class" ||
           (startsWith(name, "META-INF/versions/") && endsWith(name, "/module-info.class"));
}

constexpr const char kSpringIndexes[] = "META-INF/spring/";
constexpr const char kSpringFactories[] = "META-INF/spring.factories";
constexpr const char kGroovyModule[] = "org.codehaus.groovy.runtime.ExtensionModule";
constexpr const char kMimeTypes[] = "META-INF/mime.types";
constexpr const char kReferenceConf[] = "reference.conf";
constexpr const char kLog4jPlugins[] = "META-INF/org/apache/logging/log4j/core/config/plugins/Log4j2Plugins.dat";

// Properties files whose reader takes a key's lists from every copy, and
// which keys are such lists: Spring's factory lists (every key), Groovy's
// extension-module descriptors (the extension class lists; the module's
// name and version stay the first copy's, and every copy's methods are
// registered).
bool mergesKeys(const std::string& name) {
    return name == kSpringFactories || name == std::string(kServices) + kGroovyModule ||
           name == std::string("META-INF/groovy/") + kGroovyModule;
}
bool joinsKey(const std::string& name, const std::string& key) {
    return name == kSpringFactories || key == "extensionClasses" || key == "staticExtensionClasses";
}
// Index files whose readers take every jar's copy in class-path order and
// read them as one text: one name per line (service lists, component
// indexes, Spring's import lists), or properties where a later copy's key
// wins (Spring's namespace handlers, schemas and tooling, Netty's version
// list, the mail library's address-type map), or entries where the first
// copy's wins and, within a copy, the first entry (activation's mailcap, the
// mail library's provider list). Every jar's lines are kept, in order.
bool isLineIndex(const std::string& name) {
    auto directlyIn = [&](const char* folder, size_t length) {
        return startsWith(name, folder) && name.size() > length && name.find('/', length) == std::string::npos;
    };
    if (directlyIn(kServices, sizeof kServices - 1) || directlyIn(kSisuIndexes, sizeof kSisuIndexes - 1)) return true;
    if (directlyIn(kSpringIndexes, sizeof kSpringIndexes - 1) && name.size() > 8 &&
        name.compare(name.size() - 8, 8, ".imports") == 0)
        return true;
    return name == "META-INF/spring.handlers" || name == "META-INF/spring.schemas" ||
           name == "META-INF/spring.tooling" || name == "META-INF/io.netty.versions.properties" ||
           name == "META-INF/mailcap" || name == "META-INF/javamail.providers" ||
           name == "META-INF/javamail.address.map";
}

// The <component> elements of a component descriptor: what lies between its
// <components> and </components>; false when there is no such list.
bool componentList(const std::string& xml, std::string& inner) {
    const size_t open = xml.find("<components>");
    const size_t close = xml.rfind("</components>");
    if (open == std::string::npos || close == std::string::npos || close < open) return false;
    inner = xml.substr(open + 12, close - open - 12);
    return true;
}

bool endsWithIgnoreCase(const std::string& s, const char* suffix) {
    const std::string_view tail(suffix);
    return s.size() >= tail.size() && equalsIgnoreCase(std::string_view(s).substr(s.size() - tail.size()), tail);
}

// The package attributes of a manifest, without the rest (a signed jar's
// manifest has a section for every entry).
ManifestSections packageAttributesOf(const std::vector<uint8_t>& manifest) {
    ManifestSections all = readManifest(manifest.data(), manifest.size());
    auto keep = [](std::vector<ManifestAttribute>& attributes) {
        std::vector<ManifestAttribute> kept;
        for (ManifestAttribute& a : attributes)
            for (std::string_view name : kPackageAttributes)
                if (equalsIgnoreCase(a.name, name)) kept.push_back({std::string(name), std::move(a.value)});
        attributes = std::move(kept);
        return !attributes.empty();
    };
    ManifestSections out;
    keep(all.main);
    out.main = std::move(all.main);
    for (auto& [name, attributes] : all.sections)
        if (keep(attributes)) out.sections.emplace(name, std::move(attributes));
    return out;
}

}  // namespace

std::string libraryHint(std::string_view entryName) {
    // A class each such library always has, and what then fails.
    static const std::pair<const char*, const char*> kLibraries[] = {
        {"org/springframework/core/io/support/PathMatchingResourcePatternResolver.class",
         "Spring's classpath*: patterns and component scan find nothing in a nested jar"},
        {"org/python/core/PySystemState.class", "Jython finds its Lib only in a jar file"},
        {"org/apache/tools/ant/launch/Launcher.class", "Ant's launcher looks for Ant's jars beside its own jar file"},
        // The Kotlin compiler (also in its relocated, embeddable form) finds
        // its home through IntelliJ's PathManager, from a jar: or file: URL.
        {"com/intellij/openapi/application/PathManager.class",
         "IntelliJ's PathManager (the Kotlin compiler) finds its home only from a jar file"},
        {"org/jetbrains/kotlin/com/intellij/openapi/application/PathManager.class",
         "IntelliJ's PathManager (the Kotlin compiler) finds its home only from a jar file"},
        // Scanners that list a package's classes by reading jar files or
        // file: directories named by the class path or a jar: URL.
        {"org/testng/TestNG.class", "TestNG finds the test classes of a package or suite only in a jar file"},
        {"org/junit/platform/commons/util/ClasspathScanner.class",
         "JUnit's class-path scan (package, class-path root and module selectors) finds nothing in a nested jar"},
        {"io/github/classgraph/ClassGraph.class", "ClassGraph's scan finds nothing in a nested jar"},
        {"org/hibernate/boot/archive/scan/spi/AbstractScannerImpl.class",
         "Hibernate's entity scan finds no annotated classes in a nested jar"},
        {"org/jboss/weld/environment/se/Weld.class",
         "Weld (CDI) discovers bean archives only in jar files and directories"},
        // An in-process compiler compiles against what java.class.path lists.
        {"org/eclipse/jdt/internal/compiler/batch/Main.class",
         "the Eclipse compiler compiles against the jars java.class.path lists, and finds no nested jar there"},
    };
    for (const auto& [marker, hint] : kLibraries)
        if (entryName == marker) return hint;
    return {};
}

std::string nestedJarHint(const std::vector<uint8_t>& data) {
    ZipReader reader;
    if (!reader.open(std::make_unique<MemorySource>(data.data(), data.size()))) return {};
    for (int32_t i = 0; i < reader.entryCount(); ++i) {
        const ZipEntry& e = reader.entry(i);
        const std::string hint = libraryHint(std::string_view(e.name, static_cast<size_t>(e.nameLength)));
        if (!hint.empty()) return hint;
    }
    return {};
}

std::string inflatedArchiveProblem(const std::string& label, std::string_view name, uint16_t method, uint64_t size) {
    if (method != 8 || size <= kLargestInflatedNestedArchive || !zip::isArchiveName(name)) return {};
    char gib[32];
    std::snprintf(gib, sizeof gib, "%.1f", static_cast<double>(size) / (1024.0 * 1024.0 * 1024.0));
    return "'" + label + "': the archive '" + std::string(name) + "' in it is deflated and inflates to " + gib +
           " GiB; the launcher opens deflated nested archives of up to 2 GiB";
}

bool isSignatureFile(const std::string& name) {
    if (name.compare(0, sizeof kMetaInf - 1, kMetaInf) != 0) return false;
    const std::string rest = name.substr(sizeof kMetaInf - 1);
    if (rest.find('/') != std::string::npos) return false;
    return endsWithIgnoreCase(rest, ".SF") || endsWithIgnoreCase(rest, ".RSA") || endsWithIgnoreCase(rest, ".DSA") ||
           endsWithIgnoreCase(rest, ".EC") || (rest.size() > 4 && equalsIgnoreCase(rest.substr(0, 4), "SIG-"));
}

void Flattener::noteClass(JarPackages& jar, const std::string& name) {
    // A package is defined from the jar of its first class loaded: the
    // first jar to hold one of its classes.
    const size_t slash = name.rfind('/');
    if (slash != std::string::npos && !startsWith(name, kMetaInf) && name.size() > 6 &&
        name.compare(name.size() - 6, 6, ".class") == 0 && packages_.insert(name.substr(0, slash + 1)).second)
        jar.packages.push_back(name.substr(0, slash + 1));
}

bool Flattener::copyEntry(Jar& source, int32_t i, const std::string& name, const std::string& label,
                          const std::string& path, Hidden& hidden, JarPackages& jar, std::string& error) {
    const ZipEntry& e = source.reader().entry(i);
    noteClass(jar, name);
    if (!names_.insert(name).second) {
        // A copy of what an earlier jar brought (a licence file, a
        // repackaged class) changes nothing a reader gets.
        const auto kept = contents_.find(name);
        const bool same = kept != contents_.end() && kept->second.size == e.size && kept->second.crc == e.crc;
        if (same || isModuleDescriptor(name)) {
            // A class path never reads a module descriptor: the copy hidden changes nothing.
        } else if (isNoticeFile(name)) {
            if (hidden.notices++ == 0 && firstNotice_.empty()) firstNotice_ = "'" + label + "': '" + name + "'";
        } else if (hidden.shadowed++ == 0) {
            hidden.firstShadowed = name;
        }
        return true;
    }
    contents_.emplace(name, Content{e.size, e.crc});
    const uint8_t* stored = source.rawData(i);
    if (!stored) {
        error = "'" + path + "': entry '" + name + "' is damaged";
        return false;
    }
    // Entry times stay, extended timestamps included: runtimes
    // compare a class's time with its source's, and a reader converts
    // an MS-DOS time through the time-zone rules where an extended
    // one is missing.
    return zip_.addRaw(name, stored, e.compressedSize,
                       e.method == 8 ? ZipWriter::Method::Deflated : ZipWriter::Method::Stored, e.crc, e.size, error,
                       e.dosTime, e.modifiedSeconds);
}

bool Flattener::mergeEntry(Jar& source, int32_t i, const std::string& name, const std::string& path, JarPackages& jar,
                           std::string& error) {
    const ZipEntry& e = source.reader().entry(i);
    std::vector<uint8_t> data(e.size);
    if (!source.reader().readEntry(i, data.data())) {
        error = "'" + path + "': entry '" + name + "' is damaged";
        return false;
    }
    if (isIndex(name)) {
        addIndex(name, data);
        return true;
    }
    std::string inner;
    if (name == kPlexusComponents && componentList(std::string(data.begin(), data.end()), inner)) {
        components_ += inner;
        haveComponents_ = true;
        return true;
    }
    if (name != kManifest) {  // a component descriptor without a list: an entry like others
        if (names_.insert(name).second &&
            !zip_.add(name, data, ZipWriter::Method::Deflated, error, e.dosTime, e.modifiedSeconds))
            return false;
        return true;
    }
    // The manifest: the first jar's is kept.
    multiRelease_ = multiRelease_ || saysMultiRelease(data.data(), data.size());
    jar.attributes = packageAttributesOf(data);
    if (!names_.insert(name).second) return true;
    // The executable is on the runtime's class path: a Class-Path here
    // would make it load jars beside the executable (the packer packs
    // the named jars instead). Written last, once it is known whether
    // any jar is a multi-release one.
    bool removed = false;
    manifest_ = withoutClassPath(std::string(data.begin(), data.end()), removed);
    manifestTime_ = e.dosTime;
    manifestUnixTime_ = e.modifiedSeconds;
    haveManifest_ = true;
    return true;
}

bool Flattener::addJar(const std::string& path, const std::string& label, std::vector<std::string>& warnings,
                       std::string& error) {
    // The jar is mapped; entries that go over unchanged are copied as they
    // are stored, without inflating and deflating them again.
    Jar source;
    if (!source.open(path)) {
        error = std::filesystem::is_regular_file(pathOf(path)) ? "'" + path + "' is not a readable jar"
                                                               : "cannot read '" + path + "'";
        return false;
    }
    ZipReader& reader = source.reader();
    Hidden hidden;
    JarPackages& jar = jars_.emplace_back();
    bool isSigned = false;
    for (int32_t i = 0; i < reader.entryCount(); ++i) {
        const ZipEntry& e = reader.entry(i);
        const std::string raw(e.name, static_cast<size_t>(e.nameLength));
        const bool directory = !raw.empty() && raw.back() == '/';
        std::string name, why;
        if (!normaliseEntryName(directory ? raw.substr(0, raw.size() - 1) : raw, name, why)) {
            warnings.push_back("'" + label + "': entry '" + raw + "' left out (not a plain relative name)");
            continue;
        }
        if (directory) name += '/';
        // Signatures no longer match the merged archive, and one jar's
        // package index would misdescribe it.
        if (name.back() == '/' || isSignatureFile(name) || name == "META-INF/INDEX.LIST") {
            if (!isSigned && endsWithIgnoreCase(name, ".SF")) {
                isSigned = true;
                warnings.push_back("'" + label +
                                   "' is signed: flattened, its signature is dropped and its classes run unverified "
                                   "(pack without --flatten to keep the check)");
            }
            if (name.back() == '/' && names_.insert(name).second &&
                !zip_.add(name, {}, ZipWriter::Method::Stored, error, e.dosTime, e.modifiedSeconds))
                return false;
            continue;
        }
        // Flattened, a deflated archive lands at the top level, where the
        // launcher opens it as a nested one: it must inflate in one buffer.
        const std::string tooLarge = inflatedArchiveProblem(label, name, e.method, e.size);
        if (!tooLarge.empty()) {
            error = tooLarge + " (pack it as a file of its own: it is then stored)";
            return false;
        }
        if (!reader.canRead(i)) {
            error = "'" + path + "': entry '" + name + "' cannot be read";
            return false;
        }
        if (name != kManifest && !isIndex(name) && name != kPlexusComponents) {
            if (!copyEntry(source, i, name, label, path, hidden, jar, error)) return false;
            continue;
        }
        if (!mergeEntry(source, i, name, path, jar, error)) return false;
    }
    hiddenNotices_ += hidden.notices;
    noticeJars_ += hidden.notices > 0;
    if (hidden.shadowed == 1)
        warnings.push_back("'" + label + "': 1 entry is hidden by an earlier one ('" + hidden.firstShadowed + "')");
    else if (hidden.shadowed > 1)
        warnings.push_back("'" + label + "': " + std::to_string(hidden.shadowed) +
                           " entries are hidden by earlier ones (first: '" + hidden.firstShadowed + "')");
    return true;
}

bool Flattener::isNoticeFile(const std::string& name) {
    if (endsWith(name, ".class")) return false;
    const size_t slash = name.rfind('/');
    if (slash != std::string::npos && !startsWith(name, kMetaInf)) return false;
    std::string upper = name;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (upper.find("/LICENSES/") != std::string::npos || upper.find("/LICENSE/") != std::string::npos) return true;
    const std::string base = upper.substr(slash == std::string::npos ? 0 : slash + 1);
    for (const char* prefix : {"LICENSE", "LICENCE", "NOTICE", "COPYING", "COPYRIGHT", "DEPENDENCIES", "THIRD-PARTY",
                               "THIRD_PARTY", "THIRDPARTY", "README", "ABOUT.HTML", "AL2.0", "ASL2.0", "LGPL2.1"})
        if (startsWith(base, prefix)) return true;
    return false;
}

std::string Flattener::hiddenNoticesWarning() const {
    if (hiddenNotices_ == 0) return {};
    return std::to_string(hiddenNotices_) + " licence and notice file" + (hiddenNotices_ == 1 ? "" : "s") + " in " +
           std::to_string(noticeJars_) + " jar" + (noticeJars_ == 1 ? "" : "s") +
           (hiddenNotices_ == 1 ? " is" : " are") + " hidden by earlier jars' copies (first: " + firstNotice_ + ")";
}

std::string Flattener::packageSections() {
    // A section can give a package a value but cannot take back one the main
    // section gives: a package attribute that some package's own jar lacks
    // leaves the main section, and the packages that have it get it in
    // sections of their own.
    ManifestSections merged = readManifest(reinterpret_cast<const uint8_t*>(manifest_.data()), manifest_.size());
    std::vector<std::string_view> lacking;
    for (std::string_view name : kPackageAttributes) {
        if (!findAttribute(merged.main, name)) continue;
        bool lacked = false;
        for (const JarPackages& jar : jars_)
            for (const std::string& dir : jar.packages) {
                const auto kept = merged.sections.find(dir);
                const bool sectionSays = kept != merged.sections.end() && findAttribute(kept->second, name);
                lacked = lacked || (!sectionSays && !packageAttribute(jar.attributes, dir, name));
            }
        if (lacked) lacking.push_back(name);
    }
    if (!lacking.empty()) {
        bool removed = false;
        manifest_ = withoutMainAttributes(manifest_, lacking, removed);
        merged = readManifest(reinterpret_cast<const uint8_t*>(manifest_.data()), manifest_.size());
    }
    std::string sections;
    for (const JarPackages& jar : jars_) {
        for (const std::string& dir : jar.packages) {
            std::string section;
            for (std::string_view name : kPackageAttributes) {
                const std::string* own = packageAttribute(jar.attributes, dir, name);
                const std::string* read = packageAttribute(merged, dir, name);
                // Only the attributes the jar has: one it lacks reads as
                // absent already.
                if (own == nullptr || (read != nullptr && *own == *read)) continue;
                // A second value in a section the manifest has already would
                // make the runtime warn of a duplicate on standard error.
                const auto kept = merged.sections.find(dir);
                if (kept != merged.sections.end() && findAttribute(kept->second, name) != nullptr) continue;
                section += manifestHeader(name, *own);
            }
            if (!section.empty()) sections += manifestHeader("Name", dir) + section + "\r\n";
        }
    }
    return sections;
}

bool Flattener::isIndex(const std::string& name) {
    return isLineIndex(name) || mergesKeys(name) || name == kLog4jPlugins || name == kMimeTypes ||
           name == kReferenceConf;
}

void Flattener::addIndex(const std::string& name, const std::vector<uint8_t>& data) {
    if (name == kLog4jPlugins) {
        // The reader takes the copies' categories one after the other and
        // lets the first entry of a name win: one list of all the copies'
        // categories reads the same. A copy it cannot read is left out.
        uint32_t count = 0;
        size_t end = 0;
        if (log4jPluginCategories(data, count, end) && count <= UINT32_MAX - pluginCount_) {
            pluginCount_ += count;
            pluginBody_.append(data.begin() + 4, data.begin() + static_cast<std::ptrdiff_t>(end));
            havePlugins_ = true;
        }
        return;
    }
    const std::string text(data.begin(), data.end());
    if (name == kReferenceConf) {
        referenceConfs_.push_back(text);
        return;
    }
    if (name == kMimeTypes) {
        // Activation lets the first copy's type of an extension win, and
        // within one file the last entry: the copies are joined last first.
        mimeTypes_.push_back(text);
        return;
    }
    if (mergesKeys(name)) {
        // Lists joined with "," in class-path order, as their readers join
        // them; for other keys the first copy's value stays.
        auto& merged = keyed_[name];
        for (auto& [key, value] : rawProperties(text)) {
            auto same =
                std::find_if(merged.begin(), merged.end(), [&key = key](const auto& kv) { return kv.first == key; });
            if (same == merged.end())
                merged.emplace_back(key, value);
            else if (joinsKey(name, key) && !value.empty())
                same->second += (same->second.empty() ? "" : ",") + value;
        }
        return;
    }
    std::string& merged = services_[name];
    merged += text;
    if (merged.empty()) return;
    // Each copy starts on a line of its own, also after a last line that a
    // backslash would continue.
    if (merged.back() != '\n') merged.push_back('\n');
    size_t end = merged.size() - 1;  // the last line's end
    if (end > 0 && merged[end - 1] == '\r') --end;
    size_t slashes = 0;
    while (end > slashes && merged[end - 1 - slashes] == '\\') ++slashes;
    if (slashes % 2 == 1) merged.push_back('\n');
}

bool Flattener::addMerged(const std::string& name, const std::string& text, std::string& error) {
    if (!names_.insert(name).second) {
        error = "duplicate archive name '" + name + "'";
        return false;
    }
    return zip_.add(name, std::vector<uint8_t>(text.begin(), text.end()), ZipWriter::Method::Deflated, error);
}

bool Flattener::finish(std::string& error) {
    for (const auto& [name, text] : services_)
        if (!addMerged(name, text, error)) return false;
    services_.clear();
    if (havePlugins_) {
        std::string bytes(4, '\0');
        for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>(pluginCount_ >> (24 - 8 * i));
        if (!addMerged(kLog4jPlugins, bytes + pluginBody_, error)) return false;
        havePlugins_ = false;
    }
    if (!mimeTypes_.empty()) {
        std::string text;
        for (auto copy = mimeTypes_.rbegin(); copy != mimeTypes_.rend(); ++copy)
            if (!copy->empty()) text += *copy + (copy->back() == '\n' ? "" : "\n");
        if (!addMerged(kMimeTypes, text, error)) return false;
        mimeTypes_.clear();
    }
    if (!referenceConfs_.empty()) {
        // The configuration library reads every copy and lets the first
        // copy's value of a key win, merging objects: in one document a later
        // value wins and objects merge, so the copies are joined last first.
        std::string text;
        for (auto copy = referenceConfs_.rbegin(); copy != referenceConfs_.rend(); ++copy) {
            std::string body;
            if (!hoconRootBody(*copy, body)) {
                // One that cannot be joined: the first copy, as before.
                text = referenceConfs_.front();
                break;
            }
            text += body + "\n";
        }
        if (referenceConfs_.size() == 1) text = referenceConfs_.front();
        if (!addMerged(kReferenceConf, text, error)) return false;
        referenceConfs_.clear();
    }
    for (const auto& [name, pairs] : keyed_) {
        std::string text;
        for (const auto& [key, value] : pairs) text += key + "=" + value + "\n";
        if (!addMerged(name, text, error)) return false;
    }
    keyed_.clear();
    // One multi-release jar makes the merged archive one, so that its
    // versioned classes serve as they do from the jar (versions that only
    // other jars hold are rare: a jar that is no multi-release one seldom
    // has version directories).
    if (multiRelease_ && !haveManifest_) {
        manifest_ = "Manifest-Version: 1.0\r\n";
        haveManifest_ = names_.insert(kManifest).second;
        if (!haveManifest_) {
            error = std::string("duplicate archive name '") + kManifest + "'";
            return false;
        }
        manifestTime_ = ZipWriter::kDefaultDosTime;
        manifestUnixTime_ = ZipWriter::kNoUnixTime;
    }
    if (haveManifest_) {
        if (multiRelease_) manifest_ = withMultiRelease(manifest_);
        const std::string sections = packageSections();  // may take attributes out of manifest_
        manifest_ = withSections(manifest_, sections);
        if (!zip_.add(kManifest, std::vector<uint8_t>(manifest_.begin(), manifest_.end()), ZipWriter::Method::Deflated,
                      error, manifestTime_, manifestUnixTime_))
            return false;
        haveManifest_ = false;
    }
    if (haveComponents_) {
        const std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<component-set>\n  <components>" +
                                components_ + "</components>\n</component-set>\n";
        if (!addMerged(kPlexusComponents, xml, error)) return false;
        haveComponents_ = false;
    }
    return true;
}

}  // namespace hux::tool
