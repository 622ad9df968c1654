// The class loader's natives: classes and resources out of the archive store,
// everything else left to java.net.URLClassLoader. Classes are defined in
// Java; the natives resolve a name to its full tree name and read entries.
#include "archive/class_natives.h"

#include <vector>

#include "archive/archive_store.h"
#include "archive/entry_names.h"
#include "archive/jni_sink.h"
#include "archive/name_forms.h"
#include "archive/url_natives.h"
#include "common/utf.h"
#include "jni/exceptions.h"
#include "jni/java_strings.h"
#include "jni/local_ref.h"

namespace hux {

using jni::LocalRef;

namespace {

void toResourceName(ByteString& form) {
    replaceByte(form, '/', '\\');
    normalizeResourceName(form);
}

// Looks `name` up as a resource name: the Latin-1 form first, then the UTF-8
// form. `fromUtf8` tells which form matched.
bool locateName(JNIEnv* env, jstring name, ByteString& full, bool& fromUtf8) {
    NameForms forms = nameFormsOf(env, name);
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

bool isClassFileName(JNIEnv* env, jstring name) {
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

// Whether a resource lookup searches the archive for `name`: outside
// compatible mode the archive's class files are no resources.
bool searchesArchive(JNIEnv* env, jstring name) { return classFilesAreResources() || !isClassFileName(env, name); }

// Each byte as the character of that value.
std::u16string latin1Units(std::string_view bytes) {
    std::u16string units;
    for (char c : bytes) units.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    return units;
}

jstring findEntry(JNIEnv* env, jstring name) {
    ensureOpen();
    if (!name) return nullptr;
    ByteString full;
    bool fromUtf8 = false;
    if (!locateName(env, name, full, fromUtf8)) return nullptr;
    replaceByte(full, '\\', '/');
    // A name found by its UTF-8 form is spelled as the archive stores it
    // (standard UTF-8, four bytes beyond the Basic Multilingual Plane).
    return jni::newString(env, fromUtf8 ? decodeUtf8Replacing(full.view(), true) : latin1Units(full.view()));
}

// The "name!" prefixes of the nested archives plain names are looked up in
// that have version directories, in search order, spelled as findEntry spells
// the names of their entries for a name in ASCII.
jobjectArray versionedArchives(JNIEnv* env) {
    ensureOpen();
    const ArchiveStore& root = rootArchive().store();
    std::vector<int32_t> versioned;
    for (int32_t i = 0; i < root.nestedCount(); ++i)
        if (root.child(i) && root.child(i)->hasVersionDirectories()) versioned.push_back(i);
    LocalRef<jclass> stringClass(env, env->FindClass("java/lang/String"));
    jobjectArray result =
        stringClass ? env->NewObjectArray(static_cast<jsize>(versioned.size()), stringClass.get(), nullptr) : nullptr;
    if (!result) {
        jni::reportPendingException(env);
        return nullptr;
    }
    for (jsize k = 0; k < static_cast<jsize>(versioned.size()); ++k) {
        ByteString prefix(root.nestedName(versioned[k]));
        prefix.push('!');
        replaceByte(prefix, '\\', '/');
        LocalRef<jstring> text(env, jni::newString(env, latin1Units(prefix.view())));
        if (!text) return nullptr;
        env->SetObjectArrayElement(result, k, text.get());
    }
    return result;
}

// Whether `prefix` ("name!") names the nested archive stored as `stored`.
bool isPrefixOf(const ByteString& prefix, std::string_view stored) {
    const std::string_view p = prefix.view();
    return !p.empty() && p.back() == '!' && entryNamesEqual(p.substr(0, p.size() - 1), stored);
}

void serveVersions(JNIEnv* env, jstring prefix, jint feature) {
    ensureOpen();
    if (!prefix) return;
    const NameForms forms = nameFormsOf(env, prefix);
    ArchiveStore& root = rootArchive().store();
    for (int32_t i = 0; i < root.nestedCount(); ++i) {
        ArchiveStore* child = root.child(i);
        const std::string_view stored = root.nestedName(i);
        if (child && ((forms.hasLatin1 && isPrefixOf(forms.latin1, stored)) || isPrefixOf(forms.utf8, stored))) {
            child->serveVersions(feature);
            return;
        }
    }
}

jbyteArray entryBytes(JNIEnv* env, jstring tree) {
    ensureOpen();
    if (!tree) return nullptr;
    NameForms forms = nameFormsOf(env, tree);
    if (forms.hasLatin1) {
        replaceByte(forms.latin1, '/', '\\');
        if (jbyteArray a = readEntryArray(env, forms.latin1, false)) return a;
        if (env->ExceptionCheck()) return nullptr;
    }
    if (!forms.differ && forms.hasLatin1) return nullptr;
    replaceByte(forms.utf8, '/', '\\');
    return readEntryArray(env, forms.utf8, false);
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
    ByteString full;
    bool fromUtf8 = false;
    if (!searchesArchive(env, name) || !locateName(env, name, full, fromUtf8))
        return superclassCall(env, loader, name, "findResource", "(Ljava/lang/String;)Ljava/net/URL;");
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
    std::vector<ByteString> latin1Matches, utf8Matches;
    // The archive's top level is on the parent's class path, which lists its
    // entries already: only matches inside nested jars are added here.
    auto nestedOnly = [](std::vector<ByteString>& list) {
        return [&list](const ByteString& full) {
            if (full.view().find('!') != std::string_view::npos) list.push_back(full);
        };
    };
    const bool searched = searchesArchive(env, name);
    NameForms forms = searched ? nameFormsOf(env, name) : NameForms{};
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
            LocalRef<> url(env, makeHuxUrl(env, full, pass == 1));
            if (url) env->CallBooleanMethod(vector.get(), add, url.get());
        }
    }
    LocalRef<> more(env,
                    superclassCall(env, loader, name, "findResources", "(Ljava/lang/String;)Ljava/util/Enumeration;"));
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

extern "C" JNIEXPORT jstring JNICALL Java_com_mordavin_hux_CarvossClassLoader_findEntry(JNIEnv* env, jobject,
                                                                                        jstring name) {
    return jni::guardNative(env, [&] { return findEntry(env, name); });
}

extern "C" JNIEXPORT jbyteArray JNICALL Java_com_mordavin_hux_CarvossClassLoader_entryBytes(JNIEnv* env, jobject,
                                                                                            jstring tree) {
    return jni::guardNative(env, [&] { return entryBytes(env, tree); });
}

extern "C" JNIEXPORT jobjectArray JNICALL Java_com_mordavin_hux_CarvossClassLoader_versionedArchives(JNIEnv* env,
                                                                                                     jobject) {
    return jni::guardNative(env, [&] { return versionedArchives(env); });
}

extern "C" JNIEXPORT void JNICALL Java_com_mordavin_hux_CarvossClassLoader_serveVersions(JNIEnv* env, jobject,
                                                                                         jstring prefix, jint feature) {
    jni::guardNative(env, [&] { serveVersions(env, prefix, feature); });
}

extern "C" JNIEXPORT jobject JNICALL Java_com_mordavin_hux_CarvossClassLoader_findArchiveResource(JNIEnv* env,
                                                                                                  jobject loader,
                                                                                                  jstring name) {
    return jni::guardNative(env, [&] { return findResource(env, loader, name); });
}

extern "C" JNIEXPORT jobject JNICALL Java_com_mordavin_hux_CarvossClassLoader_findArchiveResources(JNIEnv* env,
                                                                                                   jobject loader,
                                                                                                   jstring name) {
    return jni::guardNative(env, [&] { return findResources(env, loader, name); });
}
