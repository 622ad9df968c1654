// Finding the application's main class and running its entry point.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/byte_string.h"
#include "config/launch_config.h"
#include "runtime/jvm_host.h"

namespace hux {

// Loads `mainClass` through the launch's class loader, looks its entry point
// up as `java` does (a static main(String[]), and from Java 25 on the other
// forms) and runs it with `arguments` on the creating thread. kLaunchOk,
// kMainClassNotFound, kMainMethodMissing or kMainThrew (the trace printed).
int32_t invokeMainClass(const LaunchConfig& config, JvmHost& host, const ByteString& mainClass,
                        const std::vector<std::u16string>& arguments);

}  // namespace hux
