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
#include "jni/exceptions.h"
#include "jni/java_strings.h"
#include "jni/local_ref.h"
#include "platform/platform.h"

namespace hux {

using jni::LocalRef;

namespace {

std::atomic<jobject> handlerInstance{nullptr};
// 0: not worked out yet; 1: set; 2: clear.
std::atomic<int> compatibleFlag{0};

jobject handler(JNIEnv* env) {
    if (jobject h = handlerInstance.load()) return h;
    LocalRef<jclass> cls(env, env->FindClass("com/mordavin/hux/Handler"));
    jmethodID init = cls ? env->GetMethodID(cls.get(), "<init>", "()V") : nullptr;
    LocalRef<> local(env, init ? env->NewObject(cls.get(), init) : nullptr);
    jobject global = local ? env->NewGlobalRef(local.get()) : nullptr;
    if (!global) {
        jni::reportPendingException(env);
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
    LocalRef<jclass> urlClass(env, env->FindClass("java/net/URL"));
    jmethodID init = urlClass ? env->GetMethodID(urlClass.get(), "<init>",
                                                 "(Ljava/net/URL;Ljava/lang/String;Ljava/net/URLStreamHandler;)V")
                              : nullptr;
    if (!init) {
        jni::reportPendingException(env);
        return nullptr;
    }
    std::u16string units = u"hux:";
    if (fromUtf8) {
        units += platform::utf8TextToUtf16(fullName.view());
    } else {
        for (char c : fullName.view()) units.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    }
    LocalRef<jstring> spec(env, jni::newString(env, units));
    jobject url = spec ? env->NewObject(urlClass.get(), init, nullptr, spec.get(), h) : nullptr;
    if (!url) jni::reportPendingException(env);
    return url;
}

void registerHandlerPackage(JNIEnv* env) {
    LocalRef<jclass> system(env, env->FindClass("java/lang/System"));
    jmethodID get = system ? env->GetStaticMethodID(system.get(), "getProperty",
                                                    "(Ljava/lang/String;)Ljava/lang/String;")
                           : nullptr;
    jmethodID set = get ? env->GetStaticMethodID(system.get(), "setProperty",
                                                 "(Ljava/lang/String;Ljava/lang/String;)Ljava/lang/String;")
                        : nullptr;
    if (!set) {
        env->ExceptionClear();
        return;
    }
    LocalRef<jstring> key(env, env->NewStringUTF("java.protocol.handler.pkgs"));
    LocalRef<jstring> old(env, static_cast<jstring>(env->CallStaticObjectMethod(system.get(), get, key.get())));
    std::string value = "com.mordavin";
    if (old) {
        const std::string chars = jni::modifiedUtf8(env, old.get());
        if (!chars.empty()) value = value + "|" + chars;
    }
    LocalRef<jstring> newValue(env, env->NewStringUTF(value.c_str()));
    LocalRef<> previous(env, env->CallStaticObjectMethod(system.get(), set, key.get(), newValue.get()));
    env->ExceptionClear();
}

namespace {

jbyteArray loadResourceData(JNIEnv* env, jstring url) {
    ensureOpen();
    if (!url) return nullptr;
    NameForms forms = nameFormsOf(env, url);
    // The scheme and the extension are ASCII, which the UTF-8 form keeps as is.
    const std::string_view text = forms.utf8.view();
    if (text.substr(0, 4) != "hux:") return nullptr;
    const bool classFile = text.size() >= 6 && text.substr(text.size() - 6) == ".class";
    for (ByteString* form : {&forms.latin1, &forms.utf8}) {
        replaceByte(*form, '/', '\\');
        normalizeResourceName(*form);
    }
    // Class files are not served as resource data unless `compatible` says so.
    if (classFile && !compatibleMode()) return env->NewByteArray(0);
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

}  // namespace

}  // namespace hux

using namespace hux;

extern "C" JNIEXPORT jbyteArray JNICALL Java_com_mordavin_hux_Handler_loadResourceData(JNIEnv* env, jobject,
                                                                                       jstring url) {
    return jni::guardNative(env, [&] { return loadResourceData(env, url); });
}
