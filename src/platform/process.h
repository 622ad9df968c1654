// The running process: its executable, its id, how it was started and with
// what rights.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/byte_string.h"
#include "platform/status.h"

namespace hux::platform {

// Full path of the running executable, as the module file name gives it
// (at most kPathMax - 1 bytes on Windows, any length the system can report
// on Linux, else kSelfExecutable). The failure, and an empty path as its
// value, when it cannot be read whole.
Result<ByteString> moduleFileName();
// What moduleFileName gives on Linux when the system cannot spell the path:
// a name that opens the running executable whatever its path.
constexpr const char kSelfExecutable[] = "/proc/self/exe";

uint32_t currentProcessId();

// The command line as the process received it, as one text; false where the
// system hands over an argument vector only.
bool rawCommandLine(ByteString& out);

// The arguments after the program's name as UTF-8, split from the wide
// command line; false where the argument vector `main` receives is already
// what the system holds (Linux: bytes).
bool utf8Arguments(std::vector<std::string>& out);

// Whether the process runs with elevated (administrator / root) rights.
bool isProcessElevated();

// Lowers the process's scheduling priority to the least (nice 19 where there
// is such a value), for work nobody waits for; programs it starts inherit it.
Status lowerOwnPriority();

// Waits at most `limitMs` for `parent`, the process that started this one, to
// end (nothing where the system does not tell).
void waitForParentEnd(uint32_t parent, int limitMs);

// Initialises the common controls library (nothing where there is none).
void initCommonControls();

}  // namespace hux::platform
