// Calls into the Java platform classes that several parts of the launcher
// make. Each leaves no exception pending unless it says otherwise.
#pragma once

#include <jni.h>

namespace hux::jni {

// Makes `loader` (a java.lang.ClassLoader) the current thread's context class
// loader; a Java exception on the way is reported and cleared.
void setContextClassLoader(JNIEnv* env, jobject loader);

}  // namespace hux::jni
