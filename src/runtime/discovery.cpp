#include "runtime/discovery.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "common/never_destroyed.h"
#include "common/utf.h"
#include "config/config_values.h"
#include "config/paths.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "platform/libraries.h"
#include "platform/registry.h"
#include "platform/runtime_location.h"
#include "platform/splash_support.h"
#include "config/debug_log.h"
#include "platform/vm_support.h"
#include "runtime/candidate_filter.h"
#include "runtime/embedded_runtime.h"
#include "runtime/version_limits.h"

namespace hux {

namespace {

struct SearchMemo {
    bool searched = false;
    RuntimeChoice choice;
};

SearchMemo& searchMemo() {
    static NeverDestroyed<SearchMemo> memo;
    return *memo;
}

bool preferenceInForce(const ByteString& preference) { return preference.length() > 1; }

// Accepts a candidate when it exists and may be read; `source` names where
// the candidate came from for the debug lines. One found beside the
// executable (lying below its directory, or reached through a path
// configured relative to it) must also be the running user's to trust: a
// library there that another user could have put or changed runs their code.
bool tryCandidate(const LaunchConfig& config, const ByteString& candidate, const char* source,
                  bool relativeToExecutable = false) {
    if (!platform::isReadable(candidate.c_str())) {
        debugLog("candidate %s (%s): %s", shownPath(candidate.view()).c_str(), shownPath(source).c_str(),
                 platform::pathExists(candidate.c_str()) ? "not readable" : "missing");
        return false;
    }
    if (!relativeToExecutable && !liesBesideExecutable(config, candidate)) return true;
    return trustedBesideExecutable(config, candidate, source);
}

// Runtime registration keys searched by the `s` source, in order: the two
// classic keys, then the ones current installers and JDKs write.
const char* const kJavaSoftKeys[] = {"SOFTWARE\\JavaSoft\\JRE", "SOFTWARE\\JavaSoft\\Java Runtime Environment",
                                     "SOFTWARE\\JavaSoft\\JDK", "SOFTWARE\\JavaSoft\\Java Development Kit"};

// Keys under which the common distributions register their installations,
// read after the JavaSoft keys: a tree of version (and VM) subkeys whose
// leaves name the runtime's home in "InstallationPath", "JavaHome", or "Path"
// of a key named "MSI".
const char* const kVendorKeys[] = {
    "SOFTWARE\\Eclipse Adoptium",   "SOFTWARE\\Eclipse Foundation",
    "SOFTWARE\\AdoptOpenJDK",       "SOFTWARE\\Azul Systems\\Zulu",
    "SOFTWARE\\Amazon Corretto",    "SOFTWARE\\Microsoft\\JDK",
    "SOFTWARE\\BellSoft\\Liberica", "SOFTWARE\\Semeru",
    "SOFTWARE\\IBM\\Semeru",
};
constexpr int kVendorDepth = 4;

// Per-machine registrations first, then the user's own (per-user installs).
// Both in the process's own view, so a 64-bit launcher never meets a 32-bit
// runtime's registration and a 32-bit one reads the 32-bit view.
const platform::RegistryRoot kRegistryRoots[] = {platform::RegistryRoot::LocalMachine,
                                                 platform::RegistryRoot::CurrentUser};

const char* rootLabel(platform::RegistryRoot root) {
    return root == platform::RegistryRoot::CurrentUser ? "HKCU" : "HKLM";
}

// The version a key name carries ("17.0.8.101", "zulu-17", "Liberica JDK 21"):
// the text from its first digit on.
const char* versionPart(std::string_view name, const std::string& holder) {
    const size_t digit = name.find_first_of("0123456789");
    return digit == std::string_view::npos ? "" : holder.c_str() + digit;
}

// Subkey names, highest version first; names without a version keep the
// listing's order after them.
std::vector<std::string> subkeysHighestFirst(platform::RegistryRoot root, const std::string& key) {
    StringList names;
    std::vector<std::string> out;
    if (!platform::listRegistrySubkeys(root, key.c_str(), names)) return out;
    for (int32_t i = 0; i < names.count(); ++i) out.emplace_back(names.view(i));
    std::stable_sort(out.begin(), out.end(), [](const std::string& a, const std::string& b) {
        const char* va = versionPart(a, a);
        const char* vb = versionPart(b, b);
        if (!*va || !*vb) return *va && !*vb;
        return compareVersionTexts(va, vb) > 0;
    });
    return out;
}

// Cuts `path` at its last separator that is not the first character (the
// separator goes too); false when there is none.
bool cutLastComponent(ByteString& path) {
    for (int32_t i = path.length() - 1; i > 0; --i) {
        if (isSeparator(path[i])) {
            path.resize(i);
            return true;
        }
    }
    return false;
}

// Reads JAVA_VERSION="..." out of a release file; false when the file is not
// there. `version` is empty when the file names none.
bool readReleaseFile(const ByteString& path, ByteString& version) {
    version.clear();
    platform::InputFile file;
    if (!platform::isReadable(path.c_str()) || platform::isDirectory(path.c_str()) || !file.open(path.c_str()))
        return false;
    const int64_t size = std::min<int64_t>(file.size(), 64 * 1024);
    std::string text(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0 && !file.readAt(0, text.data(), text.size())) return true;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find_first_of("\r\n", at);
        if (end == std::string::npos) end = text.size();
        std::string_view line(text.data() + at, end - at);
        at = end + 1;
        constexpr std::string_view key = "JAVA_VERSION=";
        if (line.substr(0, key.size()) != key) continue;
        line.remove_prefix(key.size());
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
        if (line.size() >= 2 && line.front() == '"' && line.back() == '"') line = line.substr(1, line.size() - 2);
        version.assign(line);
        break;
    }
    return true;
}

// The library a version subkey of a registration names: "RuntimeLib" (taken
// as it is unless a VM preference is in force), else "JavaHome" probed.
ByteString registryLabel(platform::RegistryRoot root, std::string_view key) {
    ByteString source("registry key ");
    source.append(rootLabel(root));
    source.push('\\');
    source.append(key);
    return source;
}

ByteString registeredRuntime(const LaunchConfig& config, platform::RegistryRoot root, const ByteString& key) {
    const ByteString source = registryLabel(root, key.view());
    ByteString runtimeLib;
    if (platform::readRegistryString(root, key.c_str(), "RuntimeLib", runtimeLib)) {
        if (!preferenceInForce(config::vmPreference(config)) && tryCandidate(config, runtimeLib, source.c_str()))
            return runtimeLib;
        // Two components up from <bin>/<vm>/<library> is the bin directory.
        cutLastComponent(runtimeLib);
        cutLastComponent(runtimeLib);
        return probeRuntimeDirectory(config, runtimeLib, source.c_str());
    }
    ByteString javaHome;
    if (platform::readRegistryString(root, key.c_str(), "JavaHome", javaHome))
        return probeRuntimeDirectory(config, javaHome, source.c_str());
    debugLog("registry key %s\\%s: neither RuntimeLib nor JavaHome", rootLabel(root), key.c_str());
    return {};
}

// One JavaSoft-style registration key: the version CurrentVersion names
// first, then every other version subkey, highest first (a missing or stale
// CurrentVersion leaves the others to choose from).
void offerRegistrations(const LaunchConfig& config, CandidateFilter& filter, platform::RegistryRoot root,
                        const char* keyPath) {
    ByteString current;
    if (platform::readRegistryString(root, keyPath, "CurrentVersion", current)) {
        ByteString key(keyPath);
        key.push('\\');
        key.append(current);
        if (filter.offer(registeredRuntime(config, root, key), registryLabel(root, key.view()).c_str())) return;
    } else {
        debugLog("registry key %s\\%s: no CurrentVersion", rootLabel(root), keyPath);
    }
    for (const std::string& version : subkeysHighestFirst(root, keyPath)) {
        if (version == current.view()) continue;
        ByteString key(keyPath);
        key.push('\\');
        key.append(version);
        if (filter.offer(registeredRuntime(config, root, key), registryLabel(root, key.view()).c_str())) return;
    }
}

// A distribution's registration tree: each key's home values, then its
// subkeys, highest version first.
void offerVendorTree(const LaunchConfig& config, CandidateFilter& filter, platform::RegistryRoot root,
                     const std::string& key, int depth) {
    const ByteString source = registryLabel(root, key);
    const size_t slash = key.rfind('\\');
    const std::string_view last = std::string_view(key).substr(slash == std::string::npos ? 0 : slash + 1);
    const bool msi =
        last.size() == 3 && asciiLower(last[0]) == 'm' && asciiLower(last[1]) == 's' && asciiLower(last[2]) == 'i';
    bool named = false;
    for (const char* value : {"InstallationPath", "JavaHome", msi ? "Path" : nullptr}) {
        ByteString home;
        if (!value || !platform::readRegistryString(root, key.c_str(), value, home) || home.empty()) continue;
        named = true;
        if (filter.offer(probeRuntimeDirectory(config, home, source.c_str()), source.c_str())) return;
    }
    // Each key tried is told, the absent ones too.
    if (!named)
        debugLog("registry key %s\\%s: %s", rootLabel(root), key.c_str(),
                 msi ? "no InstallationPath, JavaHome or Path" : "no InstallationPath or JavaHome");
    if (depth == 0) return;
    for (const std::string& sub : subkeysHighestFirst(root, key)) {
        offerVendorTree(config, filter, root, key + "\\" + sub, depth - 1);
        if (filter.taken()) return;
    }
}

// Two levels above <home>/bin/java.
void offerJavaOnPath(const LaunchConfig& config, CandidateFilter& filter) {
    ByteString launcher;
    if (!platform::javaLauncherOnPath(launcher)) {
        debugLog("PATH: no java");
        return;
    }
    ByteString home = launcher;
    if (!cutLastComponent(home) || !cutLastComponent(home)) return;
    ByteString source("java on PATH ");
    source.append(launcher);
    filter.offer(probeRuntimeDirectory(config, home, source.c_str()), source.c_str());
}

// The `s` source: the registrations (or, where there is no registry, the
// system's default runtimes), then the `java` on PATH.
void offerSystemRuntimes(const LaunchConfig& config, CandidateFilter& filter) {
    if (platform::hasRegistry()) {
        for (const char* key : kJavaSoftKeys) {
            for (platform::RegistryRoot root : kRegistryRoots) {
                offerRegistrations(config, filter, root, key);
                if (filter.taken()) return;
            }
        }
        for (const char* key : kVendorKeys) {
            for (platform::RegistryRoot root : kRegistryRoots) {
                offerVendorTree(config, filter, root, key, kVendorDepth);
                if (filter.taken()) return;
            }
        }
    } else {
        StringList homes;
        platform::systemRuntimeHomes(homes);
        for (int32_t h = 0; h < homes.count(); ++h) {
            ByteString source("system runtime ");
            source.append(homes.view(h));
            if (filter.offer(probeRuntimeDirectory(config, ByteString(homes.view(h)), source.c_str()), source.c_str()))
                return;
        }
    }
    offerJavaOnPath(config, filter);
}

}  // namespace

ByteString runtimeSearchOrder(const LaunchConfig& config) {
    ByteString order = config::jreOrder(config);
    bool known = false;
    for (int32_t i = 0; i < order.length(); ++i) {
        order[i] = asciiLower(order[i]);
        if (order[i] == 'c' || order[i] == 'b' || order[i] == 'r' || order[i] == 's' || order[i] == 'i' ||
            order[i] == 'e')
            known = true;
    }
    // An executable carrying its runtime takes it right after the private jre.
    if (!known) order.assign(payloadCarriesRuntime(config) ? "cbrsie" : "cbsie");
    return order;
}

ByteString probeRuntimeDirectory(const LaunchConfig& config, const ByteString& directory, const char* source,
                                 bool relativeToExecutable) {
    ByteString label;
    if (!source) {
        label.assign("directory ");
        label.append(directory);
        source = label.c_str();
    }
    ByteString base = directory;
    if (!isSeparator(base.back())) base.push('/');
    const char* library = platform::runtimeLibraryName();
    const ByteString preference = config::vmPreference(config);
    for (const char* const* prefix = platform::runtimeProbePrefixes(); *prefix; ++prefix) {
        ByteString d = base;
        d.append(*prefix);
        ByteString candidate = d;
        candidate.append(library);
        if (tryCandidate(config, candidate, source, relativeToExecutable)) return candidate;
        if (preferenceInForce(preference)) {
            candidate = d;
            candidate.append(preference);
            candidate.push('/');
            candidate.append(library);
            if (tryCandidate(config, candidate, source, relativeToExecutable)) return candidate;
        }
        ByteString pattern = d;
        pattern.push('*');
        platform::DirLister lister;
        if (const platform::Status listed = lister.open(pattern.c_str()); !listed) {
            debugLog("%s", shownPath(listed.message()).c_str());
            continue;
        }
        platform::DirEntry entry;
        while (lister.next(entry)) {
            if (!entry.isDirectory || entry.name == "." || entry.name == "..") continue;
            candidate = d;
            candidate.append(entry.name);
            candidate.push('/');
            candidate.append(library);
            if (tryCandidate(config, candidate, source, relativeToExecutable)) return candidate;
        }
    }
    return {};
}

ByteString readRegistryRuntime(const LaunchConfig& config, const char* keyPath) {
    ByteString version;
    if (!platform::readRegistryString(platform::RegistryRoot::LocalMachine, keyPath, "CurrentVersion", version)) {
        debugLog("registry key HKLM\\%s: no CurrentVersion", keyPath);
        return {};
    }
    ByteString key(keyPath);
    key.push('\\');
    key.append(version);
    return registeredRuntime(config, platform::RegistryRoot::LocalMachine, key);
}

ByteString runtimeReleaseVersion(const ByteString& library) {
    // <home>/lib/server/<library> and <home>/bin/server/<library> have their
    // home two levels above the library's directory, the old
    // <home>/jre/lib/amd64/server layout four.
    ByteString dir = library;
    ByteString version;
    for (int level = 0; level <= 4; ++level) {
        if (!cutLastComponent(dir)) break;
        // Above a ".." the lexical parent is not the real one.
        const int32_t start = dir.length() >= 2 ? dir.length() - 2 : 0;
        if (dir.view().substr(static_cast<size_t>(start)) == ".." && (start == 0 || isSeparator(dir[start - 1]))) break;
        ByteString release = dir;
        release.push('/');
        release.append("release");
        if (readReleaseFile(release, version)) return version;
    }
    return {};
}

namespace {

// Records why the runtime directory that the variable `name` gives was passed
// over; `verdict` is the filter's, empty when the directory holds no library.
void noteHomeProblem(RuntimeChoice& choice, const char* name, const ByteString& home, const ByteString& verdict) {
    ByteString why = verdict;
    if (why.empty() && !platform::pathExists(home.c_str())) why.assign("does not exist");
    if (why.empty()) {
        why.assign("holds no ");
        why.append(platform::runtimeLibraryName());
    }
    choice.homeProblem.assign(name);
    choice.homeProblem.append(" names no usable runtime ('");
    choice.homeProblem.append(home.view());
    choice.homeProblem.append("' ");
    choice.homeProblem.append(why.view());
    choice.homeProblem.push(')');
}

}  // namespace

const RuntimeChoice& chooseRuntime(const LaunchConfig& config) {
    SearchMemo& memo = searchMemo();
    if (memo.searched) return memo.choice;
    memo.searched = true;
    RuntimeChoice& choice = memo.choice;
    choice = RuntimeChoice{};
    CandidateFilter filter(config, choice);
    const ByteString order = runtimeSearchOrder(config);
    debugLog("runtime search order %s", order.c_str());
    for (int32_t i = 0; i < order.length() && !filter.taken(); ++i) {
        switch (order[i]) {
            case 'c': {
                const ByteString dll = config::jvmDll(config);
                if (dll.empty()) {
                    debugLog("jvmdll: not set");
                    break;
                }
                const ByteString path = resolveLibraryPath(config, dll);
                if (tryCandidate(config, path, "jvmdll", !isAbsoluteConfigPath(dll.c_str())))
                    filter.offer(path, "jvmdll");
                break;
            }
            case 'b': {
                ByteString dir = config::jre(config);
                if (dir.empty()) dir.assign("./jre/");
                filter.offer(probeRuntimeDirectory(config, resolveLibraryPath(config, dir), "private jre",
                                                   !isAbsoluteConfigPath(dir.c_str())),
                             "private jre");
                break;
            }
            case 'r': {
                ByteString failure;
                const ByteString home = embeddedRuntimeHome(config, failure);
                if (home.empty()) {
                    debugLog("embedded runtime: %s", failure.empty() ? "none in this executable" : failure.c_str());
                    if (!failure.empty()) choice.unpackFailure = choice.embeddedUnused = failure;
                    break;
                }
                const ByteString library = probeRuntimeDirectory(config, home, "embedded runtime");
                const ByteString loadErrorBefore = choice.loadError;
                if (filter.offer(library, "embedded runtime")) break;
                // A library that does not load may be a damaged copy: once
                // repaired, it is offered again.
                if (choice.loadError != loadErrorBefore && !repairedRuntimeHome(config, failure).empty() &&
                    filter.retry(library, "embedded runtime"))
                    break;
                embeddedRuntimeStartEnded();
                choice.embeddedUnused.assign("the runtime unpacked at '");
                choice.embeddedUnused.append(home);
                if (library.empty())
                    choice.embeddedUnused.append("' has no runtime library");
                else if (choice.loadError != loadErrorBefore)
                    choice.embeddedUnused.append("' does not load");
                else
                    choice.embeddedUnused.append("' is not one this configuration accepts (minjre, maxjre)");
                break;
            }
            case 'e':
                for (const char* name : {"JRE_HOME", "JAVA_HOME"}) {
                    ByteString value;
                    const bool set = platform::getEnv(name, value);
                    if (!set || value.empty()) {
                        debugLog("%s: %s", name, set ? "empty" : "not set");
                        continue;
                    }
                    ByteString source(name);
                    source.push('=');
                    source.append(value);
                    // The variable names a directory as it is; it is not resolved.
                    const ByteString library = probeRuntimeDirectory(config, value, source.c_str());
                    if (filter.offer(library, source.c_str())) break;
                    noteHomeProblem(choice, name, value, library.empty() ? ByteString() : filter.verdict());
                }
                break;
            case 'i':
                if (!platform::hasRegistry()) break;
                for (platform::RegistryRoot root : kRegistryRoots) {
                    offerRegistrations(config, filter, root, "SOFTWARE\\IBM\\Java2 Runtime Environment");
                    if (filter.taken()) break;
                }
                break;
            case 's': offerSystemRuntimes(config, filter); break;
            default: break;
        }
    }
    filter.finish();
    if (!choice.library.empty() && !choice.embeddedUnused.empty()) {
        std::fprintf(stderr, "hux: warning: %s; running on %s instead\n", choice.embeddedUnused.c_str(),
                     choice.library.c_str());
        std::fflush(stderr);
    }
    return choice;
}

ByteString findRuntimeLibrary(const LaunchConfig& config) { return chooseRuntime(config).library; }

int32_t unusableRuntimeResult(const LaunchConfig& config, const RuntimeChoice& choice, ByteString& version,
                              ByteString& min, ByteString& max) {
    min = config::minJre(config);
    max = config::maxJre(config);
    version = choice.closestVersion;
    if (choice.failure == kRuntimeNotValid && !choice.loadError.empty()) {
        std::fprintf(stderr, "%s\n", choice.loadError.c_str());
        std::fflush(stderr);
    } else if (choice.failure == kRuntimeNotFound && !choice.unpackFailure.empty()) {
        std::fprintf(stderr, "hux: %s\n", choice.unpackFailure.c_str());
        std::fflush(stderr);
    }
    return choice.failure;
}

void resetRuntimeSearchForTesting() {
    searchMemo().searched = false;
    searchMemo().choice = RuntimeChoice{};
}

}  // namespace hux
