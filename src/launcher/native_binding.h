// Binding the support classes' natives where the virtual machine cannot load
// the executable as a library.
#pragma once

#include <jni.h>

namespace hux {

// Binds NativeLink, through which the support classes bind their natives
// when first used, and, when the launch goes through it (`loaderInUse`), the
// class loader; then sets "hux.app.path" to `appPath` (the classes
// initialised before that load nothing). Failures are reported and cleared.
void bindSupportNatives(JNIEnv* env, const char* appPath, bool loaderInUse);

}  // namespace hux

extern "C" JNIEXPORT jboolean JNICALL Java_com_mordavin_hux_NativeLink_bindNatives(JNIEnv* env, jclass, jclass cls,
                                                                                   jstring name);
