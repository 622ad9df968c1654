/* The parts of the recording virtual machine (recording_vm.c and the
   recording_vm_*.c files beside it) share these types, state and functions.
   Nothing here is exported from the library. */
#pragma once

#define _POSIX_C_SOURCE 200809L
#define _DEFAULT_SOURCE /* on_exit */
#define _JNI_IMPLEMENTATION_
#include <jni.h>

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
#define EXPORT __declspec(dllexport)
typedef CRITICAL_SECTION Lock;
static inline void lockInit(Lock* l) { InitializeCriticalSection(l); }
static inline void lockTake(Lock* l) { EnterCriticalSection(l); }
static inline void lockDrop(Lock* l) { LeaveCriticalSection(l); }
static inline void sleepMs(int ms) { Sleep((DWORD)ms); }
static inline void* openLibrary(const char* path) { return (void*)LoadLibraryA(path); }
static inline void* librarySymbol(void* lib, const char* name) { return (void*)GetProcAddress((HMODULE)lib, name); }
#else
#include <dlfcn.h>
#include <pthread.h>
#include <unistd.h>
#include <time.h>
#define EXPORT __attribute__((visibility("default")))
typedef pthread_mutex_t Lock;
static inline void lockInit(Lock* l) { pthread_mutex_init(l, NULL); }
static inline void lockTake(Lock* l) { pthread_mutex_lock(l); }
static inline void lockDrop(Lock* l) { pthread_mutex_unlock(l); }
static inline void sleepMs(int ms) {
    struct timespec t = {ms / 1000, (long)(ms % 1000) * 1000000L};
    nanosleep(&t, NULL);
}
static inline void* openLibrary(const char* path) { return dlopen(path, RTLD_NOW); }
static inline void* librarySymbol(void* lib, const char* name) { return dlsym(lib, name); }
#endif

#ifndef _WIN32
#pragma GCC visibility push(hidden)
#endif

/* ---- objects ------------------------------------------------------------ */

enum Kind { OBJECT, CLASS, STRING, ARRAY };

typedef struct Klass Klass;
typedef struct Obj Obj;

typedef struct Field {
    char name[32];
    jlong value;
    Obj* ref;
} Field;

struct Obj {
    int kind;
    Klass* klass; /* the object's class; for CLASS objects the class described */
    jchar* chars; /* STRING: UTF-16 units */
    jsize length; /* STRING: units; ARRAY: elements */
    char elem;    /* ARRAY: 'B', 'I' or 'L' */
    void* data;   /* ARRAY: the elements; byte streams: their bytes */
    jsize used;   /* byte streams and vectors: bytes or elements in use */
    Obj* link;    /* a wrapped stream, a URL's handler, an exception's cause */
    Field fields[4];
    int fieldCount;
};

typedef struct Native {
    char name[64];
    char sig[160];
    void* fn;
} Native;

struct Klass {
    char name[160];
    Obj self;
    unsigned char* bytes; /* application classes: the defined class file */
    jsize byteCount;
    int defined, hasMain, initialised;
    void* library; /* the library its initialiser loaded */
    Obj* loader;   /* application classes: the defining loader */
    Native natives[16];
    int nativeCount;
    Klass* next;
};

typedef struct Method {
    Klass* owner;
    char name[64];
    char sig[200];
    int isStatic;
    struct Method* next;
} Method;

typedef union Val {
    jint i;
    jlong j;
    jdouble d;
    Obj* l;
} Val;
/* ---- shared state (recording_vm.c) -------------------------------------- */

extern Lock worldLock, traceLock;
extern Klass* classes;
extern Method* methods;
extern Obj* systemLoader;
extern Obj* sysOut;
extern char* props[64][2];
extern int propCount;
extern int vmCreated, vmDestroyed;
extern char archiveAtExit[1024];
extern void(JNICALL* exitHook)(jint);
extern int attachCount;
extern volatile int received, clicked, commanded;
extern JavaVM theVm;
extern JNIEnv theEnv;
extern _Thread_local const char* threadName;
extern _Thread_local Obj* pending;
extern _Thread_local char threadNameBuffer[16];
extern _Thread_local int attached;
extern struct JNINativeInterface_ envTable;

/* recording_vm.c: state, trace and rendering */
void writeArchiveAtExit(void);
void* zalloc(size_t n);
void trace(const char* format, ...);
void put(char* out, size_t cap, const char* text);
void renderObject(char* out, size_t cap, Obj* o);

/* recording_vm_world.c: classes, methods, strings, natives */
int isApplicationClass(const char* name);
Klass* klass(const char* name);
Obj* newObject(const char* className);
Obj* newString(const jchar* chars, jsize length);
Obj* stringFromUtf8(const char* text);
void asciiOf(Obj* s, char* out, size_t cap);
Obj* newArray(char elem, jsize length);
Method* method(Klass* owner, const char* name, const char* sig, int isStatic);
const char* property(const char* key);
void setProperty(const char* key, const char* value);
void throwNew(const char* className, const char* message);
void initialise(Klass* k);
intptr_t callNative(Klass* k, void* receiver, const char* name, const char* sig, int argc, const intptr_t* argv,
                    const char* shown);
int collectArgs(const char* sig, va_list list, Val* args);
int collectArrayArgs(const char* sig, const jvalue* values, Val* args);
int is(const Method* m, const char* owner, const char* name);
int hasPrefix(const char* text, const char* prefix);
Val invoke(Method* m, Obj* self, const Val* args, int argc);

/* recording_vm_script.c: main's script */
Obj* call(const char* owner, const char* name, const char* sig, int isStatic, Obj* self, Obj* a0, Obj* a1);
void reportPending(const char* step);
void runScript(Obj* loader);

/* recording_vm_env.c: the JNIEnv table */
void fillEnv(void);

#ifndef _WIN32
#pragma GCC visibility pop
#endif
