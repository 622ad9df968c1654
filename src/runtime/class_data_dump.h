// The class-data archive of a flattened executable, made after the launch:
// the first launch has the virtual machine list the classes it loads (which
// costs it next to nothing), and a detached helper, the launcher itself in a
// mode of its own, turns the list into an archive at low priority once the
// application has ended.
#pragma once

#include <cstdint>

#include "common/byte_string.h"
#include "config/launch_config.h"
#include "runtime/jvm_host.h"

namespace hux {

// Whether the launch can have its archive made after it (a flattened
// executable, where the system can start the helper).
bool dumpsClassDataLater(const JvmHost& host);

// For a launch of a flattened executable that found no `archive`: adds the
// option that lists the loaded classes, and remembers the dump for the exit.
// False when none is asked for: a dump runs or failed less than a day ago, the
// runtime has no `java` program, or the list cannot be made.
bool appendClassListOption(const LaunchConfig& config, JvmHost& host, const ByteString& runtimeLibrary,
                           const ByteString& archive);

// Once, at the launch's exit: starts the helper for the remembered dump.
void startPendingDump();

// Whether this process was started as the helper.
bool isClassDataDumpHelper();

// The helper: waits for the launch to end, has the runtime write the archive
// from the list within the time limit, and publishes it; on failure it leaves
// the marker that holds retries off for a day. Returns the exit code.
int runClassDataDump(int argc, char** argv);

}  // namespace hux
