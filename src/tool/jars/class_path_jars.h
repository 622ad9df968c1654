// The jars that packed jars name in their manifest's Class-Path, found as the
// Java runtime finds them, so that they are packed too.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace hux::tool {

// Adds to `files` ((archive name, path) pairs, in class-path order) every jar
// the given jars name through their manifests' Class-Path, recursively, each
// right after the jar that names it (depth first, as the runtime searches
// them) and once: a file already packed (the same file after resolving links)
// is not packed again, and a given file that a Class-Path reaches first moves
// up to that place under its given name. A found jar is stored under its
// Class-Path name relative to the naming jar's archive folder, or under its
// file name in that folder when the name leaves the archive; a name in use by
// another file gets "-2", "-3"... before ".jar". Entries that are missing,
// directories, not local files or not readable jars are left out with one
// warning line each, except that the jars a jar names which do not exist are
// told in one line for that jar, naming the first (every one when `verbose`).
void addClassPathJars(std::vector<std::pair<std::string, std::string>>& files, std::vector<std::string>& warnings,
                      bool verbose = false);

}  // namespace hux::tool
