// The line that follows a runtime failure's message and says what to do.
#pragma once

#include "common/byte_string.h"

namespace hux {

class LaunchConfig;

// For message 1 (no runtime found), 6 (too low) and 12 (too high): one line
// naming the Java version the application needs (from `minjre`/`maxjre`) and
// how to point the launcher at a runtime. Empty for any other number.
ByteString runtimeAdvice(const LaunchConfig& config, int message);

}  // namespace hux
