// Binding the support classes' natives where the virtual machine cannot load
// the executable as a library.
#pragma once

#include <jni.h>

namespace hux {

// Initialises the class loader and the URL handler (their static initialisers
// run while "hux.app.path" is still unset, so they load nothing), registers
// their natives, then sets "hux.app.path" to `appPath`. The other support
// classes bind theirs when first used (CarvossClassLoader.bindNatives).
// Failures are reported and cleared.
void bindSupportNatives(JNIEnv* env, const char* appPath);

}  // namespace hux

extern "C" JNIEXPORT jboolean JNICALL Java_com_mordavin_hux_CarvossClassLoader_bindNatives(JNIEnv* env, jclass,
                                                                                           jclass cls, jstring name);
