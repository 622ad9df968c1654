// The one form every HUX_DEBUG line takes: "hux: " and the text on standard
// error, flushed at once. Callers decide whether debugging is on.
#pragma once

#include <cstdarg>

namespace hux {

void writeDebugLine(const char* format, va_list args);

}  // namespace hux
