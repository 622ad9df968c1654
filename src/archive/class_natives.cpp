// The class loader's natives: classes and resources out of the archive store,
// everything else left to java.net.URLClassLoader.
#include <vector>

#include "archive/archive_store.h"
#include "archive/entry_names.h"
#include "archive/jni_sink.h"
#include "archive/name_forms.h"
#include "archive/natives.h"

namespace hux {

namespace {

// The name's two byte forms, read from its UTF-16 units.
NameForms formsOf(JNIEnv* env, jstring name) {
    const jsize length = env->GetStringLength(name);
    const jchar* chars = env->GetStringChars(name, nullptr);
    if (!chars) return {};
    std::u16string units(reinterpret_cast<const char16_t*>(chars), static_cast<size_t>(length));
    env->ReleaseStringChars(name, chars);
    return makeNameForms(units.data(), units.size());
}

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
    NameForms forms = formsOf(env, name);
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

jclass defineFromArchive(JNIEnv* env, jobject loader, jstring name, bool searchNested, bool definePackage) {
    jclass loaderClass = env->GetObjectClass(loader);
    jmethodID define = env->GetMethodID(loaderClass, "defineClass", "(Ljava/lang/String;[BII)Ljava/lang/Class;");
    if (!define) {
        env->DeleteLocalRef(loaderClass);
        return nullptr;  // the lookup's exception stays pending
    }
    ensureOpen();
    jbyteArray bytes = readClassBytes(env, name, searchNested);
    env->DeleteLocalRef(loaderClass);
    if (!bytes) return nullptr;
    if (definePackage) {
        const char* utf = env->GetStringUTFChars(name, nullptr);
        std::string text = utf ? utf : "";
        if (utf) env->ReleaseStringUTFChars(name, utf);
        const size_t dot = text.rfind('.');
        if (dot != std::string::npos && dot != 0) {
            jstring pkg = env->NewStringUTF(text.substr(0, dot).c_str());
            jclass cls = env->GetObjectClass(loader);
            jmethodID getPackage = env->GetMethodID(cls, "getPackage", "(Ljava/lang/String;)Ljava/lang/Package;");
            jobject existing = getPackage ? env->CallObjectMethod(loader, getPackage, pkg) : nullptr;
            if (!existing && !env->ExceptionCheck()) {
                jmethodID definePkg = env->GetMethodID(
                    cls, "definePackage",
                    "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;"
                    "Ljava/lang/String;Ljava/lang/String;Ljava/net/URL;)Ljava/lang/Package;");
                if (definePkg) {
                    jobject p = env->CallObjectMethod(loader, definePkg, pkg, nullptr, nullptr, nullptr, nullptr,
                                                      nullptr, nullptr, nullptr);
                    if (p) env->DeleteLocalRef(p);
                }
            }
            if (existing) env->DeleteLocalRef(existing);
            env->DeleteLocalRef(cls);
            env->DeleteLocalRef(pkg);
            if (env->ExceptionCheck()) {
                env->DeleteLocalRef(bytes);
                return nullptr;
            }
        }
    }
    auto result = static_cast<jclass>(
        env->CallObjectMethod(loader, define, name, bytes, 0, env->GetArrayLength(bytes)));
    env->DeleteLocalRef(bytes);
    return result;
}

// The superclass's answer for `name`, through a non-virtual call.
jobject superclassCall(JNIEnv* env, jobject loader, jstring name, const char* method, const char* signature) {
    jclass cls = env->GetObjectClass(loader);
    jclass super = env->GetSuperclass(cls);
    jobject result = nullptr;
    jmethodID mid = super ? env->GetMethodID(super, method, signature) : nullptr;
    if (mid) result = env->CallNonvirtualObjectMethod(loader, super, mid, name);
    if (super) env->DeleteLocalRef(super);
    env->DeleteLocalRef(cls);
    return result;
}

}  // namespace

void reportPendingException(JNIEnv* env) {
    if (env->ExceptionCheck()) {
        env->ExceptionDescribe();
        env->ExceptionClear();
    }
}

}  // namespace hux

using namespace hux;

extern "C" JNIEXPORT jclass JNICALL Java_com_mordavin_hux_CarvossClassLoader_defineClass(JNIEnv* env,
                                                                                         jobject loader,
                                                                                         jstring name) {
    return defineFromArchive(env, loader, name, true, false);
}

extern "C" JNIEXPORT jclass JNICALL Java_com_mordavin_hux_CarvossClassLoader_findClass(JNIEnv* env, jobject loader,
                                                                                       jstring name) {
    return defineFromArchive(env, loader, name, false, true);
}

extern "C" JNIEXPORT jobject JNICALL Java_com_mordavin_hux_CarvossClassLoader_findResource(JNIEnv* env,
                                                                                           jobject loader,
                                                                                           jstring name) {
    ensureOpen();
    NameForms forms = formsOf(env, name);
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

extern "C" JNIEXPORT jobject JNICALL Java_com_mordavin_hux_CarvossClassLoader_findResources(JNIEnv* env,
                                                                                            jobject loader,
                                                                                            jstring name) {
    ensureOpen();
    jclass vectorClass = env->FindClass("java/util/Vector");
    jmethodID init = vectorClass ? env->GetMethodID(vectorClass, "<init>", "()V") : nullptr;
    jmethodID add = vectorClass ? env->GetMethodID(vectorClass, "add", "(Ljava/lang/Object;)Z") : nullptr;
    jmethodID elements = vectorClass ? env->GetMethodID(vectorClass, "elements", "()Ljava/util/Enumeration;") : nullptr;
    jobject vector = (init && add && elements) ? env->NewObject(vectorClass, init) : nullptr;
    if (!vector) {
        reportPendingException(env);
        if (vectorClass) env->DeleteLocalRef(vectorClass);
        return nullptr;
    }
    NameForms forms = formsOf(env, name);
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
            jobject url = makeHuxUrl(env, full, pass == 1);
            if (!url) continue;
            env->CallBooleanMethod(vector, add, url);
            env->DeleteLocalRef(url);
        }
    }
    jobject more = superclassCall(env, loader, name, "findResources", "(Ljava/lang/String;)Ljava/util/Enumeration;");
    if (more) {
        jclass enumClass = env->GetObjectClass(more);
        jmethodID hasMore = env->GetMethodID(enumClass, "hasMoreElements", "()Z");
        jmethodID next = env->GetMethodID(enumClass, "nextElement", "()Ljava/lang/Object;");
        while (hasMore && next && env->CallBooleanMethod(more, hasMore) && !env->ExceptionCheck()) {
            jobject element = env->CallObjectMethod(more, next);
            if (env->ExceptionCheck()) break;
            env->CallBooleanMethod(vector, add, element);
            if (element) env->DeleteLocalRef(element);
        }
        env->DeleteLocalRef(enumClass);
        env->DeleteLocalRef(more);
    }
    if (env->ExceptionCheck()) {
        // An IOException of the external class path reaches the caller.
        env->DeleteLocalRef(vector);
        env->DeleteLocalRef(vectorClass);
        return nullptr;
    }
    jobject result = env->CallObjectMethod(vector, elements);
    env->DeleteLocalRef(vector);
    env->DeleteLocalRef(vectorClass);
    if (!result) reportPendingException(env);
    return result;
}
