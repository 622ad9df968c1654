#include "config/debug_log.h"

#include <cstdarg>
#include <cstdio>

#include "common/debug_line.h"
#include "platform/environment.h"

namespace hux {

bool debugEnabled() {
    ByteString value;
    return platform::getEnv("HUX_DEBUG", value) && value == "1";
}

void debugLog(const char* format, ...) {
    if (!debugEnabled()) return;
    va_list args;
    va_start(args, format);
    writeDebugLine(format, args);
    va_end(args);
}

}  // namespace hux
