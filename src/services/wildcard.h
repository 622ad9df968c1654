// Command-line splitting and wildcard expansion of arguments.
#pragma once

#include <cstdint>

#include "common/byte_string.h"

namespace hux {

// Builds the argument list (program name first) for `mode` 0, 1 or 2.
void expandArguments(int32_t argc, char** argv, int mode, StringList& out);

}  // namespace hux
