// Numbered user-visible failure texts, with configuration overrides.
#pragma once

#include "common/byte_string.h"

namespace hux {

// The ANSI text of a message: the first `message` override of that number,
// else the built-in text; empty when neither exists.
ByteString messageText(int number);

// Writes `text` followed by a line feed to standard error.
void printMessageLine(const ByteString& text);

}  // namespace hux
