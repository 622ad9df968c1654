// Diagnostic lines for finding out why a launch picks (or misses) a runtime.
#pragma once

namespace hux {

// True when the environment variable "HUX_DEBUG" is set to "1".
bool debugEnabled();
// Writes "hux: " + the formatted text + a line feed to standard error when
// debugEnabled(); does nothing otherwise.
void debugLog(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

}  // namespace hux
