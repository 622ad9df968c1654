// The running process on POSIX systems: its id, its rights and the error code
// of the last failed call.
#include <unistd.h>

#include <cerrno>

#include "platform/process.h"

namespace hux::platform {

uint32_t currentProcessId() { return static_cast<uint32_t>(getpid()); }

int lastErrorCode() { return errno; }

// The shell has split the command line into the argument vector already.
bool rawCommandLine(ByteString& /*out*/) { return false; }

bool utf8Arguments(std::vector<std::string>& /*out*/) { return false; }

bool isProcessElevated() { return geteuid() == 0; }

void initCommonControls() {}

}  // namespace hux::platform
