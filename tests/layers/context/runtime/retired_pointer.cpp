// The process-wide host pointer is gone: the check must reject its use.
#include "runtime/jvm_host.h"

namespace hux {

void stop() {
    // launchContext() in a comment is not a read.
    if (JvmHost* host = activeJvmHost()) shutdownVm(*host);
}

}  // namespace hux
