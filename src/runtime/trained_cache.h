// The ahead-of-time cache a carried runtime brings (`hux pack --train`):
// unpacked with the runtime, beside the application's class-path jar that
// the cache was made with.
#pragma once

#include "common/byte_string.h"
#include "config/launch_config.h"
#include "runtime/jvm_host.h"

namespace hux {

// When the chosen runtime library belongs to the runtime the executable
// carries and that runtime holds a trained class-path jar and cache, and the
// runtime's own loader serves the classes (`host.direct`): gives the jar the
// time the cache was made with, names it as the class path in place of the
// executable and has the virtual machine map the cache, with its notes about
// a cache that does not fit turned off (a mismatch only costs the speed-up).
// True when it did; the class-data archive of `cds auto` is then not asked
// for.
bool appendTrainedCacheOptions(const LaunchConfig& config, JvmHost& host, const ByteString& library);

}  // namespace hux
