#include "launcher/paths.h"

#include "common/utf.h"
#include "launcher/config_values.h"
#include "platform/platform.h"

namespace hux {

void applyForcedWorkingDirectory(LaunchConfig& config) {
    const ByteString dir = config::forceCwd(config);
    (void)dir;
    config.refreshWorkDir();
}

ByteString resolveDataPath(const LaunchConfig& config, const ByteString& path) {
    if (path.empty()) return {};
    if (isSeparator(path[0]) || (path.length() >= 2 && path[1] == ':')) return path;
    ByteString candidate = config.exeDir();
    candidate.append(path);
    if (platform::isReadable(candidate.c_str())) return candidate;
    ByteString other = config.workDir();
    other.append(path);
    if (platform::isReadable(other.c_str())) return other;
    return candidate;
}

}  // namespace hux
