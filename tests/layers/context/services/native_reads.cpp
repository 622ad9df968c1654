// A file of JNI entry points reads the published launch: accepted.
#include <jni.h>

#include "jni/launch_context.h"

extern "C" JNIEXPORT jint JNICALL Java_com_mordavin_hux_Example_value(JNIEnv* env, jclass) {
    const hux::LaunchContext* context = hux::launchContext();
    return context ? 1 : 0;
}
