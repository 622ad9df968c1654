// Flushing the C runtime's standard streams, the same on every platform.
#include <cstdio>

#include "platform/redirect.h"

namespace hux::platform {

void flushStdStreams() {
    std::fflush(stdout);
    std::fflush(stderr);
}

}  // namespace hux::platform
