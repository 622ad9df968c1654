// Finding the Java runtime's virtual-machine library.
#pragma once

#include "common/byte_string.h"
#include "config/launch_config.h"
#include "platform/libraries.h"

namespace hux {

// Full path of the runtime library, or empty. The first call searches; every
// later call returns the remembered outcome.
ByteString findRuntimeLibrary(const LaunchConfig& config);

// The search order: the first `jre_order` value in lower case, or "cbsie" when
// it holds none of the letters c, b, s, i, e.
ByteString runtimeSearchOrder(const LaunchConfig& config);

// Path of an accepted library below one runtime directory, or empty.
// `source` names where the directory came from in the debug lines (by default
// the directory itself).
ByteString probeRuntimeDirectory(const LaunchConfig& config, const ByteString& directory, const char* source = nullptr);

// Library found through one runtime registration key under the local machine
// root, or empty.
ByteString readRegistryRuntime(const LaunchConfig& config, const char* keyPath);

// Forgets the remembered search outcome, so that tests can search again.
void resetRuntimeSearchForTesting();

}  // namespace hux
