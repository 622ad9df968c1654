// The strings the application's main method receives.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/byte_string.h"

namespace hux {

// Each `argv` value split like a command line, then the `argc` arguments, in
// the platform encoding (`mainArgumentTexts`) or converted from it
// (`mainArguments`).
std::vector<ByteString> mainArgumentTexts(const StringList& argvValues, int32_t argc, char* const* argv);
std::vector<std::u16string> mainArguments(const StringList& argvValues, int32_t argc, char* const* argv);

}  // namespace hux
