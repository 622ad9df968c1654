// Finding the application's main class and running its entry point.
#pragma once

#include <jni.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/byte_string.h"
#include "config/launch_config.h"
#include "runtime/jvm_host.h"

namespace hux {

// The class `mainClass` (dots as configured) loaded through the launch's
// class loader: the system class loader in a direct launch, else the
// launcher's own (a new one becomes the thread's context loader). A local
// reference, or null with the failure reported.
jobject loadMainClass(const LaunchConfig& config, JvmHost& host, const ByteString& mainClass);

// Loads `mainClass` through the launch's class loader, looks its entry point
// up as `java` does (a static main(String[]), and from Java 25 on the other
// forms) and runs it with `arguments` on the creating thread. kLaunchOk,
// kMainClassNotFound, kMainMethodMissing or kMainThrew (the trace printed).
int32_t invokeMainClass(const LaunchConfig& config, JvmHost& host, const ByteString& mainClass,
                        const std::vector<std::u16string>& arguments);

}  // namespace hux
