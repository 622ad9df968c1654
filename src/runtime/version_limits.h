// Runtime version texts and the configured version limits.
#pragma once

#include <cstdint>

#include "common/byte_string.h"
#include "config/launch_config.h"
#include "runtime/jvm_host.h"

struct JNIEnv_;

namespace hux {

// Reads a version text the way the C scan pattern "%d.%d.%d_%d" does, into up
// to four signed 32-bit components. Returns the number of components
// converted: 0 when the text does not start with a number, -1 when the text
// ends (is empty or blank) before the first number. Independent of the locale.
int32_t scanVersion(const char* text, int32_t components[4]);

// Compares a version text with the inclusive limits (either may be empty):
// 0 within, kVersionTooLow below `min`, kVersionTooHigh above `max`. Only as
// many components count as both texts have.
int32_t compareVersionLimits(const char* version, const char* min, const char* max);

// Orders two version texts over the components both have (as the limits
// do): negative when `a` is lower, 0 when equal that far, positive when higher.
int32_t compareVersionTexts(const char* a, const char* b);

// The running virtual machine's "java.version" as narrow text (empty when the
// property is null). False without a JNIEnv or when System.getProperty is
// missing. The host form uses the JNIEnv of the creating thread.
bool readJavaVersion(JNIEnv_* env, ByteString& out);
bool readJavaVersion(JvmHost& host, ByteString& out);

// Checks the running virtual machine against `minjre` and `maxjre`: 0, or
// kVersionUnknown, kVersionTooLow, kVersionTooHigh. Fills the three texts the
// failure messages need.
int32_t checkRuntimeVersion(const LaunchConfig& config, JvmHost& host, ByteString& version, ByteString& min,
                            ByteString& max);

}  // namespace hux
