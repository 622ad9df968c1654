// "hux:" URLs: made for the class loader's natives, served by the handler's
// native, and registered as a protocol handler package.
#include <atomic>

#include "archive/archive_store.h"
#include "archive/entry_names.h"
#include "archive/jni_sink.h"
#include "archive/name_forms.h"
#include "archive/natives.h"
#include "common/utf.h"
#include "config/config_values.h"
#include "platform/platform.h"

namespace hux {

namespace {

std::atomic<jobject> handlerInstance{nullptr};
// 0: not worked out yet; 1: set; 2: clear.
std::atomic<int> compatibleFlag{0};

jobject handler(JNIEnv* env) {
    if (jobject h = handlerInstance.load()) return h;
    jclass cls = env->FindClass("com/mordavin/hux/Handler");
    jmethodID init = cls ? env->GetMethodID(cls, "<init>", "()V") : nullptr;
    jobject local = init ? env->NewObject(cls, init) : nullptr;
    jobject global = local ? env->NewGlobalRef(local) : nullptr;
    if (local) env->DeleteLocalRef(local);
    if (cls) env->DeleteLocalRef(cls);
    if (!global) {
        reportPendingException(env);
        return nullptr;
    }
    // Concurrent first uses may each make one; any of them serves.
    jobject expected = nullptr;
    if (!handlerInstance.compare_exchange_strong(expected, global)) {
        env->DeleteGlobalRef(global);
        return expected;
    }
    return global;
}

bool compatibleMode() {
    int flag = compatibleFlag.load();
    if (flag == 0) {
        const LaunchConfig* config = activeConfig();
        const bool set = config && config::compatible(*config) == "true";
        flag = set ? 1 : 2;
        compatibleFlag.store(flag);
    }
    return flag == 1;
}

jbyteArray readUrlEntry(JNIEnv* env, const ByteString& form) {
    ByteString name(form.view().substr(4));
    return readEntryArray(env, name, false);
}

}  // namespace

jobject makeHuxUrl(JNIEnv* env, const ByteString& fullName, bool fromUtf8) {
    jobject h = handler(env);
    if (!h) return nullptr;
    jclass urlClass = env->FindClass("java/net/URL");
    jmethodID init = urlClass ? env->GetMethodID(urlClass, "<init>",
                                                 "(Ljava/net/URL;Ljava/lang/String;Ljava/net/URLStreamHandler;)V")
                              : nullptr;
    if (!init) {
        reportPendingException(env);
        if (urlClass) env->DeleteLocalRef(urlClass);
        return nullptr;
    }
    std::u16string units = u"hux:";
    if (fromUtf8) {
        units += platform::utf8TextToUtf16(fullName.view());
    } else {
        for (char c : fullName.view()) units.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    }
    jstring spec = env->NewString(reinterpret_cast<const jchar*>(units.data()), static_cast<jsize>(units.size()));
    jobject url = spec ? env->NewObject(urlClass, init, nullptr, spec, h) : nullptr;
    if (spec) env->DeleteLocalRef(spec);
    env->DeleteLocalRef(urlClass);
    if (!url) reportPendingException(env);
    return url;
}

void registerHandlerPackage(JNIEnv* env) {
    jclass system = env->FindClass("java/lang/System");
    if (!system) {
        env->ExceptionClear();
        return;
    }
    jmethodID get = env->GetStaticMethodID(system, "getProperty", "(Ljava/lang/String;)Ljava/lang/String;");
    jmethodID set =
        env->GetStaticMethodID(system, "setProperty", "(Ljava/lang/String;Ljava/lang/String;)Ljava/lang/String;");
    if (!get || !set) {
        env->ExceptionClear();
        env->DeleteLocalRef(system);
        return;
    }
    jstring key = env->NewStringUTF("java.protocol.handler.pkgs");
    auto old = static_cast<jstring>(env->CallStaticObjectMethod(system, get, key));
    std::string value = "com.mordavin";
    if (old) {
        const char* chars = env->GetStringUTFChars(old, nullptr);
        if (chars && chars[0]) value = value + "|" + chars;
        if (chars) env->ReleaseStringUTFChars(old, chars);
        env->DeleteLocalRef(old);
    }
    jstring newValue = env->NewStringUTF(value.c_str());
    jobject previous = env->CallStaticObjectMethod(system, set, key, newValue);
    if (previous) env->DeleteLocalRef(previous);
    env->ExceptionClear();
    env->DeleteLocalRef(newValue);
    env->DeleteLocalRef(key);
    env->DeleteLocalRef(system);
}

}  // namespace hux

using namespace hux;

extern "C" JNIEXPORT jbyteArray JNICALL Java_com_mordavin_hux_Handler_loadResourceData(JNIEnv* env, jobject,
                                                                                       jstring url) {
    ensureOpen();
    if (!url) return nullptr;
    const jsize length = env->GetStringLength(url);
    const jchar* chars = env->GetStringChars(url, nullptr);
    if (!chars) return nullptr;
    std::u16string units(reinterpret_cast<const char16_t*>(chars), static_cast<size_t>(length));
    env->ReleaseStringChars(url, chars);
    NameForms forms = makeNameForms(units.data(), units.size());
    for (ByteString* form : {&forms.latin1, &forms.utf8}) {
        replaceByte(*form, '/', '\\');
        normalizeResourceName(*form);
    }
    if (units.compare(0, 4, u"hux:") != 0) return nullptr;
    // Class files are not served as resource data unless `compatible` says so.
    if (units.size() >= 6 && units.compare(units.size() - 6, 6, u".class") == 0 && !compatibleMode()) {
        return env->NewByteArray(0);
    }
    jbyteArray result = nullptr;
    if (forms.hasLatin1 && forms.latin1.length() >= 4) result = readUrlEntry(env, forms.latin1);
    if (!result && !env->ExceptionCheck() && (forms.differ || !forms.hasLatin1) && forms.utf8.length() >= 4)
        result = readUrlEntry(env, forms.utf8);
    if (!result && !env->ExceptionCheck() && forms.hasLatin1) {
        const ByteString decoded = percentDecode(forms.latin1.view());
        if (decoded != forms.latin1 && decoded.length() >= 4) result = readUrlEntry(env, decoded);
    }
    return result;
}
