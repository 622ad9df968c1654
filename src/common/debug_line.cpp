#include "common/debug_line.h"

#include <cstdio>

namespace hux {

void writeDebugLine(const char* format, va_list args) {
    std::fputs("hux: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

}  // namespace hux
