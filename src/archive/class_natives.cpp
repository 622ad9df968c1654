// The class loader's natives: classes and resources out of the archive store,
// everything else left to java.net.URLClassLoader.
#include <vector>

#include "archive/archive_store.h"
#include "archive/entry_names.h"
#include "archive/jni_sink.h"
#include "archive/name_forms.h"
#include "archive/natives.h"
#include "jni/exceptions.h"
#include "jni/java_strings.h"
#include "jni/local_ref.h"

namespace hux {

using jni::LocalRef;

namespace {

void toClassEntry(ByteString& form) {
    replaceByte(form, '.', '\\');
    form.append(".class");
}

void toResourceName(ByteString& form) {
    replaceByte(form, '/', '\\');
    normalizeResourceName(form);
}

// Reads a class's bytes: the Latin-1 form first, then the UTF-8 form.
jbyteArray readClassBytes(JNIEnv* env, jstring name, bool searchNested) {
    NameForms forms = nameFormsOf(env, name);
    if (forms.hasLatin1) {
        toClassEntry(forms.latin1);
        if (jbyteArray a = readEntryArray(env, forms.latin1, searchNested)) return a;
        if (env->ExceptionCheck()) return nullptr;
    }
    if (forms.differ || !forms.hasLatin1) {
        toClassEntry(forms.utf8);
        return readEntryArray(env, forms.utf8, searchNested);
    }
    return nullptr;
}

// Defines the package of class `name` (dotted) unless the loader knows it
// already; a failure stays pending.
void definePackageOf(JNIEnv* env, jobject loader, jstring name) {
    const std::string text = jni::modifiedUtf8(env, name);
    const size_t dot = text.rfind('.');
    if (dot == std::string::npos || dot == 0) return;
    LocalRef<jstring> pkg(env, env->NewStringUTF(text.substr(0, dot).c_str()));
    LocalRef<jclass> cls(env, env->GetObjectClass(loader));
    jmethodID getPackage = env->GetMethodID(cls.get(), "getPackage", "(Ljava/lang/String;)Ljava/lang/Package;");
    LocalRef<> existing(env, getPackage ? env->CallObjectMethod(loader, getPackage, pkg.get()) : nullptr);
    if (existing || env->ExceptionCheck()) return;
    jmethodID definePkg = env->GetMethodID(
        cls.get(), "definePackage",
        "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;"
        "Ljava/lang/String;Ljava/lang/String;Ljava/net/URL;)Ljava/lang/Package;");
    if (definePkg) {
        LocalRef<> defined(env, env->CallObjectMethod(loader, definePkg, pkg.get(), nullptr, nullptr, nullptr,
                                                      nullptr, nullptr, nullptr, nullptr));
    }
}

jclass defineFromArchive(JNIEnv* env, jobject loader, jstring name, bool searchNested, bool definePackage) {
    jmethodID define;
    {
        LocalRef<jclass> loaderClass(env, env->GetObjectClass(loader));
        define = env->GetMethodID(loaderClass.get(), "defineClass", "(Ljava/lang/String;[BII)Ljava/lang/Class;");
    }
    if (!define) return nullptr;  // the lookup's exception stays pending
    ensureOpen();
    LocalRef<jbyteArray> bytes(env, readClassBytes(env, name, searchNested));
    if (!bytes) return nullptr;
    if (definePackage) {
        definePackageOf(env, loader, name);
        if (env->ExceptionCheck()) return nullptr;
    }
    return static_cast<jclass>(
        env->CallObjectMethod(loader, define, name, bytes.get(), 0, env->GetArrayLength(bytes.get())));
}

// The superclass's answer for `name`, through a non-virtual call.
jobject superclassCall(JNIEnv* env, jobject loader, jstring name, const char* method, const char* signature) {
    LocalRef<jclass> cls(env, env->GetObjectClass(loader));
    LocalRef<jclass> super(env, env->GetSuperclass(cls.get()));
    jmethodID mid = super ? env->GetMethodID(super.get(), method, signature) : nullptr;
    return mid ? env->CallNonvirtualObjectMethod(loader, super.get(), mid, name) : nullptr;
}

jobject findResource(JNIEnv* env, jobject loader, jstring name) {
    ensureOpen();
    NameForms forms = nameFormsOf(env, name);
    ByteString full;
    bool found = false;
    bool fromUtf8 = false;
    if (forms.hasLatin1) {
        toResourceName(forms.latin1);
        found = rootArchive().store().locateResource(forms.latin1.view(), {}, full);
    }
    if (!found && (forms.differ || !forms.hasLatin1)) {
        toResourceName(forms.utf8);
        found = rootArchive().store().locateResource(forms.utf8.view(), {}, full);
        fromUtf8 = found;
    }
    if (!found) return superclassCall(env, loader, name, "findResource", "(Ljava/lang/String;)Ljava/net/URL;");
    replaceByte(full, '\\', '/');
    return makeHuxUrl(env, full, fromUtf8);
}

jobject findResources(JNIEnv* env, jobject loader, jstring name) {
    ensureOpen();
    LocalRef<jclass> vectorClass(env, env->FindClass("java/util/Vector"));
    jmethodID init = vectorClass ? env->GetMethodID(vectorClass.get(), "<init>", "()V") : nullptr;
    jmethodID add = vectorClass ? env->GetMethodID(vectorClass.get(), "add", "(Ljava/lang/Object;)Z") : nullptr;
    jmethodID elements =
        vectorClass ? env->GetMethodID(vectorClass.get(), "elements", "()Ljava/util/Enumeration;") : nullptr;
    LocalRef<> vector(env, (init && add && elements) ? env->NewObject(vectorClass.get(), init) : nullptr);
    if (!vector) {
        jni::reportPendingException(env);
        return nullptr;
    }
    NameForms forms = nameFormsOf(env, name);
    std::vector<ByteString> latin1Matches, utf8Matches;
    if (forms.hasLatin1) {
        toResourceName(forms.latin1);
        rootArchive().store().locateResource(forms.latin1.view(), {},
                                             [&](const ByteString& full) { latin1Matches.push_back(full); });
    }
    if (forms.differ || !forms.hasLatin1) {
        toResourceName(forms.utf8);
        rootArchive().store().locateResource(forms.utf8.view(), {},
                                             [&](const ByteString& full) { utf8Matches.push_back(full); });
    }
    for (int pass = 0; pass < 2; ++pass) {
        for (ByteString& full : pass == 0 ? latin1Matches : utf8Matches) {
            replaceByte(full, '\\', '/');
            // A URL that cannot be made was reported; it is left out, so the
            // enumeration holds URLs only.
            LocalRef<> url(env, makeHuxUrl(env, full, pass == 1));
            if (url) env->CallBooleanMethod(vector.get(), add, url.get());
        }
    }
    LocalRef<> more(env, superclassCall(env, loader, name, "findResources",
                                        "(Ljava/lang/String;)Ljava/util/Enumeration;"));
    if (more) {
        LocalRef<jclass> enumClass(env, env->GetObjectClass(more.get()));
        jmethodID hasMore = env->GetMethodID(enumClass.get(), "hasMoreElements", "()Z");
        jmethodID next = env->GetMethodID(enumClass.get(), "nextElement", "()Ljava/lang/Object;");
        while (hasMore && next && env->CallBooleanMethod(more.get(), hasMore) && !env->ExceptionCheck()) {
            LocalRef<> element(env, env->CallObjectMethod(more.get(), next));
            if (env->ExceptionCheck()) break;
            env->CallBooleanMethod(vector.get(), add, element.get());
        }
    }
    // An IOException of the external class path reaches the caller.
    if (env->ExceptionCheck()) return nullptr;
    jobject result = env->CallObjectMethod(vector.get(), elements);
    if (!result) jni::reportPendingException(env);
    return result;
}

}  // namespace

NameForms nameFormsOf(JNIEnv* env, jstring name) {
    const std::optional<std::u16string> units = jni::stringUnits(env, name);
    if (!units) return {};
    return makeNameForms(units->data(), units->size());
}

}  // namespace hux

using namespace hux;

extern "C" JNIEXPORT jclass JNICALL Java_com_mordavin_hux_CarvossClassLoader_defineClass(JNIEnv* env,
                                                                                         jobject loader,
                                                                                         jstring name) {
    return jni::guardNative(env, [&] { return defineFromArchive(env, loader, name, true, false); });
}

extern "C" JNIEXPORT jclass JNICALL Java_com_mordavin_hux_CarvossClassLoader_findClass(JNIEnv* env, jobject loader,
                                                                                       jstring name) {
    return jni::guardNative(env, [&] { return defineFromArchive(env, loader, name, false, true); });
}

extern "C" JNIEXPORT jobject JNICALL Java_com_mordavin_hux_CarvossClassLoader_findResource(JNIEnv* env,
                                                                                           jobject loader,
                                                                                           jstring name) {
    return jni::guardNative(env, [&] { return findResource(env, loader, name); });
}

extern "C" JNIEXPORT jobject JNICALL Java_com_mordavin_hux_CarvossClassLoader_findResources(JNIEnv* env,
                                                                                            jobject loader,
                                                                                            jstring name) {
    return jni::guardNative(env, [&] { return findResources(env, loader, name); });
}
