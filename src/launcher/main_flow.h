#pragma once

#include <cstdint>

#include "runtime/jvm_host.h"

namespace hux {

// What the main flow hands to the start on the chosen thread.
struct LaunchRequest {
    int32_t argc;
    char** argv;
    ReadyHook hook;
    int32_t reserved;
    void* reservedPointer;
    int32_t result;
};

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
