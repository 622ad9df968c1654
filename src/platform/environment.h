// The process's environment variables.
#pragma once

#include "common/byte_string.h"

namespace hux::platform {

// Looks a variable up; names compare without regard to case where the platform
// does (Windows) and exactly first, then without regard to case, elsewhere.
bool getEnv(const char* name, ByteString& value);

// "NAME=value" with the runtime library's semantics: an empty value removes it.
void putEnv(const char* assignment);

}  // namespace hux::platform
