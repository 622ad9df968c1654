#include "services/splash.h"

#include "runtime/discovery.h"

namespace hux {

ByteString findSplashLibrary(const LaunchConfig& config) {
    const ByteString runtime = findRuntimeLibrary(config);
    (void)runtime;
    return {};
}

void startSplash(const LaunchConfig&, const ByteString&, const ByteString&) {}

}  // namespace hux
