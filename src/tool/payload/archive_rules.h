// The rules the payload's archive keeps so that the launcher finds and reads
// it: entry names, the comment after the end record, the archive-length
// record in the stub, and which entries a class path loads.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace hux::tool {

// Normalises an archive entry name: empty and "." components are dropped; a
// name that is absolute, holds a backslash or a ".." component, names a
// directory (ends in '/') or is empty is refused (false with `error`).
bool normaliseEntryName(const std::string& name, std::string& normalised, std::string& error);

// Checks that the launcher will find the archive's end record (given with
// the comment after it): the comment leaves room for signing padding within
// its search and holds no end-record signature, also none formed
// with the record's last bytes; false with `error` otherwise.
bool checkArchiveComment(const std::vector<uint8_t>& endRecordAndComment, std::string& error);

// Finds the archive-length record in a stub: the offset of its value, or -1
// when the magic is missing or not unique (`count` tells how often it occurs).
int64_t findArchiveLengthField(const std::vector<uint8_t>& stub, int& count);

// Whether a class path could load the class file `entry`: not a module's
// descriptor (a class path never reads one), nor a class of a multi-release
// jar's version folder (only runtimes of that version or later read them).
bool loadableClassEntry(std::string_view entry);

}  // namespace hux::tool
