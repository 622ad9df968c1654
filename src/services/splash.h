// The splash image shown while the runtime starts.
#pragma once

#include "common/byte_string.h"
#include "config/launch_config.h"

namespace hux {

// Path of the runtime's splash library, or empty (runs runtime discovery).
ByteString findSplashLibrary(const LaunchConfig& config);
void startSplash(const LaunchConfig& config, const ByteString& libraryPath, const ByteString& exePath);

}  // namespace hux
