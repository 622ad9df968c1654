// The process's environment variables.
#pragma once

#include "common/byte_string.h"
#include "platform/status.h"

namespace hux::platform {

// Looks a variable up; names compare without regard to case where the platform
// does (Windows) and exactly first, then without regard to case, elsewhere.
bool getEnv(const char* name, ByteString& value);

// "NAME=value" with the runtime library's semantics: an empty value removes it.
// The failure for text that is no assignment or a variable the system refuses.
Status putEnv(const char* assignment);

}  // namespace hux::platform
