/* Machine-dependent JNI types for the Windows x64 launcher (LLP64). */
#ifndef HUX_JNI_MD_H
#define HUX_JNI_MD_H

#define JNIEXPORT __declspec(dllexport)
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

typedef int jint;
typedef long long jlong;
typedef signed char jbyte;

#endif
