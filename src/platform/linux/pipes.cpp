// Close-on-exec pipes on Linux, made in one step by pipe2.
#include <fcntl.h>
#include <unistd.h>

#include "platform/posix/pipes.h"

namespace hux::platform::posix {

bool closeOnExecPipe(int ends[2]) { return pipe2(ends, O_CLOEXEC) == 0; }

}  // namespace hux::platform::posix
