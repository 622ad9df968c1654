#include "config/paths.h"

#include <cstdio>

#include "common/never_destroyed.h"
#include "common/utf.h"
#include "config/config_values.h"
#include "config/debug_log.h"
#include "platform/console.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "platform/trust.h"

namespace hux {

ByteString directoryOf(std::string_view path) {
    size_t cut = 0;
    for (size_t i = 0; i < path.size(); ++i)
        if (isSeparator(path[i])) cut = i + 1;
    return ByteString(path.substr(0, cut));
}

ByteString shownPath(std::string_view path) {
    const char separator = platform::usesDrivePaths() ? '\\' : '/';
    ByteString out;
    size_t i = 0;
    for (; i < path.size() && isSeparator(path[i]); ++i) out.push(separator);
    const int32_t rootLength = out.length();
    while (i < path.size()) {
        size_t end = i;
        while (end < path.size() && !isSeparator(path[end])) ++end;
        const std::string_view part = path.substr(i, end - i);
        if (!part.empty() && part != ".") {
            if (out.length() > rootLength) out.push(separator);
            out.append(part);
        }
        i = end + 1;
    }
    if (out.length() > rootLength && isSeparator(path.back())) out.push(separator);
    if (out.empty() && !path.empty()) out.push('.');
    return out;
}

// On Windows a leading '/' or '\', and a ':' as second character ("E:\x",
// "D:x"), make a path absolute, and a leading '\' names the root of the base's
// drive. Linux has neither drives nor backslash separators: only a leading
// '/' makes a path absolute there, and "C:x" or "\x" are relative names.
bool isAbsoluteConfigPath(const char* path) {
    if (path[0] == '/') return true;
    if (!platform::usesDrivePaths()) return false;
    return path[0] == '\\' || (path[0] != '\0' && path[1] == ':');
}

int32_t resolveAgainst(const char* base, const char* path, char* buffer, int32_t size) {
    const bool drives = platform::usesDrivePaths();
    ByteString combined;
    if (path[0] == '/' || (drives && path[0] != '\0' && path[1] == ':')) {
        combined.append(path);
    } else if (drives && path[0] == '\\') {
        // The root of the base's drive, or of the current drive.
        if (base[0] != '\0' && base[1] == ':') combined.append(base, 2);
        combined.append(path);
    } else {
        // An empty base leaves the path relative to the current directory
        // rather than turning it into a name under the root.
        combined.append(base);
        if (!combined.empty() && !isSeparator(combined.back())) combined.push('/');
        combined.append(path);
    }
    return platform::fullPathName(combined.c_str(), buffer, size);
}

ByteString resolveDataPath(const LaunchConfig& config, const ByteString& path) {
    if (path.empty()) return {};
    if (isAbsoluteConfigPath(path.c_str())) return path;
    ByteString underExe = config.exeDir();
    underExe.append(path);
    if (platform::isReadable(underExe.c_str())) return underExe;
    ByteString underWork = config.workDir();
    underWork.append(path);
    if (platform::isReadable(underWork.c_str())) return underWork;
    return underExe;
}

ByteString resolveLibraryPath(const LaunchConfig& config, const ByteString& path) {
    if (path.empty() || isAbsoluteConfigPath(path.c_str())) return path;
    ByteString underExe = config.exeDir();
    underExe.append(path);
    return underExe;
}

bool trustedBesideExecutable(const ByteString& exeDir, const ByteString& path, const char* what,
                             const ByteString* examined) {
    ByteString reason = platform::distrustReason(examined ? examined->c_str() : path.c_str(), exeDir.c_str());
    if (reason.empty()) return true;
    if (examined && !startsWith(reason.view(), "directory '")) {
        ByteString named("directory '");
        named.append(*examined);
        named.append("' is ");
        named.append(reason);
        reason = named;
    }
    ByteString debug;
    if (platform::getEnv("HUX_DEBUG", debug) && debug == "1") {
        ByteString line("hux: ");
        line.append(what);
        line.push(' ');
        line.append(path);
        line.append(" passed over: ");
        line.append(reason);
        platform::writeErrorLine(line);
    }
    // One warning per path, however often the launch comes across it.
    static NeverDestroyed<StringList> warned;
    for (int32_t i = 0; i < warned->count(); ++i)
        if (warned->view(i) == path.view()) return false;
    warned->append(path);
    ByteString line("hux: warning: ignoring '");
    line.append(path);
    line.append("': ");
    line.append(reason);
    platform::writeErrorLine(line);
    return false;
}

bool liesBesideExecutable(const LaunchConfig& config, const ByteString& path) {
    return !config.exeDir().empty() && platform::liesWithin(path.c_str(), config.exeDir().c_str());
}

void applyForcedWorkingDirectory(LaunchConfig& config) {
    const ByteString dir = config::forceCwd(config);
    if (!dir.empty()) {
        char buffer[platform::kPathMax];
        const int32_t n = resolveAgainst(config.exeDir().c_str(), dir.c_str(), buffer, platform::kPathMax);
        // 0 is a failure and kPathMax or more did not fit: the directory stays.
        if (n >= 1 && n < platform::kPathMax) {
            const platform::Status changed = platform::setCurrentDirectory(buffer);
            if (!changed) debugLog("forced working directory: %s", changed.text());
        }
    }
    config.refreshWorkDir();
}

}  // namespace hux
