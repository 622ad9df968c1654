#include "jni/java_strings.h"

namespace hux::jni {

std::optional<std::u16string> stringUnits(JNIEnv* env, jstring s) {
    if (!s) return std::nullopt;
    const jsize length = env->GetStringLength(s);
    const jchar* chars = env->GetStringChars(s, nullptr);
    if (!chars) return std::nullopt;
    std::u16string units(reinterpret_cast<const char16_t*>(chars), static_cast<size_t>(length));
    env->ReleaseStringChars(s, chars);
    return units;
}

std::string modifiedUtf8(JNIEnv* env, jstring s) {
    if (!s) return {};
    const char* chars = env->GetStringUTFChars(s, nullptr);
    if (!chars) return {};
    std::string text(chars);
    env->ReleaseStringUTFChars(s, chars);
    return text;
}

jstring newString(JNIEnv* env, std::u16string_view units) {
    return env->NewString(reinterpret_cast<const jchar*>(units.data()), static_cast<jsize>(units.size()));
}

}  // namespace hux::jni
