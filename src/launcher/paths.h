// Configured paths resolved against the executable's directory and the
// working directory.
#pragma once

#include "common/byte_string.h"
#include "launcher/launch_config.h"

namespace hux {

// Applies `forcecwd` (resolved against the executable's directory) and then
// refreshes the configuration's working directory.
void applyForcedWorkingDirectory(LaunchConfig& config);

// A configured file or directory name: absolute names unchanged; a relative
// name under the executable's directory when readable there, else under the
// working directory when readable there, else under the executable's directory.
ByteString resolveDataPath(const LaunchConfig& config, const ByteString& path);

}  // namespace hux
