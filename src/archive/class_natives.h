// JNI natives of the class loader, served from the archive store.
#pragma once

#include <jni.h>

#include "archive/name_forms.h"

namespace hux {

// The two byte forms of a Java name; no form at all when the name is null or
// its characters cannot be read.
NameForms nameFormsOf(JNIEnv* env, jstring name);

}  // namespace hux

extern "C" {
JNIEXPORT jstring JNICALL Java_com_mordavin_hux_CarvossClassLoader_findEntry(JNIEnv* env, jobject loader, jstring name);
JNIEXPORT jbyteArray JNICALL Java_com_mordavin_hux_CarvossClassLoader_entryBytes(JNIEnv* env, jobject loader,
                                                                                 jstring tree);
JNIEXPORT jobjectArray JNICALL Java_com_mordavin_hux_CarvossClassLoader_versionedArchives(JNIEnv* env, jobject loader);
JNIEXPORT void JNICALL Java_com_mordavin_hux_CarvossClassLoader_serveVersions(JNIEnv* env, jobject loader,
                                                                              jstring prefix, jint feature);
JNIEXPORT jobject JNICALL Java_com_mordavin_hux_CarvossClassLoader_findArchiveResource(JNIEnv* env, jobject loader,
                                                                                       jstring name);
JNIEXPORT jobject JNICALL Java_com_mordavin_hux_CarvossClassLoader_findArchiveResources(JNIEnv* env, jobject loader,
                                                                                        jstring name);
}
