// Configured paths resolved against the executable's directory and the
// working directory.
#pragma once

#include "common/byte_string.h"
#include "launcher/launch_config.h"

namespace hux {

// Applies `forcecwd` (resolved against the executable's directory) and then
// refreshes the configuration's working directory.
void applyForcedWorkingDirectory(LaunchConfig& config);

}  // namespace hux
