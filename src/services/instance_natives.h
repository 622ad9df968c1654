// The Java side of instance messaging: the natives of com.mordavin.hux.Instances
// and the receiver binding through which received objects reach Java.
#pragma once

#include <jni.h>

#include "services/instances.h"

namespace hux {

// The process-wide receiver that deserialises messages and calls the bound
// Java receiver's onReceive.
InstanceReceiver& javaReceiver();
// Set once by startMessaging (custom mode); the natives answer -1 or do nothing
// until then.
bool messagingEnabled();
void enableMessaging();
// Messages that arrive before the application binds a receiver wait for it
// instead of being dropped (forwarded launches must not be lost while the
// first instance starts up).
void holdMessagesUntilReceiverBound();

}  // namespace hux

extern "C" {
JNIEXPORT jint JNICALL Java_com_mordavin_hux_Instances_getFirstInstance(JNIEnv* env, jclass cls);
JNIEXPORT jint JNICALL Java_com_mordavin_hux_Instances_getCurrentInstance(JNIEnv* env, jclass cls);
JNIEXPORT jintArray JNICALL Java_com_mordavin_hux_Instances_getInstances(JNIEnv* env, jclass cls);
JNIEXPORT void JNICALL Java_com_mordavin_hux_Instances_sendObject(JNIEnv* env, jclass cls, jint target, jobject object);
JNIEXPORT void JNICALL Java_com_mordavin_hux_Instances_flush(JNIEnv* env, jclass cls);
JNIEXPORT jint JNICALL Java_com_mordavin_hux_Instances_flushWithin(JNIEnv* env, jclass cls, jlong timeoutMillis);
JNIEXPORT void JNICALL Java_com_mordavin_hux_Instances_setReceiver(JNIEnv* env, jclass cls, jobject receiver);
}
