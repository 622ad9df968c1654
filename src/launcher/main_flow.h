// The launcher's main flow: the only place that wires the configuration, the
// runtime and the services together.
#pragma once

#include "common/byte_string.h"

namespace hux {

// The launcher's main flow; returns the process exit code.
int runMainFlow(int argc, char** argv);

// Exit code of a launch refused by single-instance mode.
constexpr int kExitAlreadyRunning = 11;

// Name of the single-instance mutex for an application id (empty: the
// executable path is used).
ByteString singleInstanceMutexName(const ByteString& appId, const ByteString& exePath);
// Name of the shared mapping for a non-empty application id.
ByteString instanceMappingName(const ByteString& appId);

}  // namespace hux
