// The splash image shown while the runtime starts.
#pragma once

#include "common/byte_string.h"
#include "config/launch_config.h"

namespace hux {

// Path of the splash library of the runtime whose virtual-machine library is
// `runtimeLibrary` (empty: none found), or empty; one beside the executable
// only when the running user may trust it.
ByteString findSplashLibrary(const LaunchConfig& config, const ByteString& runtimeLibrary);
// Shows the configured image through the splash library at `libraryPath`;
// `runtimeLibrary` is loaded first where the splash library needs it.
void startSplash(const LaunchConfig& config, const ByteString& libraryPath, const ByteString& runtimeLibrary);

}  // namespace hux
