// Loading the runtime library and creating the virtual machine.
#pragma once

#include <cstdint>

#include "common/byte_string.h"
#include "runtime/jvm_host.h"

namespace hux {

// Loads the runtime library at `libraryPath` into `host` and creates the
// virtual machine with the host's pending options (released afterwards);
// binds the natives (`appPath`: the executable) where the launcher must.
// kLaunchOk, kRuntimeNotValid or kVmStartFailed.
int32_t loadRuntimeAndCreateVm(JvmHost& host, const ByteString& libraryPath, const ByteString& appPath);

}  // namespace hux
