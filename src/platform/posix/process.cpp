// The running process on POSIX systems: its id and its rights.
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include "platform/process.h"

namespace hux::platform {

uint32_t currentProcessId() { return static_cast<uint32_t>(getpid()); }

// The shell has split the command line into the argument vector already.
bool rawCommandLine(ByteString& /*out*/) { return false; }

bool utf8Arguments(std::vector<std::string>& /*out*/) { return false; }

bool isProcessElevated() { return geteuid() == 0; }

Status lowerOwnPriority() {
    if (setpriority(PRIO_PROCESS, 0, 19) != 0) return lastErrorStatus("cannot lower the priority");
    return {};
}

void waitForParentEnd(uint32_t parent, int limitMs) {
    // An orphan is handed to another parent (init or a subreaper).
    for (int waited = 0; waited < limitMs && static_cast<uint32_t>(getppid()) == parent; waited += 20) {
        struct timespec pause = {0, 20 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}

void initCommonControls() {}

}  // namespace hux::platform
