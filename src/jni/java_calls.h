// Calls into the Java platform classes that several parts of the launcher
// make. None leaves an exception pending unless it says so.
#pragma once

#include <jni.h>

#include <string_view>

#include "jni/local_ref.h"

namespace hux::jni {

// System.getProperty(name) into `value` (null where the property is not
// set or the call failed); false when System.getProperty cannot be reached.
bool systemProperty(JNIEnv* env, const char* name, LocalRef<jstring>& value);

// System.setProperty(name, value); false when it could not be called. The
// UTF-16 form carries every character.
bool setSystemProperty(JNIEnv* env, jstring name, jstring value);
bool setSystemProperty(JNIEnv* env, std::u16string_view name, std::u16string_view value);

// System.exit(code); returns only where it could not be called or was
// refused.
void systemExit(JNIEnv* env, jint code);

// Writes `text` and a line end to System.err.
void printToSystemErr(JNIEnv* env, std::u16string_view text);

// Makes `loader` (a java.lang.ClassLoader) the current thread's context class
// loader; a Java exception on the way is reported and cleared.
void setContextClassLoader(JNIEnv* env, jobject loader);

}  // namespace hux::jni
