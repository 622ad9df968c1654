/* A recording stand-in for a Java runtime library (jvm.dll / libjvm.so), for
   tests only: the invocation entry points and the part of JNIEnv/JavaVM the
   launcher uses, over a tiny scripted "Java world".

   Classes are names. Every class the launcher asks for exists, except
   application classes, which exist once their bytes have been defined through
   a loader (the launcher reads them out of its archive); such a class has
   `main` when its class file holds the name and descriptor of one. Methods
   answer with the few behaviours the launcher relies on (system properties,
   the system class loader, byte streams for the instance channel) and with
   null or 0 otherwise. Support classes bind their natives like the real
   classes: their initialiser loads "hux.app.path" when that property is set
   (the executable's exports), and RegisterNatives works as well.

   The `main` of any defined class records its String[] and then runs the
   commands of HUX_DOUBLE_SCRIPT (separated by ';'):
     return | throw | exit N | class NAME | resource NAME | print TEXT |
     receive | send TEXT | tray
   Every call into the world is written to the file HUX_DOUBLE_TRACE, one line
   each, prefixed with the calling thread ("main", "t1", ...). HUX_DOUBLE_REFUSE
   makes creation fail with that code; HUX_DOUBLE_VERSION is "java.version".

   This file holds the shared state, the trace, JavaVM and the invocation
   entry points; recording_vm_world.c the classes, methods and natives,
   recording_vm_script.c what `main` runs, recording_vm_env.c the JNIEnv
   table. recording_vm.h is what they share. */
#include "recording_vm.h"

Lock worldLock, traceLock;
Klass* classes;
Method* methods;
Obj* systemLoader;
Obj* sysOut;
char* props[64][2];
int propCount;
int vmCreated, vmDestroyed;

/* -XX:ArchiveClassesAtExit: a real runtime writes the archive as it exits
   (System.exit or DestroyJavaVM), before it calls the "exit" option's hook. */
char archiveAtExit[1024];
/* -XX:DumpLoadedClassList: the classes it loaded, written as it exits. */
char classListAtExit[1024];
void(JNICALL* exitHook)(jint);
static void writeAtExit(char* path, const char* text, const char* what) {
    if (!path[0]) return;
    FILE* f = fopen(path, "wb");
    if (f) {
        fputs(text, f);
        fclose(f);
        trace("%s written", what);
    }
    path[0] = '\0';
}
void writeArchiveAtExit(void) {
    writeAtExit(archiveAtExit, "recorded class-data archive", "class-data archive");
    writeAtExit(classListAtExit, "app/Main\n", "class list");
}
int attachCount;
volatile int received, clicked, commanded;
JavaVM theVm;
JNIEnv theEnv;

_Thread_local const char* threadName;
_Thread_local Obj* pending;
_Thread_local char threadNameBuffer[16];
_Thread_local int attached;

void* zalloc(size_t n) {
    void* p = calloc(1, n ? n : 1);
    if (!p) abort();
    return p;
}

/* ---- the trace ---------------------------------------------------------- */

void trace(const char* format, ...) {
    const char* path = getenv("HUX_DOUBLE_TRACE");
    if (!path) return;
    lockTake(&traceLock);
    FILE* f = fopen(path, "ab");
    if (f) {
        fprintf(f, "%s ", threadName ? threadName : "?");
        va_list args;
        va_start(args, format);
        vfprintf(f, format, args);
        va_end(args);
        fputc('\n', f);
        fclose(f);
    }
    lockDrop(&traceLock);
}

/* Appends `text` to `out` (of `cap` bytes) and keeps it terminated. */
void put(char* out, size_t cap, const char* text) {
    size_t n = strlen(out);
    while (*text && n + 1 < cap) out[n++] = *text++;
    out[n] = '\0';
}

/* A string as a quoted literal: printable ASCII as is, every other UTF-16
   unit as \uXXXX. */
static void renderChars(char* out, size_t cap, const jchar* chars, jsize length) {
    put(out, cap, "\"");
    for (jsize i = 0; i < length; ++i) {
        char piece[8];
        if (chars[i] >= 0x20 && chars[i] < 0x7f && chars[i] != '"' && chars[i] != '\\') {
            piece[0] = (char)chars[i];
            piece[1] = '\0';
        } else {
            snprintf(piece, sizeof piece, "\\u%04x", (unsigned)chars[i]);
        }
        put(out, cap, piece);
    }
    put(out, cap, "\"");
}

void renderObject(char* out, size_t cap, Obj* o) {
    char piece[200];
    if (!o) {
        put(out, cap, "null");
    } else if (o->kind == STRING) {
        renderChars(out, cap, o->chars, o->length);
    } else if (o->kind == CLASS) {
        snprintf(piece, sizeof piece, "class %s", o->klass->name);
        put(out, cap, piece);
    } else if (o->kind == ARRAY) {
        snprintf(piece, sizeof piece, "%c[%d]", o->elem, (int)o->length);
        put(out, cap, piece);
        if (o->elem == 'L') {
            put(out, cap, "{");
            for (jsize i = 0; i < o->length; ++i) {
                if (i) put(out, cap, ", ");
                renderObject(out, cap, ((Obj**)o->data)[i]);
            }
            put(out, cap, "}");
        }
    } else {
        put(out, cap, o->klass->name);
    }
}

/* ---- JavaVM ------------------------------------------------------------- */

static struct JNIInvokeInterface_ vmTable;

static jint attach(void** penv, const char* how) {
    if (!vmCreated || vmDestroyed) return JNI_ERR;
    if (!threadName) {
        lockTake(&worldLock);
        snprintf(threadNameBuffer, sizeof threadNameBuffer, "t%d", ++attachCount);
        lockDrop(&worldLock);
        threadName = threadNameBuffer;
    }
    attached = 1;
    trace("%s", how);
    *penv = &theEnv;
    return 0;
}

static jint JNICALL AttachCurrentThread(JavaVM* vm, void** penv, void* args) {
    (void)vm;
    (void)args;
    return attach(penv, "AttachCurrentThread");
}
static jint JNICALL AttachCurrentThreadAsDaemon(JavaVM* vm, void** penv, void* args) {
    (void)vm;
    (void)args;
    return attach(penv, "AttachCurrentThreadAsDaemon");
}
static jint JNICALL DetachCurrentThread(JavaVM* vm) {
    (void)vm;
    attached = 0;
    trace("DetachCurrentThread");
    return 0;
}
static jint JNICALL DestroyJavaVM(JavaVM* vm) {
    (void)vm;
    trace("DestroyJavaVM");
    writeArchiveAtExit();
    vmDestroyed = 1;
    return 0;
}
static jint JNICALL GetEnv(JavaVM* vm, void** penv, jint version) {
    (void)vm;
    (void)version;
    if (!attached || !vmCreated || vmDestroyed) return JNI_EDETACHED;
    *penv = &theEnv;
    return 0;
}

/* ---- the invocation interface ------------------------------------------ */

/* ---- unloading ---------------------------------------------------------- */

/* A real runtime cannot be unloaded once it has been asked for a machine: its
   threads outlive DestroyJavaVM. An unload before the process ends is traced. */
#ifdef _WIN32
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    /* No reserved pointer: FreeLibrary, not the end of the process. */
    if (reason == DLL_PROCESS_DETACH && reserved == NULL) trace("runtime library unloaded");
    return TRUE;
}
static void watchUnloading(void) {}
#else
static volatile int exiting, asked;
/* on_exit, unlike atexit, is not tied to this library: it runs only when the
   process ends, before the libraries' destructors. */
static void markExiting(int status, void* unused) {
    (void)status;
    (void)unused;
    exiting = 1;
}
static void watchUnloading(void) {
    asked = 1;
    on_exit(markExiting, NULL);
}
__attribute__((destructor)) static void unloading(void) {
    if (asked && !exiting) trace("runtime library unloaded");
}
#endif

EXPORT jint JNICALL JNI_GetDefaultJavaVMInitArgs(void* args) {
    JavaVMInitArgs* a = (JavaVMInitArgs*)args;
    if (a->version != JNI_VERSION_1_2 && a->version < JNI_VERSION_1_4) return JNI_EVERSION;
    a->nOptions = 0;
    a->options = NULL;
    a->ignoreUnrecognized = JNI_FALSE;
    return 0;
}

EXPORT jint JNICALL JNI_GetCreatedJavaVMs(JavaVM** vms, jsize size, jsize* count) {
    jsize n = (vmCreated && !vmDestroyed) ? 1 : 0;
    if (count) *count = n;
    if (n && size > 0 && vms) vms[0] = &theVm;
    return 0;
}

EXPORT jint JNICALL JNI_CreateJavaVM(JavaVM** pvm, void** penv, void* vmArgs) {
    static int locksReady;
    if (!locksReady) {
        lockInit(&worldLock);
        lockInit(&traceLock);
        watchUnloading();
        locksReady = 1;
    }
    threadName = "main";
    attached = 1;
    const JavaVMInitArgs* args = (const JavaVMInitArgs*)vmArgs;
    if (vmCreated) {
        trace("JNI_CreateJavaVM again");
        return JNI_EEXIST;
    }
    trace("JNI_CreateJavaVM version 0x%x, ignore unrecognized %d", (unsigned)args->version,
          (int)args->ignoreUnrecognized);
    for (jint i = 0; i < args->nOptions; ++i) {
        const char* option = args->options[i].optionString;
        trace("option %s", option);
        if (strcmp(option, "exit") == 0) exitHook = (void(JNICALL*)(jint))args->options[i].extraInfo;
        if (hasPrefix(option, "-XX:ArchiveClassesAtExit="))
            snprintf(archiveAtExit, sizeof archiveAtExit, "%s", option + strlen("-XX:ArchiveClassesAtExit="));
        if (hasPrefix(option, "-XX:DumpLoadedClassList="))
            snprintf(classListAtExit, sizeof classListAtExit, "%s", option + strlen("-XX:DumpLoadedClassList="));
        if (hasPrefix(option, "-D")) {
            char key[256];
            const char* eq = strchr(option, '=');
            size_t n = eq ? (size_t)(eq - option - 2) : strlen(option + 2);
            if (n >= sizeof key) n = sizeof key - 1;
            memcpy(key, option + 2, n);
            key[n] = '\0';
            setProperty(key, eq ? eq + 1 : "");
        }
    }
    const char* refuse = getenv("HUX_DOUBLE_REFUSE");
    if (refuse && *refuse) {
        trace("refused with %s", refuse);
        return (jint)atoi(refuse);
    }
    setProperty("java.version", getenv("HUX_DOUBLE_VERSION") ? getenv("HUX_DOUBLE_VERSION") : "17.0.99");
    fillEnv();
    theEnv = &envTable;
    vmTable.DestroyJavaVM = DestroyJavaVM;
    vmTable.AttachCurrentThread = AttachCurrentThread;
    vmTable.DetachCurrentThread = DetachCurrentThread;
    vmTable.GetEnv = GetEnv;
    vmTable.AttachCurrentThreadAsDaemon = AttachCurrentThreadAsDaemon;
    theVm = &vmTable;
    vmCreated = 1;
    /* The system class loader is made (and its class initialised) while the
       machine starts, as a real one does. */
    const char* loaderName = property("java.system.class.loader");
    systemLoader = loaderName ? newObject(loaderName) : newObject("jdk/internal/loader/ClassLoaders$AppClassLoader");
    initialise(systemLoader->klass);
    reportPending("system class loader");
    trace("created");
    *pvm = &theVm;
    *penv = &theEnv;
    return 0;
}
