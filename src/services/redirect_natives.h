// The native of com.mordavin.hux.RedirOutputStream.
#pragma once

#include <jni.h>

extern "C" {
// write(int): the low eight bits of `b` as one byte to the handle in the
// object's field `h`. Write errors are ignored.
JNIEXPORT void JNICALL Java_com_mordavin_hux_RedirOutputStream_write(JNIEnv* env, jobject self, jint b);
}
