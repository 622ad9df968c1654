// Finding the Java runtime's virtual-machine library.
#pragma once

#include "common/byte_string.h"
#include "launcher/launch_config.h"

namespace hux {

// Full path of the runtime library, or empty. The first call searches; every
// later call returns the remembered outcome.
ByteString findRuntimeLibrary(const LaunchConfig& config);

}  // namespace hux
