#include "runtime/trained_cache.h"

#include <string_view>

#include "common/trained_cache.h"
#include "common/utf.h"
#include "config/debug_log.h"
#include "platform/private_tree.h"
#include "platform/user_cache.h"
#include "runtime/discovery.h"
#include "runtime/embedded_runtime.h"
#include "runtime/version_limits.h"

namespace hux {

namespace {

// The runtime's home: the library lies in <home>/lib/server (bin/server on
// Windows).
ByteString homeOf(std::string_view library) {
    for (int up = 0; up < 3; ++up) {
        size_t cut = std::string_view::npos;
        for (size_t i = library.size(); i > 0; --i)
            if (isSeparator(library[i - 1])) {
                cut = i - 1;
                break;
            }
        if (cut == std::string_view::npos || cut == 0) return {};
        library = library.substr(0, cut);
    }
    return ByteString(library);
}

ByteString inHome(const ByteString& home, std::string_view relative, char separator) {
    ByteString path = home;
    path.push(separator);
    for (char c : relative) path.push(c == '/' ? separator : c);
    return path;
}

}  // namespace

bool appendTrainedCacheOptions(const LaunchConfig& config, JvmHost& host, const ByteString& library) {
    if (!host.direct || library.empty() || !payloadCarriesRuntime(config)) return false;
    const ByteString home = homeOf(library.view());
    if (home.empty()) return false;
    const char separator = library[home.length()];
    const ByteString jar = inHome(home, kTrainedJarPath, separator);
    const ByteString cache = inHome(home, kTrainedCachePath, separator);
    // The unpacked copy is the user's own and checked as a whole; files of
    // anybody else are never named to the virtual machine.
    if (!platform::isOwnPrivateFile(jar.c_str()) || !platform::isOwnPrivateFile(cache.c_str())) return false;
    // The machine refuses to start with the cache beside any other sharing
    // option: an option line of the user's decides about sharing then.
    for (int32_t i = 0; i < host.optionCount(); ++i) {
        const std::string_view option = host.option(i);
        for (const std::string_view sharing : {"-Xshare:", "-XX:SharedArchiveFile", "-XX:ArchiveClassesAtExit",
                                               "-XX:AOT", "-XX:DumpLoadedClassList", "-XX:SharedClassListFile"})
            if (option.substr(0, sharing.size()) == sharing) {
                debugLog("trained cache: the option %s decides about sharing; not used", host.option(i));
                return false;
            }
    }
    const platform::Result<int64_t> seconds = platform::fileSeconds(jar.c_str());
    if (!seconds) return false;
    if (seconds.value() != kTrainedJarTime) {
        if (const platform::Status set = platform::setFileSeconds(jar.c_str(), kTrainedJarTime); !set) {
            debugLog("trained cache: %s; not used", set.text());
            return false;
        }
    }
    // The notes go first, so that an option line asking for them wins.
    // (The machine refuses -Xshare beside -XX:AOTCache: its default, auto,
    // stays.)
    // (JDK 24 logs them under the cds tags and knows no aot tag.)
    int32_t version[4] = {0, 0, 0, 0};
    const bool aotTag = scanVersion(runtimeReleaseVersion(library).c_str(), version) > 0 && version[0] >= 25;
    StringList options;
    if (aotTag) options.append("-Xlog:aot=off");
    options.append("-Xlog:cds=off");
    ByteString classPath("-Djava.class.path=");
    classPath.append(jar);
    for (int32_t i = 0; i < host.optionCount(); ++i) {
        const std::string_view option = host.option(i);
        options.append(option.substr(0, sizeof "-Djava.class.path=" - 1) == "-Djava.class.path=" ? classPath.view()
                                                                                                 : option);
    }
    ByteString map("-XX:AOTCache=");
    map.append(cache);
    options.append(map.view());
    host.options.clear();
    for (int32_t i = 0; i < options.count(); ++i) host.options.append(options.view(i));
    host.classPathProperty.clear();
    debugLog("trained cache %s, class path %s", cache.c_str(), jar.c_str());
    return true;
}

}  // namespace hux
