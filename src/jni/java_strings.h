// Java strings to and from the launcher's text forms.
#pragma once

#include <jni.h>

#include <optional>
#include <string>
#include <string_view>

namespace hux::jni {

// The string's UTF-16 units; nullopt for a null string or when the units
// cannot be read (an exception may then be pending).
std::optional<std::u16string> stringUnits(JNIEnv* env, jstring s);

// The string in the virtual machine's modified UTF-8; empty for null.
std::string modifiedUtf8(JNIEnv* env, jstring s);

// A new Java string of exactly these UTF-16 units; null with an exception
// pending on failure.
jstring newString(JNIEnv* env, std::u16string_view units);

}  // namespace hux::jni
