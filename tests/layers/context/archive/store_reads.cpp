// Archive code below the natives reads the published launch: the check must
// reject it (the launcher hands the path in instead).
#include "jni/launch_context.h"

namespace hux {

const void* rootPath() { return launchContext(); }

}  // namespace hux
