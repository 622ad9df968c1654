// The class loader's natives: classes and resources out of the archive store,
// everything else left to java.net.URLClassLoader.
#include <vector>

#include "archive/archive_store.h"
#include "archive/entry_names.h"
#include "archive/jni_sink.h"
#include "archive/name_forms.h"
#include "archive/natives.h"
#include "common/utf.h"

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

void toResourceName(ByteString& form) {
    replaceByte(form, '/', '\\');
    normalizeResourceName(form);
}

// Looks `name` up as a resource name: the Latin-1 form first, then the UTF-8
// form. `fromUtf8` tells which form matched.
bool locateName(JNIEnv* env, jstring name, ByteString& full, bool& fromUtf8) {
    NameForms forms = formsOf(env, name);
    fromUtf8 = false;
    if (forms.hasLatin1) {
        toResourceName(forms.latin1);
        if (rootArchive().store().locateResource(forms.latin1.view(), {}, full)) return true;
    }
    if (forms.differ || !forms.hasLatin1) {
        toResourceName(forms.utf8);
        fromUtf8 = rootArchive().store().locateResource(forms.utf8.view(), {}, full);
    }
    return fromUtf8;
}

bool isClassFileName(jstring name, JNIEnv* env) {
    if (!name) return false;
    const jsize length = env->GetStringLength(name);
    if (length < 6) return false;
    jchar tail[6];
    env->GetStringRegion(name, length - 6, 6, tail);
    static constexpr char16_t kSuffix[] = u".class";
    for (int i = 0; i < 6; ++i)
        if (tail[i] != kSuffix[i]) return false;
    return true;
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

extern "C" JNIEXPORT jstring JNICALL Java_com_mordavin_hux_CarvossClassLoader_findEntry(JNIEnv* env, jobject,
                                                                                        jstring name) {
    ensureOpen();
    if (!name) return nullptr;
    ByteString full;
    bool fromUtf8 = false;
    if (!locateName(env, name, full, fromUtf8)) return nullptr;
    replaceByte(full, '\\', '/');
    std::u16string units;
    if (fromUtf8) {
        units = utf8ToUtf16(full.view());
    } else {
        for (char c : full.view()) units.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    }
    return env->NewString(reinterpret_cast<const jchar*>(units.data()), static_cast<jsize>(units.size()));
}

extern "C" JNIEXPORT jbyteArray JNICALL Java_com_mordavin_hux_CarvossClassLoader_entryBytes(JNIEnv* env, jobject,
                                                                                           jstring tree) {
    ensureOpen();
    if (!tree) return nullptr;
    NameForms forms = formsOf(env, tree);
    if (forms.hasLatin1) {
        replaceByte(forms.latin1, '/', '\\');
        if (jbyteArray a = readEntryArray(env, forms.latin1, false)) return a;
        if (env->ExceptionCheck()) return nullptr;
    }
    if (!forms.differ && forms.hasLatin1) return nullptr;
    replaceByte(forms.utf8, '/', '\\');
    return readEntryArray(env, forms.utf8, false);
}

extern "C" JNIEXPORT jobject JNICALL Java_com_mordavin_hux_CarvossClassLoader_findResource(JNIEnv* env,
                                                                                           jobject loader,
                                                                                           jstring name) {
    ensureOpen();
    ByteString full;
    bool fromUtf8 = false;
    // Outside compatible mode the archive's class files are no resources.
    const bool found = (classFilesAreResources() || !isClassFileName(name, env)) && locateName(env, name, full, fromUtf8);
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
    std::vector<ByteString> latin1Matches, utf8Matches;
    // The archive's top level is on the parent's class path, which lists its
    // entries already; outside compatible mode class files are no resources.
    const bool searched = classFilesAreResources() || !isClassFileName(name, env);
    NameForms forms = searched ? formsOf(env, name) : NameForms{};
    auto nestedOnly = [](std::vector<ByteString>& list) {
        return [&list](const ByteString& full) {
            if (full.view().find('!') != std::string_view::npos) list.push_back(full);
        };
    };
    if (searched && forms.hasLatin1) {
        toResourceName(forms.latin1);
        rootArchive().store().locateResource(forms.latin1.view(), {}, nestedOnly(latin1Matches));
    }
    if (searched && (forms.differ || !forms.hasLatin1)) {
        toResourceName(forms.utf8);
        rootArchive().store().locateResource(forms.utf8.view(), {}, nestedOnly(utf8Matches));
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
