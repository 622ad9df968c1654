// Binding the support classes' natives where the virtual machine cannot load
// the executable as a library.
#pragma once

#include <jni.h>

namespace hux {

// Initialises every support class (its static initialiser runs while
// "hux.app.path" is still unset, so it loads nothing), registers the natives of
// each, then sets "hux.app.path" to `appPath`. Failures are reported and cleared.
void bindSupportNatives(JNIEnv* env, const char* appPath);

}  // namespace hux
