// A service that reads the published launch outside any JNI entry point: the
// check must reject it.
#include "jni/launch_context.h"

namespace hux {

int pumpSomething() {
    const LaunchContext* context = launchContext();
    return context ? 1 : 0;
}

}  // namespace hux
