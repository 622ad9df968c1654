#include "runtime/discovery.h"

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

namespace hux {

namespace {

// Outcome of the first search: a path, empty for "not found", or "-" before it.
ByteString& searchMemo() {
    static NeverDestroyed<ByteString> memo("-");
    return *memo;
}

bool preferenceInForce(const ByteString& preference) { return preference.length() > 1; }

// Accepts a candidate when it exists and may be read; `source` names where
// the candidate came from for the debug lines.
bool tryCandidate(const ByteString& candidate, const char* source) {
    if (platform::isReadable(candidate.c_str())) return true;
    debugLog("candidate %s (%s): %s", candidate.c_str(), source,
             platform::pathExists(candidate.c_str()) ? "not readable" : "missing");
    return false;
}

// Runtime registration keys searched by the `s` source, in order: the two
// classic keys, then the one current installers write.
const char* const kJavaSoftKeys[] = {"SOFTWARE\\JavaSoft\\JRE", "SOFTWARE\\JavaSoft\\Java Runtime Environment",
                                     "SOFTWARE\\JavaSoft\\JDK"};

}  // namespace

ByteString runtimeSearchOrder(const LaunchConfig& config) {
    ByteString order = config::jreOrder(config);
    bool known = false;
    for (int32_t i = 0; i < order.length(); ++i) {
        order[i] = asciiLower(order[i]);
        if (order[i] == 'c' || order[i] == 'b' || order[i] == 's' || order[i] == 'i' || order[i] == 'e') known = true;
    }
    if (!known) order.assign("cbsie");
    return order;
}

ByteString probeRuntimeDirectory(const LaunchConfig& config, const ByteString& directory, const char* source) {
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
        if (tryCandidate(candidate, source)) return candidate;
        if (preferenceInForce(preference)) {
            candidate = d;
            candidate.append(preference);
            candidate.push('/');
            candidate.append(library);
            if (tryCandidate(candidate, source)) return candidate;
        }
        ByteString pattern = d;
        pattern.push('*');
        platform::DirLister lister;
        if (!lister.open(pattern.c_str())) {
            debugLog("directory %s: cannot be listed", d.c_str());
            continue;
        }
        platform::DirEntry entry;
        while (lister.next(entry)) {
            if (!entry.isDirectory || entry.name == "." || entry.name == "..") continue;
            candidate = d;
            candidate.append(entry.name);
            candidate.push('/');
            candidate.append(library);
            if (tryCandidate(candidate, source)) return candidate;
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
    ByteString source("registry key HKLM\\");
    source.append(key);
    ByteString runtimeLib;
    if (platform::readRegistryString(platform::RegistryRoot::LocalMachine, key.c_str(), "RuntimeLib", runtimeLib)) {
        if (!preferenceInForce(config::vmPreference(config)) && tryCandidate(runtimeLib, source.c_str()))
            return runtimeLib;
        // Two components up from <bin>/<vm>/<library> is the bin directory.
        for (int round = 0; round < 2; ++round) {
            int32_t cut = -1;
            for (int32_t i = runtimeLib.length() - 1; i > 0; --i) {
                if (isSeparator(runtimeLib[i])) {
                    cut = i;
                    break;
                }
            }
            if (cut > 0) runtimeLib.resize(cut);
        }
        return probeRuntimeDirectory(config, runtimeLib, source.c_str());
    }
    ByteString javaHome;
    if (platform::readRegistryString(platform::RegistryRoot::LocalMachine, key.c_str(), "JavaHome", javaHome))
        return probeRuntimeDirectory(config, javaHome, source.c_str());
    debugLog("registry key HKLM\\%s: neither RuntimeLib nor JavaHome", key.c_str());
    return {};
}

ByteString findRuntimeLibrary(const LaunchConfig& config) {
    ByteString& memo = searchMemo();
    if (memo != "-") return memo;
    memo.clear();
    const ByteString order = runtimeSearchOrder(config);
    debugLog("runtime search order %s", order.c_str());
    ByteString found;
    for (int32_t i = 0; i < order.length() && found.empty(); ++i) {
        switch (order[i]) {
            case 'c': {
                const ByteString dll = config::jvmDll(config);
                if (dll.empty()) {
                    debugLog("jvmdll: not set");
                    break;
                }
                const ByteString path = resolveLibraryPath(config, dll);
                if (tryCandidate(path, "jvmdll")) found = path;
                break;
            }
            case 'b': {
                ByteString dir = config::jre(config);
                if (dir.empty()) dir.assign("./jre/");
                found = probeRuntimeDirectory(config, resolveLibraryPath(config, dir), "private jre");
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
                    found = probeRuntimeDirectory(config, value, source.c_str());
                    if (!found.empty()) break;
                }
                break;
            case 'i':
                if (platform::hasRegistry())
                    found = readRegistryRuntime(config, "SOFTWARE\\IBM\\Java2 Runtime Environment");
                break;
            case 's': {
                if (platform::hasRegistry()) {
                    for (const char* key : kJavaSoftKeys) {
                        if (found.empty()) found = readRegistryRuntime(config, key);
                    }
                    break;
                }
                // Where there is no registry, the system names its default runtime.
                StringList homes;
                platform::systemRuntimeHomes(homes);
                for (int32_t h = 0; h < homes.count() && found.empty(); ++h) {
                    ByteString source("system runtime ");
                    source.append(homes.view(h));
                    found = probeRuntimeDirectory(config, ByteString(homes.view(h)), source.c_str());
                }
                break;
            }
            default: break;
        }
    }
    if (found.empty()) {
        debugLog("no runtime library found");
    } else {
        debugLog("runtime library %s", found.c_str());
    }
    memo = found;
    return memo;
}

void resetRuntimeSearchForTesting() { searchMemo().assign("-"); }

}  // namespace hux
