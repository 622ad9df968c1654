// Properties files (key=value lines) as java.util.Properties splits them,
// for the index files that the packer merges.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace hux::tool {

// The properties of a properties file as raw text: (key, value) pairs with
// escapes as written, split as java.util.Properties splits them (comments
// and blank lines out, continuation lines joined, a later key wins).
std::vector<std::pair<std::string, std::string>> rawProperties(const std::string& text);

}  // namespace hux::tool
