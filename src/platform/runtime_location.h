// Where a Java runtime keeps its virtual-machine library, and the runtimes the
// system itself names.
#pragma once

#include "common/byte_string.h"

namespace hux::platform {

// File name of the runtime's virtual-machine library ("jvm.dll", "libjvm.so").
const char* runtimeLibraryName();

// File name of the runtime's `java` program ("java.exe", "java").
const char* javaProgramName();

// Directories below a runtime directory that may hold the library (each empty
// or ending in a separator), in the order they are probed; nullptr ends the list.
const char* const* runtimeProbePrefixes();

// Runtime homes the system itself names as its default runtime, in order of
// preference (none where the registry registrations serve that purpose).
void systemRuntimeHomes(StringList& out);

// The `java` launcher the command search would run (the first one on PATH),
// as a full path with every link resolved, so that two levels above it is
// its runtime's home. False when PATH holds none.
bool javaLauncherOnPath(ByteString& launcher);

}  // namespace hux::platform
