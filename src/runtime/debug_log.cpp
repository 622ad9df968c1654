#include "runtime/debug_log.h"

#include <cstdarg>
#include <cstdio>

#include "platform/platform.h"

namespace hux {

bool debugEnabled() {
    ByteString value;
    return platform::getEnv("HUX_DEBUG", value) && value == "1";
}

void debugLog(const char* format, ...) {
    if (!debugEnabled()) return;
    std::fputs("hux: ", stderr);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

}  // namespace hux
