#pragma once

#include <ostream>
#include <string>
#include <string_view>

namespace hux::tool {

// Prints the configuration lines, L, A, T and the archive listing of a packed
// executable (and for a Windows one its subsystem, icon, version information
// and manifest); false with one line in `error` when it is not one.
bool inspect(const std::string& path, std::ostream& out, std::string& error);

// `text` with control characters and bytes that are not part of a UTF-8
// sequence shown as \xNN escapes, so that it cannot garble a terminal.
std::string printable(std::string_view text);

}  // namespace hux::tool
