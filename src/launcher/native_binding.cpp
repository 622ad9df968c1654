#include "launcher/native_binding.h"

#include <cstdio>

#include "archive/class_natives.h"
#include "archive/url_natives.h"
#include "jni/exceptions.h"
#include "jni/java_calls.h"
#include "jni/java_strings.h"
#include "jni/local_ref.h"
#include "platform/text.h"
#include "platform/vm_support.h"
#include "services/redirect_natives.h"
#include "services/tray_natives.h"
#include "services/instance_natives.h"

namespace hux {

namespace {

#define HUX_NATIVE(name, signature, function) \
    { const_cast<char*>(name), const_cast<char*>(signature), reinterpret_cast<void*>(function) }

const JNINativeMethod kLoaderNatives[] = {
    HUX_NATIVE("findEntry", "(Ljava/lang/String;)Ljava/lang/String;",
               Java_com_mordavin_hux_CarvossClassLoader_findEntry),
    HUX_NATIVE("entryBytes", "(Ljava/lang/String;)[B", Java_com_mordavin_hux_CarvossClassLoader_entryBytes),
    HUX_NATIVE("findArchiveResource", "(Ljava/lang/String;)Ljava/net/URL;",
               Java_com_mordavin_hux_CarvossClassLoader_findArchiveResource),
    HUX_NATIVE("findArchiveResources", "(Ljava/lang/String;)Ljava/util/Enumeration;",
               Java_com_mordavin_hux_CarvossClassLoader_findArchiveResources),
    HUX_NATIVE("versionedArchives", "()[Ljava/lang/String;",
               Java_com_mordavin_hux_CarvossClassLoader_versionedArchives),
    HUX_NATIVE("serveVersions", "(Ljava/lang/String;I)V", Java_com_mordavin_hux_CarvossClassLoader_serveVersions),
};
const JNINativeMethod kLinkNatives[] = {
    HUX_NATIVE("bindNatives", "(Ljava/lang/Class;Ljava/lang/String;)Z", Java_com_mordavin_hux_NativeLink_bindNatives),
};
const JNINativeMethod kTrayNatives[] = {
    HUX_NATIVE("init", "(ILjava/lang/String;Ljava/lang/String;Ljava/lang/String;I)V",
               Java_com_mordavin_hux_SystemTray_init),
    HUX_NATIVE("Change", "(ILjava/lang/String;Ljava/lang/String;Ljava/lang/String;I)V",
               Java_com_mordavin_hux_SystemTray_Change),
    HUX_NATIVE("Show", "()V", Java_com_mordavin_hux_SystemTray_Show),
    HUX_NATIVE("Hide", "()V", Java_com_mordavin_hux_SystemTray_Hide),
    HUX_NATIVE("finalize", "()V", Java_com_mordavin_hux_SystemTray_finalize),
    HUX_NATIVE("setSystemTrayCallback", "(Lcom/mordavin/hux/SystemTrayCallback;)V",
               Java_com_mordavin_hux_SystemTray_setSystemTrayCallback),
};
const JNINativeMethod kTrayMenuNatives[] = {
    HUX_NATIVE("init", "()V", Java_com_mordavin_hux_SystemTrayMenu_init),
    HUX_NATIVE("finalize", "()V", Java_com_mordavin_hux_SystemTrayMenu_finalize),
    HUX_NATIVE("Append", "(Ljava/lang/String;I)V", Java_com_mordavin_hux_SystemTrayMenu_Append__Ljava_lang_String_2I),
    HUX_NATIVE("Append", "(Ljava/lang/String;Lcom/mordavin/hux/SystemTrayMenu;)V",
               Java_com_mordavin_hux_SystemTrayMenu_Append__Ljava_lang_String_2Lcom_mordavin_hux_SystemTrayMenu_2),
    HUX_NATIVE("AppendSeparator", "()V", Java_com_mordavin_hux_SystemTrayMenu_AppendSeparator),
    HUX_NATIVE("Popup", "()V", Java_com_mordavin_hux_SystemTrayMenu_Popup),
};
const JNINativeMethod kHandlerNatives[] = {
    HUX_NATIVE("loadResourceData", "(Ljava/lang/String;)[B", Java_com_mordavin_hux_Handler_loadResourceData),
    HUX_NATIVE("entryInfo", "(Ljava/lang/String;)[J", Java_com_mordavin_hux_Handler_entryInfo),
    HUX_NATIVE("archiveNames", "(Ljava/lang/String;)[Ljava/lang/String;", Java_com_mordavin_hux_Handler_archiveNames),
    HUX_NATIVE("openStream", "(Ljava/lang/String;)J", Java_com_mordavin_hux_Handler_openStream),
    HUX_NATIVE("readStream", "(J[BII)I", Java_com_mordavin_hux_Handler_readStream),
    HUX_NATIVE("closeStream", "(J)V", Java_com_mordavin_hux_Handler_closeStream),
};
const JNINativeMethod kRedirNatives[] = {
    HUX_NATIVE("write", "(I)V", Java_com_mordavin_hux_RedirOutputStream_write),
};

const JNINativeMethod kInstancesNatives[] = {
    HUX_NATIVE("getFirstInstance", "()I", Java_com_mordavin_hux_Instances_getFirstInstance),
    HUX_NATIVE("getCurrentInstance", "()I", Java_com_mordavin_hux_Instances_getCurrentInstance),
    HUX_NATIVE("getInstances", "()[I", Java_com_mordavin_hux_Instances_getInstances),
    HUX_NATIVE("sendObject", "(ILjava/io/Serializable;)V", Java_com_mordavin_hux_Instances_sendObject),
    HUX_NATIVE("flush", "()V", Java_com_mordavin_hux_Instances_flush),
    HUX_NATIVE("flushWithin", "(J)I", Java_com_mordavin_hux_Instances_flushWithin),
    HUX_NATIVE("setReceiver", "(Lcom/mordavin/hux/Instances$ReceiverInterface;)V",
               Java_com_mordavin_hux_Instances_setReceiver),
};

struct ClassBinding {
    const char* name;
    const JNINativeMethod* methods;
    jint count;
};

template <size_t N>
constexpr jint countOf(const JNINativeMethod (&)[N]) {
    return static_cast<jint>(N);
}

// The small class through which the others bind, bound at every start.
const ClassBinding kLinkBinding = {"com/mordavin/hux/NativeLink", kLinkNatives, countOf(kLinkNatives)};
const ClassBinding kLoaderBinding = {"com/mordavin/hux/CarvossClassLoader", kLoaderNatives, countOf(kLoaderNatives)};

// Every other support class binds its natives from its static initialiser,
// through NativeLink.bindNatives, when it is first used: loading and
// verifying them at every start cost more than a tenth of the start-up of a
// small application, and a launch the JDK's own loader serves never loads
// the class loader at all.
const ClassBinding kLazyBindings[] = {
    {"com.mordavin.hux.CarvossClassLoader", kLoaderNatives, countOf(kLoaderNatives)},
    {"com.mordavin.hux.Handler", kHandlerNatives, countOf(kHandlerNatives)},
    {"com.mordavin.hux.Instances", kInstancesNatives, countOf(kInstancesNatives)},
    {"com.mordavin.hux.SystemTray", kTrayNatives, countOf(kTrayNatives)},
    {"com.mordavin.hux.SystemTrayMenu", kTrayMenuNatives, countOf(kTrayMenuNatives)},
    {"com.mordavin.hux.RedirOutputStream", kRedirNatives, countOf(kRedirNatives)},
};

// Finds (and so initialises) the class of `b` and registers its natives.
void bindNow(JNIEnv* env, const ClassBinding& b) {
    jni::LocalRef<jclass> cls(env, env->FindClass(b.name));
    if (!cls) {
        env->ExceptionClear();  // an archive without this class simply lacks it
        return;
    }
    if (env->RegisterNatives(cls.get(), b.methods, b.count) != 0) jni::reportPendingException(env);
}

jboolean bindNatives(JNIEnv* env, jclass cls, jstring name) {
    if (!platform::bindsNativesItself() || !cls || !name) return JNI_FALSE;
    const std::string chars = jni::modifiedUtf8(env, name);
    for (const ClassBinding& b : kLazyBindings) {
        if (chars != b.name) continue;
        if (env->RegisterNatives(cls, b.methods, b.count) != 0) return JNI_FALSE;
        return JNI_TRUE;
    }
    return JNI_FALSE;
}

}  // namespace

void bindSupportNatives(JNIEnv* env, const char* appPath, bool loaderInUse) {
    using jni::LocalRef;
    bindNow(env, kLinkBinding);
    // As the system class loader, the loader was initialised while the
    // virtual machine started, before anything could be bound.
    if (loaderInUse) bindNow(env, kLoaderBinding);
    const std::u16string units = platform::ansiToUtf16(appPath, std::char_traits<char>::length(appPath));
    jni::setSystemProperty(env, u"hux.app.path", units);
}

}  // namespace hux

// Where the launcher binds the natives itself, binds those of the support
// class `cls` named `name` and answers true; elsewhere (the virtual machine
// binds them from the executable's exports) answers false.
extern "C" JNIEXPORT jboolean JNICALL Java_com_mordavin_hux_NativeLink_bindNatives(JNIEnv* env, jclass, jclass cls,
                                                                                   jstring name) {
    return hux::jni::guardNative(env, [&] { return hux::bindNatives(env, cls, name); });
}
