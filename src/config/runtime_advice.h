// The line that follows a runtime failure's message and says what to do.
#pragma once

#include "common/byte_string.h"

namespace hux {

class LaunchConfig;

// For message 1 (no runtime found), 6 (too low) and 12 (too high): one line
// naming the Java version the application needs (from `minjre`/`maxjre`) and
// how to point the launcher at a runtime. `homeProblem`, when the search
// passed over the runtime JAVA_HOME (or JRE_HOME) names, says why, in place
// of the advice to set it. Empty for any other number.
ByteString runtimeAdvice(const LaunchConfig& config, int message, const ByteString& homeProblem = ByteString());

}  // namespace hux
