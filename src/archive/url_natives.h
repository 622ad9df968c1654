// "hux:" URLs: the natives of the launcher's URL handler, served from the
// archive store, and the URLs the class loader's natives hand out.
#pragma once

#include <jni.h>

#include "common/byte_string.h"

namespace hux {

// A new java.net.URL for "hux:" + `fullName` ('/' separators), carrying the
// launcher's handler; `fromUtf8` says the name is the UTF-8 form (else
// Latin-1). Null (the exception reported) on failure.
jobject makeHuxUrl(JNIEnv* env, const ByteString& fullName, bool fromUtf8);

// Puts the launcher's handler package first in "java.protocol.handler.pkgs".
void registerHandlerPackage(JNIEnv* env);

// Whether the archive's class files are served as resources (configuration
// key `compatible` is "true", which the packer writes by default), worked
// out once.
bool classFilesAreResources();

}  // namespace hux

extern "C" {
JNIEXPORT jbyteArray JNICALL Java_com_mordavin_hux_Handler_loadResourceData(JNIEnv* env, jobject handler, jstring url);
JNIEXPORT jlongArray JNICALL Java_com_mordavin_hux_Handler_entryInfo(JNIEnv* env, jobject handler, jstring url);
JNIEXPORT jobjectArray JNICALL Java_com_mordavin_hux_Handler_archiveNames(JNIEnv* env, jobject handler,
                                                                          jstring archive);
JNIEXPORT jlong JNICALL Java_com_mordavin_hux_Handler_openStream(JNIEnv* env, jobject handler, jstring url);
JNIEXPORT jint JNICALL Java_com_mordavin_hux_Handler_readStream(JNIEnv* env, jobject handler, jlong stream,
                                                                jbyteArray buffer, jint offset, jint length);
JNIEXPORT void JNICALL Java_com_mordavin_hux_Handler_closeStream(JNIEnv* env, jobject handler, jlong stream);
}
