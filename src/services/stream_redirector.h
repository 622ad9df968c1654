// Redirection of standard output and standard error to files or commands.
#pragma once

#include "common/byte_string.h"

namespace hux {

void redirectStderr(const ByteString& value);
void redirectStdout(const ByteString& value);

}  // namespace hux
