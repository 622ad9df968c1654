// `hux inspect` for Windows executables: subsystem, application icon sizes,
// version information and manifest.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace hux::tool {

// Prints what the shell shows of a Windows executable; false with one line in
// `error` when its headers or resources are damaged.
bool describeWindowsImage(const std::vector<uint8_t>& file, std::ostream& out, std::string& error);

}  // namespace hux::tool
