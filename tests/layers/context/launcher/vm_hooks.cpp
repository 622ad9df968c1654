// The interrupt handler's file reads the published launch: accepted.
#include "jni/launch_context.h"

namespace hux {

bool running() { return launchContext() != nullptr; }

}  // namespace hux
