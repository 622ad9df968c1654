// JNI natives of SystemTray and SystemTrayMenu.
#pragma once

#include <jni.h>

extern "C" {
JNIEXPORT void JNICALL Java_com_mordavin_hux_SystemTray_init(JNIEnv* env, jobject self, jint icon, jstring tip,
                                                             jstring info, jstring infoTitle, jint infoFlags);
JNIEXPORT void JNICALL Java_com_mordavin_hux_SystemTray_Change(JNIEnv* env, jobject self, jint icon, jstring tip,
                                                               jstring info, jstring infoTitle, jint infoFlags);
JNIEXPORT void JNICALL Java_com_mordavin_hux_SystemTray_Show(JNIEnv* env, jobject self);
JNIEXPORT void JNICALL Java_com_mordavin_hux_SystemTray_Hide(JNIEnv* env, jobject self);
JNIEXPORT void JNICALL Java_com_mordavin_hux_SystemTray_finalize(JNIEnv* env, jobject self);
JNIEXPORT void JNICALL Java_com_mordavin_hux_SystemTray_setSystemTrayCallback(JNIEnv* env, jclass cls,
                                                                              jobject callback);
JNIEXPORT void JNICALL Java_com_mordavin_hux_SystemTrayMenu_init(JNIEnv* env, jobject self);
JNIEXPORT void JNICALL Java_com_mordavin_hux_SystemTrayMenu_finalize(JNIEnv* env, jobject self);
JNIEXPORT void JNICALL Java_com_mordavin_hux_SystemTrayMenu_Append__Ljava_lang_String_2I(JNIEnv* env, jobject self,
                                                                                         jstring text, jint id);
JNIEXPORT void JNICALL
Java_com_mordavin_hux_SystemTrayMenu_Append__Ljava_lang_String_2Lcom_mordavin_hux_SystemTrayMenu_2(JNIEnv* env,
                                                                                                   jobject self,
                                                                                                   jstring text,
                                                                                                   jobject submenu);
JNIEXPORT void JNICALL Java_com_mordavin_hux_SystemTrayMenu_AppendSeparator(JNIEnv* env, jobject self);
JNIEXPORT void JNICALL Java_com_mordavin_hux_SystemTrayMenu_Popup(JNIEnv* env, jobject self);
}
