// "hux:" URLs: made for the class loader's natives, served by the handler's
// native, and registered as a protocol handler package.
#include "archive/url_natives.h"

#include <atomic>
#include <vector>

#include "archive/archive_store.h"
#include "archive/class_natives.h"
#include "archive/entry_names.h"
#include "archive/entry_reader.h"
#include "archive/jni_sink.h"
#include "archive/name_forms.h"
#include "common/utf.h"
#include "config/config_values.h"
#include "jni/exceptions.h"
#include "jni/java_calls.h"
#include "jni/java_strings.h"
#include "jni/launch_context.h"
#include "jni/local_ref.h"

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
        const LaunchContext* context = launchContext();
        const bool set = context && context->config && config::compatible(*context->config);
        flag = set ? 1 : 2;
        compatibleFlag.store(flag);
    }
    return flag == 1;
}

// Tries the names a URL text can stand for, in order, until `serve` accepts
// one: its Latin-1 form, its UTF-8 form, then both percent-decoded. Outside
// `compatible` mode no name of a class file is tried, however it is spelled.
// False when the text is not a hux: URL or no name served.
template <class Serve>
bool forEachUrlName(JNIEnv* env, jstring url, const Serve& serve) {
    if (!url) return false;
    NameForms forms = nameFormsOf(env, url);
    // The scheme is ASCII, which the UTF-8 form keeps as is.
    if (forms.utf8.view().substr(0, 4) != "hux:") return false;
    const bool classes = compatibleMode();
    ByteString tried[4];
    int count = 0;
    auto attempt = [&](ByteString form) {
        replaceByte(form, '/', '\\');
        normalizeResourceName(form);
        if (form.length() < 4) return false;
        ByteString name(form.view().substr(4));
        for (int i = 0; i < count; ++i)
            if (tried[i] == name) return false;
        tried[count++] = name;
        if (!classes && name.view().size() >= 6 && name.view().substr(name.view().size() - 6) == ".class") return false;
        return serve(name);
    };
    if (forms.hasLatin1 && attempt(forms.latin1)) return true;
    if (env->ExceptionCheck()) return false;
    if ((forms.differ || !forms.hasLatin1) && attempt(forms.utf8)) return true;
    if (env->ExceptionCheck()) return false;
    if (forms.hasLatin1 && attempt(percentDecode(forms.latin1.view()))) return true;
    if (env->ExceptionCheck()) return false;
    return forms.differ && attempt(percentDecode(forms.utf8.view()));
}

}  // namespace

bool classFilesAreResources() { return compatibleMode(); }

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
        for (char16_t u : decodeUtf8Replacing(fullName.view(), true)) appendUrlUnit(units, u);
    } else {
        for (char c : fullName.view()) appendUrlUnit(units, static_cast<char16_t>(static_cast<unsigned char>(c)));
    }
    LocalRef<jstring> spec(env, jni::newString(env, units));
    jobject url = spec ? env->NewObject(urlClass.get(), init, nullptr, spec.get(), h) : nullptr;
    if (!url) jni::reportPendingException(env);
    return url;
}

void registerHandlerPackage(JNIEnv* env) {
    constexpr const char kKey[] = "java.protocol.handler.pkgs";
    LocalRef<jstring> old;
    if (!jni::systemProperty(env, kKey, old)) return;
    std::string value = "com.mordavin";
    if (old) {
        const std::string chars = jni::modifiedUtf8(env, old.get());
        if (!chars.empty()) value = value + "|" + chars;
    }
    LocalRef<jstring> key(env, env->NewStringUTF(kKey));
    LocalRef<jstring> newValue(env, env->NewStringUTF(value.c_str()));
    jni::setSystemProperty(env, key.get(), newValue.get());
}

namespace {

jbyteArray loadResourceData(JNIEnv* env, jstring url) {
    ensureOpen();
    jbyteArray result = nullptr;
    forEachUrlName(env, url, [&](const ByteString& name) {
        result = readEntryArray(env, name, false);
        return result != nullptr;
    });
    return result;
}

jlongArray entryInfo(JNIEnv* env, jstring url) {
    ensureOpen();
    const ZipEntry* entry = nullptr;
    forEachUrlName(env, url, [&](const ByteString& name) {
        entry = rootArchive().store().statEntry(name.view(), false);
        return entry != nullptr;
    });
    if (!entry) return nullptr;
    const jlong modified = entry->modifiedSeconds == ZipEntry::kNoTime ? INT64_MIN : entry->modifiedSeconds * 1000;
    const jlong info[3] = {static_cast<jlong>(entry->size), static_cast<jlong>(entry->dosTime), modified};
    jlongArray array = env->NewLongArray(3);
    if (array) env->SetLongArrayRegion(array, 0, 3, info);
    return array;
}

// Each entry name as Java text: UTF-8 where the bytes are well-formed UTF-8,
// Latin-1 otherwise (the forms the URL natives try). Outside `compatible`
// mode class files are left out, as no URL reads them.
jobjectArray archiveNames(JNIEnv* env, jstring path) {
    ensureOpen();
    if (!path) return nullptr;
    const NameForms forms = nameFormsOf(env, path);
    const ArchiveStore* archive = nullptr;
    if (forms.hasLatin1) archive = rootArchive().store().archiveAt(forms.latin1.view());
    if (!archive && (forms.differ || !forms.hasLatin1)) archive = rootArchive().store().archiveAt(forms.utf8.view());
    if (!archive) return nullptr;
    const bool classes = compatibleMode();
    const ZipReader& reader = archive->reader();
    std::vector<int32_t> listed;
    for (int32_t i = 0; i < reader.entryCount(); ++i) {
        const ZipEntry& e = reader.entry(i);
        const std::string_view name(e.name, static_cast<size_t>(e.nameLength));
        if (!classes && name.size() >= 6 && name.substr(name.size() - 6) == ".class") continue;
        listed.push_back(i);
    }
    LocalRef<jclass> stringClass(env, env->FindClass("java/lang/String"));
    jobjectArray out =
        stringClass ? env->NewObjectArray(static_cast<jsize>(listed.size()), stringClass.get(), nullptr) : nullptr;
    if (!out) return nullptr;
    for (size_t k = 0; k < listed.size(); ++k) {
        const ZipEntry& e = reader.entry(listed[k]);
        const std::string_view name(e.name, static_cast<size_t>(e.nameLength));
        std::u16string units;
        if (!decodeUtf8OrReject(name, units)) {
            units.clear();
            for (char c : name) units.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
        }
        LocalRef<jstring> text(env, jni::newString(env, units));
        if (!text) return nullptr;
        env->SetObjectArrayElement(out, static_cast<jsize>(k), text.get());
    }
    return out;
}

// A handle to a stream over the entry the URL names, or 0 when it names none.
jlong openStream(JNIEnv* env, jstring url) {
    ensureOpen();
    std::unique_ptr<EntryStream> stream;
    ByteString found;
    forEachUrlName(env, url, [&](const ByteString& name) {
        stream = rootArchive().store().openStream(name.view(), false);
        if (stream) found = name;
        return stream != nullptr;
    });
    if (!stream) return 0;
    replaceByte(found, '\\', '/');
    auto* reader = new EntryReader(std::move(stream), found);
    return static_cast<jlong>(reinterpret_cast<intptr_t>(reader));
}

void throwIOException(JNIEnv* env, const char* message) {
    LocalRef<jclass> type(env, env->FindClass("java/io/IOException"));
    if (type) env->ThrowNew(type.get(), message);
}

// Bytes into buffer[offset, offset + length): the count, -1 at the end, or
// an IOException when the entry cannot be read to its end.
jint readStream(JNIEnv* env, jlong handle, jbyteArray buffer, jint offset, jint length) {
    auto* reader = reinterpret_cast<EntryReader*>(static_cast<intptr_t>(handle));
    if (!reader) {
        throwIOException(env, "Stream closed");
        return -1;
    }
    if (!buffer) {
        LocalRef<jclass> type(env, env->FindClass("java/lang/NullPointerException"));
        if (type) env->ThrowNew(type.get(), nullptr);
        return -1;
    }
    const jsize capacity = env->GetArrayLength(buffer);
    if (offset < 0 || length < 0 || length > capacity - offset) {
        LocalRef<jclass> type(env, env->FindClass("java/lang/IndexOutOfBoundsException"));
        if (type) env->ThrowNew(type.get(), nullptr);
        return -1;
    }
    const int64_t n = reader->fill(length, [&](const uint8_t* bytes, size_t count, int64_t at) {
        env->SetByteArrayRegion(buffer, offset + static_cast<jint>(at), static_cast<jsize>(count),
                                reinterpret_cast<const jbyte*>(bytes));
        return !env->ExceptionCheck();
    });
    if (n == -2) {
        reportDamagedEntry({}, reader->name().view());
        throwIOException(env, "the archive entry is damaged: it cannot be read to its end");
    }
    return n < 0 ? -1 : static_cast<jint>(n);
}

}  // namespace

}  // namespace hux

using namespace hux;

extern "C" JNIEXPORT jlong JNICALL Java_com_mordavin_hux_Handler_openStream(JNIEnv* env, jobject, jstring url) {
    return jni::guardNative(env, [&] { return openStream(env, url); });
}

extern "C" JNIEXPORT jint JNICALL Java_com_mordavin_hux_Handler_readStream(JNIEnv* env, jobject, jlong stream,
                                                                           jbyteArray buffer, jint offset,
                                                                           jint length) {
    return jni::guardNative(env, [&] { return readStream(env, stream, buffer, offset, length); });
}

extern "C" JNIEXPORT void JNICALL Java_com_mordavin_hux_Handler_closeStream(JNIEnv*, jobject, jlong stream) {
    delete reinterpret_cast<EntryReader*>(static_cast<intptr_t>(stream));
}

extern "C" JNIEXPORT jbyteArray JNICALL Java_com_mordavin_hux_Handler_loadResourceData(JNIEnv* env, jobject,
                                                                                       jstring url) {
    return jni::guardNative(env, [&] { return loadResourceData(env, url); });
}

extern "C" JNIEXPORT jlongArray JNICALL Java_com_mordavin_hux_Handler_entryInfo(JNIEnv* env, jobject, jstring url) {
    return jni::guardNative(env, [&] { return entryInfo(env, url); });
}

extern "C" JNIEXPORT jobjectArray JNICALL Java_com_mordavin_hux_Handler_archiveNames(JNIEnv* env, jobject,
                                                                                     jstring archive) {
    return jni::guardNative(env, [&] { return archiveNames(env, archive); });
}
