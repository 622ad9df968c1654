// Command-line splitting and wildcard expansion of arguments.
#pragma once

#include <cstdint>

#include "common/byte_string.h"
#include "config/keywords.h"

namespace hux {

// Per-token wildcard marks.
constexpr int32_t kNoWildcard = 0;
constexpr int32_t kWildcardUnquoted = 1;  // '*' or '?' only outside double quotes
constexpr int32_t kWildcardQuoted = -1;   // at least one inside double quotes

// Splits the NUL-terminated `buffer` in place into tokens (blanks separate,
// double quotes group and are dropped, backslashes escape quotes by the
// command-line rules) and appends their addresses to `tokens`. With `marks`,
// sets each new token's mark and extends `marks` with zeros to the token
// count. Returns the number of tokens in `tokens`.
int32_t splitCommandLine(char* buffer, GrowArray<char*>& tokens, GrowArray<int32_t>* marks);

// Appends the paths that match `pattern` ('*' and '?' in any component, '\' or
// '/' between components, names matched without regard to case) to `out`, in
// listing order. A pattern without wildcards is appended when it exists.
void expandPattern(const char* pattern, StringList& out);

// Appends each token, or its matches when it is to be expanded under `mode`
// (Unquoted: tokens marked kWildcardUnquoted; All: every marked token; None:
// no token). A token whose pattern matches nothing is appended as it is.
void expandTokens(char* const* tokens, const int32_t* marks, int32_t count, WildcardMode mode, StringList& out);

// Builds the argument list (program name first) for `mode`: None leaves it
// unchanged, Unquoted expands tokens with wildcards outside quotes, All every
// token with wildcards.
void expandArguments(int32_t argc, char** argv, WildcardMode mode, StringList& out);

}  // namespace hux
