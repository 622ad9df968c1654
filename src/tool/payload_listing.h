#pragma once

#include <ostream>
#include <string>

namespace hux::tool {

// Prints the configuration lines, L, A, T and the archive listing of a packed
// executable; false with one line in `error` when it is not one.
bool inspect(const std::string& path, std::ostream& out, std::string& error);

}  // namespace hux::tool
