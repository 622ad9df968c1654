#include "launcher/paths.h"

#include "launcher/config_values.h"
#include "platform/platform.h"

namespace hux {

void applyForcedWorkingDirectory(LaunchConfig& config) {
    const ByteString dir = config::forceCwd(config);
    (void)dir;
    config.refreshWorkDir();
}

}  // namespace hux
