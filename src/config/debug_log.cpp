#include "config/debug_log.h"

#include <cstdarg>
#include <cstdio>

#include <string>

#include "platform/console.h"
#include "platform/environment.h"

namespace hux {

bool debugEnabled() {
    ByteString value;
    return platform::getEnv("HUX_DEBUG", value) && value == "1";
}

void debugLog(const char* format, ...) {
    if (!debugEnabled()) return;
    // Formatted here and written by the platform, which shows a console
    // every character of the paths and names in the line.
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) std::vsnprintf(&text[0], text.size() + 1, format, again);
    va_end(again);
    ByteString line("hux: ");
    line.append(text.data(), static_cast<int32_t>(text.size()));
    platform::writeErrorLine(line);
}

}  // namespace hux
