// The natives of SystemTray and SystemTrayMenu: each converts its arguments
// and calls the icon table or the menu code.
#include "services/tray_natives.h"

#include <optional>
#include <string>

#include "common/byte_string.h"
#include "jni/exceptions.h"
#include "jni/java_strings.h"
#include "jni/local_ref.h"
#include "platform/text.h"
#include "platform/tray.h"
#include "services/tray.h"
#include "services/tray_core.h"

namespace hux {

using jni::LocalRef;

namespace {

// The object a native runs on, with the handle-field rule: `h` as a long,
// else as an int, else none.
class JniPeer : public TrayPeer {
public:
    JniPeer(JNIEnv* env, jobject self) : env_(env), self_(self) {}
    Field handleField() override {
        if (resolved_) return field_;
        resolved_ = true;
        if (!self_) return field_;
        LocalRef<jclass> cls(env_, env_->GetObjectClass(self_));
        id_ = env_->GetFieldID(cls.get(), "h", "J");
        if (id_) {
            field_ = Field::Long;
        } else {
            env_->ExceptionClear();
            id_ = env_->GetFieldID(cls.get(), "h", "I");
            if (id_)
                field_ = Field::Int;
            else
                env_->ExceptionClear();
        }
        return field_;
    }
    int64_t readHandle() override {
        switch (handleField()) {
            case Field::Long: return env_->GetLongField(self_, id_);
            case Field::Int: return env_->GetIntField(self_, id_);
            default: return 0;
        }
    }
    void writeHandle(int64_t value) override {
        switch (handleField()) {
            case Field::Long: env_->SetLongField(self_, id_, value); break;
            case Field::Int: env_->SetIntField(self_, id_, static_cast<jint>(value)); break;
            default: break;
        }
    }
    void* newGlobalRef() override { return env_->NewGlobalRef(self_); }
    void deleteGlobalRef(void* ref) override { env_->DeleteGlobalRef(static_cast<jobject>(ref)); }

private:
    JNIEnv* env_;
    jobject self_;
    bool resolved_ = false;
    Field field_ = Field::None;
    jfieldID id_ = nullptr;
};

// A Java string in the process's multibyte encoding; null stays absent.
class JavaText {
public:
    JavaText(JNIEnv* env, jstring s) {
        if (!s) return;
        present_ = true;
        if (const std::optional<std::u16string> units = jni::stringUnits(env, s)) {
            text_ = platform::utf16ToAnsi(units->data(), units->size());
        } else {
            env->ExceptionClear();
        }
    }
    TrayText value() const { return present_ ? TrayText(text_.view()) : std::nullopt; }
    std::string_view view() const { return text_.view(); }

private:
    bool present_ = false;
    ByteString text_;
};

}  // namespace

}  // namespace hux

using namespace hux;

extern "C" {

JNIEXPORT void JNICALL Java_com_mordavin_hux_SystemTray_init(JNIEnv* env, jobject self, jint icon, jstring tip,
                                                             jstring info, jstring infoTitle, jint infoFlags) {
    jni::guardNative(env, [&] {
        JniPeer peer(env, self);
        if (peer.handleField() == TrayPeer::Field::None) return;
        const JavaText t(env, tip), i(env, info), title(env, infoTitle);
        trayIcons().init(peer, icon, t.value(), i.value(), title.value(), infoFlags, shellMajorVersion(),
                         platform::trayWindowHandle());
        jni::reportPendingException(env);
    });
}

JNIEXPORT void JNICALL Java_com_mordavin_hux_SystemTray_Change(JNIEnv* env, jobject self, jint icon, jstring tip,
                                                               jstring info, jstring infoTitle, jint infoFlags) {
    jni::guardNative(env, [&] {
        JniPeer peer(env, self);
        if (peer.handleField() == TrayPeer::Field::None) return;
        const JavaText t(env, tip), i(env, info), title(env, infoTitle);
        trayIcons().change(peer, icon, t.value(), i.value(), title.value(), infoFlags);
        jni::reportPendingException(env);
    });
}

JNIEXPORT void JNICALL Java_com_mordavin_hux_SystemTray_Show(JNIEnv* env, jobject self) {
    jni::guardNative(env, [&] {
        JniPeer peer(env, self);
        trayIcons().show(peer);
        jni::reportPendingException(env);
    });
}

JNIEXPORT void JNICALL Java_com_mordavin_hux_SystemTray_Hide(JNIEnv* env, jobject self) {
    jni::guardNative(env, [&] {
        JniPeer peer(env, self);
        trayIcons().hide(peer);
        jni::reportPendingException(env);
    });
}

JNIEXPORT void JNICALL Java_com_mordavin_hux_SystemTray_finalize(JNIEnv* env, jobject self) {
    jni::guardNative(env, [&] {
        JniPeer peer(env, self);
        trayIcons().finalize(peer);
        jni::reportPendingException(env);
    });
}

JNIEXPORT void JNICALL Java_com_mordavin_hux_SystemTray_setSystemTrayCallback(JNIEnv* env, jclass, jobject callback) {
    jni::guardNative(env, [&] { setTrayCallback(env, callback); });
}

JNIEXPORT void JNICALL Java_com_mordavin_hux_SystemTrayMenu_init(JNIEnv* env, jobject self) {
    jni::guardNative(env, [&] {
        JniPeer peer(env, self);
        trayMenuInit(peer);
        jni::reportPendingException(env);
    });
}

JNIEXPORT void JNICALL Java_com_mordavin_hux_SystemTrayMenu_finalize(JNIEnv* env, jobject self) {
    jni::guardNative(env, [&] {
        JniPeer peer(env, self);
        trayMenuFinalize(peer);
        jni::reportPendingException(env);
    });
}

JNIEXPORT void JNICALL Java_com_mordavin_hux_SystemTrayMenu_Append__Ljava_lang_String_2I(JNIEnv* env, jobject self,
                                                                                         jstring text, jint id) {
    jni::guardNative(env, [&] {
        JniPeer peer(env, self);
        const JavaText t(env, text);
        trayMenuAppend(peer, t.view(), id);
        jni::reportPendingException(env);
    });
}

JNIEXPORT void JNICALL
Java_com_mordavin_hux_SystemTrayMenu_Append__Ljava_lang_String_2Lcom_mordavin_hux_SystemTrayMenu_2(JNIEnv* env,
                                                                                                   jobject self,
                                                                                                   jstring text,
                                                                                                   jobject submenu) {
    jni::guardNative(env, [&] {
        if (!submenu) return;  // nothing to attach
        JniPeer peer(env, self), sub(env, submenu);
        if (peer.handleField() == TrayPeer::Field::None) return;
        jfieldID popupsField;
        {
            LocalRef<jclass> cls(env, env->GetObjectClass(self));
            popupsField = env->GetFieldID(cls.get(), "popups", "Ljava/util/HashSet;");
        }
        if (!popupsField) {
            env->ExceptionClear();
            return;
        }
        const JavaText t(env, text);
        trayMenuAppendSubmenu(peer, sub, t.view(), [&]() {
            LocalRef<> popups(env, env->GetObjectField(self, popupsField));
            if (!popups) return false;
            LocalRef<jclass> setClass(env, env->GetObjectClass(popups.get()));
            jmethodID add = env->GetMethodID(setClass.get(), "add", "(Ljava/lang/Object;)Z");
            if (add) env->CallBooleanMethod(popups.get(), add, submenu);
            jni::reportPendingException(env);
            return add != nullptr;
        });
        jni::reportPendingException(env);
    });
}

JNIEXPORT void JNICALL Java_com_mordavin_hux_SystemTrayMenu_AppendSeparator(JNIEnv* env, jobject self) {
    jni::guardNative(env, [&] {
        JniPeer peer(env, self);
        trayMenuAppendSeparator(peer);
        jni::reportPendingException(env);
    });
}

JNIEXPORT void JNICALL Java_com_mordavin_hux_SystemTrayMenu_Popup(JNIEnv* env, jobject self) {
    jni::guardNative(env, [&] {
        JniPeer peer(env, self);
        trayMenuPopup(peer);
        jni::reportPendingException(env);
    });
}

}  // extern "C"
