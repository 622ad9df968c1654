// Classes that two packed jars both hold: the launcher searches nested jars
// by their stored names (shorter first), `java -cp` in class-path order, so
// where the two orders pick different copies the packer says so.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace hux::tool {

// For `files` ((archive name, path) pairs in class-path order), one warning
// per pair of jars that hold differing copies of the same class where the
// launcher's search order serves the copy of another jar than the first one
// listed. Files that are not jars, or cannot be read as zip archives, are
// left out (their own checks report them).
void warnOnReorderedClasses(const std::vector<std::pair<std::string, std::string>>& files,
                            std::vector<std::string>& warnings);

}  // namespace hux::tool
