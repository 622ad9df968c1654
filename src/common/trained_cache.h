// The ahead-of-time cache a carried runtime gets at pack time (`hux pack
// --train`): the packer puts the application's class-path jar and the cache
// its training run made into the runtime image, so both are unpacked with it;
// the launcher names that jar as the class path and maps the cache.
#pragma once

#include <cstdint>
#include <string_view>

namespace hux {

// Paths inside the runtime image, '/'-separated.
constexpr std::string_view kTrainedJarPath = "hux-aot/app.jar";
constexpr std::string_view kTrainedCachePath = "hux-aot/app.aot";
// The class-path jar's modification time, in seconds since 1970 (2000-01-01
// 00:00 UTC), when the cache was made and on every machine that unpacks it:
// the virtual machine compares it with the one it recorded. A fixed time is
// safe because the unpacked image's folder is named by its content hash, so
// a jar and its cache always come from the same packing.
constexpr int64_t kTrainedJarTime = 946684800;

}  // namespace hux
