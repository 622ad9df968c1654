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
   makes creation fail with that code; HUX_DOUBLE_VERSION is "java.version". */
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
static void lockInit(Lock* l) { InitializeCriticalSection(l); }
static void lockTake(Lock* l) { EnterCriticalSection(l); }
static void lockDrop(Lock* l) { LeaveCriticalSection(l); }
static void sleepMs(int ms) { Sleep((DWORD)ms); }
static void* openLibrary(const char* path) { return (void*)LoadLibraryA(path); }
static void* librarySymbol(void* lib, const char* name) { return (void*)GetProcAddress((HMODULE)lib, name); }
#else
#include <dlfcn.h>
#include <pthread.h>
#include <unistd.h>
#include <time.h>
#define EXPORT __attribute__((visibility("default")))
typedef pthread_mutex_t Lock;
static void lockInit(Lock* l) { pthread_mutex_init(l, NULL); }
static void lockTake(Lock* l) { pthread_mutex_lock(l); }
static void lockDrop(Lock* l) { pthread_mutex_unlock(l); }
static void sleepMs(int ms) {
    struct timespec t = {ms / 1000, (long)(ms % 1000) * 1000000L};
    nanosleep(&t, NULL);
}
static void* openLibrary(const char* path) { return dlopen(path, RTLD_NOW); }
static void* librarySymbol(void* lib, const char* name) { return dlsym(lib, name); }
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

static Lock worldLock, traceLock;
static Klass* classes;
static Method* methods;
static Obj* systemLoader;
static Obj* sysOut;
static char* props[64][2];
static int propCount;
static int vmCreated, vmDestroyed;

/* -XX:ArchiveClassesAtExit: a real runtime writes the archive as it exits
   (System.exit or DestroyJavaVM), before it calls the "exit" option's hook. */
static void trace(const char* format, ...);
static char archiveAtExit[1024];
static void(JNICALL* exitHook)(jint);
static void writeArchiveAtExit(void) {
    if (!archiveAtExit[0]) return;
    FILE* f = fopen(archiveAtExit, "wb");
    if (f) {
        fputs("recorded class-data archive", f);
        fclose(f);
        trace("class-data archive written");
    }
    archiveAtExit[0] = '\0';
}
static int attachCount;
static volatile int received, clicked, commanded;
static JavaVM theVm;
static JNIEnv theEnv;

static _Thread_local const char* threadName;
static _Thread_local Obj* pending;
static _Thread_local char threadNameBuffer[16];
static _Thread_local int attached;

static void* zalloc(size_t n) {
    void* p = calloc(1, n ? n : 1);
    if (!p) abort();
    return p;
}

/* ---- the trace ---------------------------------------------------------- */

static void trace(const char* format, ...) {
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
static void put(char* out, size_t cap, const char* text) {
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

static void renderObject(char* out, size_t cap, Obj* o) {
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

/* ---- classes, methods, strings ----------------------------------------- */

static int isSupportClass(const char* name) { return strncmp(name, "com/mordavin/hux/", 17) == 0; }

/* Application classes exist only once defined; everything else always. */
static int isApplicationClass(const char* name) {
    return !isSupportClass(name) && strncmp(name, "java/", 5) != 0 && strncmp(name, "javax/", 6) != 0 &&
           strncmp(name, "jdk/", 4) != 0 && strncmp(name, "sun/", 4) != 0;
}

static Klass* klass(const char* name) {
    char slashed[160];
    snprintf(slashed, sizeof slashed, "%s", name);
    for (char* p = slashed; *p; ++p)
        if (*p == '.') *p = '/';
    lockTake(&worldLock);
    Klass* k = classes;
    while (k && strcmp(k->name, slashed) != 0) k = k->next;
    if (!k) {
        k = zalloc(sizeof *k);
        snprintf(k->name, sizeof k->name, "%s", slashed);
        k->self.kind = CLASS;
        k->self.klass = k;
        k->next = classes;
        classes = k;
    }
    lockDrop(&worldLock);
    return k;
}

static Obj* newObject(const char* className) {
    Obj* o = zalloc(sizeof *o);
    o->kind = OBJECT;
    o->klass = klass(className);
    return o;
}

static Obj* newString(const jchar* chars, jsize length) {
    Obj* o = newObject("java/lang/String");
    o->kind = STRING;
    o->chars = zalloc(sizeof(jchar) * (size_t)(length + 1));
    if (length) memcpy(o->chars, chars, sizeof(jchar) * (size_t)length);
    o->length = length;
    return o;
}

/* Modified UTF-8 (and plain UTF-8) to a string. */
static Obj* stringFromUtf8(const char* text) {
    size_t n = strlen(text);
    jchar* units = zalloc(sizeof(jchar) * (n + 1));
    jsize count = 0;
    for (size_t i = 0; i < n;) {
        unsigned char c = (unsigned char)text[i];
        unsigned long cp;
        int extra;
        if (c < 0x80) {
            cp = c;
            extra = 0;
        } else if ((c & 0xe0) == 0xc0) {
            cp = c & 0x1f;
            extra = 1;
        } else if ((c & 0xf0) == 0xe0) {
            cp = c & 0x0f;
            extra = 2;
        } else {
            cp = c & 0x07;
            extra = 3;
        }
        ++i;
        for (int k = 0; k < extra && i < n; ++k, ++i) cp = (cp << 6) | ((unsigned char)text[i] & 0x3f);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            units[count++] = (jchar)(0xd800 + (cp >> 10));
            units[count++] = (jchar)(0xdc00 + (cp & 0x3ff));
        } else {
            units[count++] = (jchar)cp;
        }
    }
    Obj* s = newString(units, count);
    free(units);
    return s;
}

/* The string's text with every unit above 0x7f as '?' (names and keys). */
static void asciiOf(Obj* s, char* out, size_t cap) {
    size_t n = 0;
    if (s && s->kind == STRING)
        for (jsize i = 0; i < s->length && n + 1 < cap; ++i) out[n++] = s->chars[i] < 0x80 ? (char)s->chars[i] : '?';
    out[n] = '\0';
}

static Obj* newArray(char elem, jsize length) {
    Obj* o = newObject(elem == 'B' ? "[B" : elem == 'I' ? "[I" : "[Ljava/lang/Object;");
    o->kind = ARRAY;
    o->elem = elem;
    o->length = length;
    o->data = zalloc((size_t)length * (elem == 'B' ? 1 : elem == 'I' ? 4 : sizeof(Obj*)));
    return o;
}

static Method* method(Klass* owner, const char* name, const char* sig, int isStatic) {
    lockTake(&worldLock);
    Method* m = methods;
    while (m &&
           !(m->owner == owner && m->isStatic == isStatic && strcmp(m->name, name) == 0 && strcmp(m->sig, sig) == 0))
        m = m->next;
    if (!m) {
        m = zalloc(sizeof *m);
        m->owner = owner;
        snprintf(m->name, sizeof m->name, "%s", name);
        snprintf(m->sig, sizeof m->sig, "%s", sig);
        m->isStatic = isStatic;
        m->next = methods;
        methods = m;
    }
    lockDrop(&worldLock);
    return m;
}

static const char* property(const char* key) {
    for (int i = 0; i < propCount; ++i)
        if (strcmp(props[i][0], key) == 0) return props[i][1];
    return NULL;
}

static void setProperty(const char* key, const char* value) {
    for (int i = 0; i < propCount; ++i) {
        if (strcmp(props[i][0], key) == 0) {
            props[i][1] = strdup(value);
            return;
        }
    }
    if (propCount < 64) {
        props[propCount][0] = strdup(key);
        props[propCount][1] = strdup(value);
        ++propCount;
    }
}

/* ---- exceptions --------------------------------------------------------- */

static void throwNew(const char* className, const char* message) {
    Obj* e = newObject(className);
    e->link = message ? stringFromUtf8(message) : NULL;
    pending = e;
    trace("throw %s: %s", className, message ? message : "");
}

/* ---- natives ------------------------------------------------------------ */

/* The JNI symbol form of a name: '/' as '_', '_' as "_1", ';' as "_2",
   '[' as "_3", other characters outside [A-Za-z0-9] as "_0xxxx". */
static void mangle(char* out, size_t cap, const char* text) {
    for (; *text; ++text) {
        char piece[8];
        unsigned char c = (unsigned char)*text;
        if (c == '/')
            snprintf(piece, sizeof piece, "_");
        else if (c == '_')
            snprintf(piece, sizeof piece, "_1");
        else if (c == ';')
            snprintf(piece, sizeof piece, "_2");
        else if (c == '[')
            snprintf(piece, sizeof piece, "_3");
        else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
            snprintf(piece, sizeof piece, "%c", c);
        else
            snprintf(piece, sizeof piece, "_0%04x", c);
        put(out, cap, piece);
    }
}

/* The support classes that declare natives, each bound from its static
   initialiser (see initialise). */
static int declaresNatives(const char* name) {
    static const char* const names[] = {"CarvossClassLoader", "Handler",    "Instances",
                                        "RedirOutputStream",  "SystemTray", "SystemTrayMenu"};
    if (!isSupportClass(name)) return 0;
    for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i)
        if (strcmp(name + 17, names[i]) == 0) return 1;
    return 0;
}

static intptr_t callNative(Klass* k, void* receiver, const char* name, const char* sig, int argc, const intptr_t* argv,
                           const char* shown);

/* Runs such a class's static initialiser once, like the real classes do:
   the class loader binds nothing while "hux.app.path" is unset (the launcher
   binds it itself); a class that binds through NativeLink asks it first
   where the launcher binds natives itself (not on Windows); otherwise, with
   "hux.app.path" set, the class loads that file as a library. */
static void initialise(Klass* k) {
    if (k->initialised || !declaresNatives(k->name)) return;
    k->initialised = 1;
    if (strcmp(k->name + 17, "CarvossClassLoader") == 0 && !property("hux.app.path")) return;
#ifndef _WIN32
    {
        Klass* link = klass("com/mordavin/hux/NativeLink");
        char dotted[256];
        snprintf(dotted, sizeof dotted, "%s", k->name);
        for (char* c = dotted; *c; ++c)
            if (*c == '/') *c = '.';
        const intptr_t argv[2] = {(intptr_t)&k->self, (intptr_t)stringFromUtf8(dotted)};
        const intptr_t bound =
            callNative(link, &link->self, "bindNatives", "(Ljava/lang/Class;Ljava/lang/String;)Z", 2, argv, dotted);
        /* An unsatisfied link is caught: the class loads the library then. */
        pending = NULL;
        if ((bound & 0xff) != 0) return;
    }
#endif
    const char* app = property("hux.app.path");
    if (!app) return;
    k->library = openLibrary(app);
    if (k->library) {
        trace("bind %s: System.load %s", k->name, app);
    } else {
        throwNew("java/lang/UnsatisfiedLinkError", app);
    }
}

/* The function bound to a native method: a registered one, else the export
   of the library the class loaded (short name, then long name). */
static void* nativeOf(Klass* k, const char* name, const char* sig) {
    initialise(k);
    for (int i = 0; i < k->nativeCount; ++i)
        if (strcmp(k->natives[i].name, name) == 0 && strcmp(k->natives[i].sig, sig) == 0) return k->natives[i].fn;
    if (!k->library) return NULL;
    char symbol[512] = "Java_";
    mangle(symbol, sizeof symbol, k->name);
    put(symbol, sizeof symbol, "_");
    mangle(symbol, sizeof symbol, name);
    void* fn = librarySymbol(k->library, symbol);
    if (fn) return fn;
    put(symbol, sizeof symbol, "__");
    char args[200];
    snprintf(args, sizeof args, "%s", sig + 1);
    char* close = strchr(args, ')');
    if (close) *close = '\0';
    mangle(symbol, sizeof symbol, args);
    return librarySymbol(k->library, symbol);
}

/* Calls a native with up to five pointer-sized arguments after the receiver
   (ints are widened; the x64 calling conventions pass both alike). */
typedef intptr_t(JNICALL* NativeFn)(JNIEnv*, void*, intptr_t, intptr_t, intptr_t, intptr_t, intptr_t);

static intptr_t callNative(Klass* k, void* receiver, const char* name, const char* sig, int argc, const intptr_t* argv,
                           const char* shown) {
    trace("native %s.%s(%s)", k->name, name, shown);
    NativeFn fn = (NativeFn)nativeOf(k, name, sig);
    if (!fn) {
        char what[256];
        snprintf(what, sizeof what, "%s.%s%s", k->name, name, sig);
        throwNew("java/lang/UnsatisfiedLinkError", what);
        return 0;
    }
    intptr_t a[5] = {0, 0, 0, 0, 0};
    for (int i = 0; i < argc && i < 5; ++i) a[i] = argv[i];
    JNIEnv* env = &theEnv;
    return fn(env, receiver, a[0], a[1], a[2], a[3], a[4]);
}

/* ---- the methods of the world ------------------------------------------- */

static Val invoke(Method* m, Obj* self, const Val* args, int argc);

/* The argument types of a signature: 'L' for references, else the letter. */
static int argTypes(const char* sig, char* types, int cap) {
    int n = 0;
    const char* p = sig + 1;
    while (*p && *p != ')' && n < cap) {
        char t = *p;
        if (t == '[') {
            while (*p == '[') ++p;
            if (*p == 'L') p = strchr(p, ';');
            t = 'L';
        } else if (t == 'L') {
            p = strchr(p, ';');
        }
        types[n++] = t;
        if (!p) break;
        ++p;
    }
    return n;
}

static int collectArgs(const char* sig, va_list list, Val* args) {
    char types[16];
    int n = argTypes(sig, types, 16);
    for (int i = 0; i < n; ++i) {
        switch (types[i]) {
            case 'L': args[i].l = va_arg(list, Obj*); break;
            case 'J': args[i].j = va_arg(list, jlong); break;
            case 'F':
            case 'D': args[i].d = va_arg(list, jdouble); break;
            default: args[i].i = va_arg(list, jint); break;
        }
    }
    return n;
}

static int collectArrayArgs(const char* sig, const jvalue* values, Val* args) {
    char types[16];
    int n = argTypes(sig, types, 16);
    for (int i = 0; i < n; ++i) {
        switch (types[i]) {
            case 'L': args[i].l = (Obj*)values[i].l; break;
            case 'J': args[i].j = values[i].j; break;
            case 'F': args[i].d = values[i].f; break;
            case 'D': args[i].d = values[i].d; break;
            case 'Z': args[i].i = values[i].z; break;
            case 'B': args[i].i = values[i].b; break;
            case 'C': args[i].i = values[i].c; break;
            case 'S': args[i].i = values[i].s; break;
            default: args[i].i = values[i].i; break;
        }
    }
    return n;
}

static void renderArgs(char* out, size_t cap, const char* sig, const Val* args, int argc) {
    char types[16];
    argTypes(sig, types, 16);
    out[0] = '\0';
    for (int i = 0; i < argc; ++i) {
        char piece[40];
        if (i) put(out, cap, ", ");
        if (types[i] == 'L') {
            renderObject(out, cap, args[i].l);
            continue;
        }
        if (types[i] == 'J')
            snprintf(piece, sizeof piece, "%lldL", (long long)args[i].j);
        else if (types[i] == 'F' || types[i] == 'D')
            snprintf(piece, sizeof piece, "%g", args[i].d);
        else
            snprintf(piece, sizeof piece, "%d", (int)args[i].i);
        put(out, cap, piece);
    }
}

static int is(const Method* m, const char* owner, const char* name) {
    return strcmp(m->owner->name, owner) == 0 && strcmp(m->name, name) == 0;
}

static int hasPrefix(const char* text, const char* prefix) { return strncmp(text, prefix, strlen(prefix)) == 0; }

static int endsWith(const char* text, const char* suffix) {
    size_t n = strlen(text), m = strlen(suffix);
    return n >= m && strcmp(text + n - m, suffix) == 0;
}

/* Byte streams hold their bytes in `data` / `used`. */
static void streamAppend(Obj* stream, const void* bytes, jsize count) {
    unsigned char* grown = zalloc((size_t)(stream->used + count));
    if (stream->used) memcpy(grown, stream->data, (size_t)stream->used);
    memcpy(grown + stream->used, bytes, (size_t)count);
    stream->data = grown;
    stream->used += count;
}

static Obj* defineApplicationClass(Obj* loader, const char* name, Obj* bytes, jint offset, jint length) {
    if (!bytes || bytes->kind != ARRAY || offset < 0 || length < 4 || offset + length > bytes->length) {
        throwNew("java/lang/ClassFormatError", name);
        return NULL;
    }
    const unsigned char* b = (const unsigned char*)bytes->data + offset;
    if (b[0] != 0xca || b[1] != 0xfe || b[2] != 0xba || b[3] != 0xbe) {
        throwNew("java/lang/ClassFormatError", name);
        return NULL;
    }
    Klass* k = klass(name);
    k->bytes = zalloc((size_t)length);
    memcpy(k->bytes, b, (size_t)length);
    k->byteCount = length;
    k->defined = 1;
    k->loader = loader;
    /* A class with main holds both constants in its pool. */
    int named = 0, described = 0;
    const char* descriptor = "([Ljava/lang/String;)V";
    for (jint i = 0; i + 6 < length; ++i) {
        if (b[i] == 1 && b[i + 1] == 0 && b[i + 2] == 4 && memcmp(b + i + 3, "main", 4) == 0) named = 1;
        if (b[i] == 1 && b[i + 1] == 0 && b[i + 2] == 22 && i + 3 + 22 <= length &&
            memcmp(b + i + 3, descriptor, 22) == 0)
            described = 1;
    }
    k->hasMain = named && described;
    return &k->self;
}

static Val loaderLoadClass(Obj* loader, Obj* name) {
    Val r = {0};
    char text[160];
    asciiOf(name, text, sizeof text);
    Klass* k = klass(text);
    if (k->defined) {
        r.l = &k->self;
        return r;
    }
    /* As the loader's findClass does: the entry's tree name through findEntry,
       its bytes through entryBytes, then the definition. */
    Klass* loaderClass = klass("com/mordavin/hux/CarvossClassLoader");
    char entry[180];
    snprintf(entry, sizeof entry, "%s.class", text);
    for (char* p = entry; *p; ++p)
        if (*p == '.' && p < entry + strlen(text)) *p = '/';
    intptr_t entryArg[1] = {(intptr_t)stringFromUtf8(entry)};
    Obj* tree = (Obj*)callNative(loaderClass, loader, "findEntry", "(Ljava/lang/String;)Ljava/lang/String;", 1,
                                 entryArg, entry);
    Obj* c = NULL;
    if (tree && !pending) {
        char treeText[1024];
        asciiOf(tree, treeText, sizeof treeText);
        intptr_t treeArg[1] = {(intptr_t)tree};
        Obj* bytes =
            (Obj*)callNative(loaderClass, loader, "entryBytes", "(Ljava/lang/String;)[B", 1, treeArg, treeText);
        if (bytes && !pending && bytes->kind == ARRAY) {
            trace("call %s.defineClass(\"%s\", B[%d], 0, %d)", loaderClass->name, text, (int)bytes->length,
                  (int)bytes->length);
            c = defineApplicationClass(loader, text, bytes, 0, bytes->length);
        }
    }
    /* Whatever the natives threw, or nothing found: ClassNotFoundException. */
    if (!c) {
        pending = NULL;
        throwNew("java/lang/ClassNotFoundException", text);
    }
    r.l = c;
    return r;
}

static void runScript(Obj* loader);

static Val invoke(Method* m, Obj* self, const Val* args, int argc) {
    Val r = {0};
    char shown[1024];
    renderArgs(shown, sizeof shown, m->sig, args, argc);
    trace("call %s.%s(%s)", m->owner->name, m->name, shown);
    char key[200], value[1024];
    if (is(m, "java/lang/System", "getProperty")) {
        asciiOf(args[0].l, key, sizeof key);
        const char* v = property(key);
        r.l = v ? stringFromUtf8(v) : NULL;
    } else if (is(m, "java/lang/System", "setProperty")) {
        asciiOf(args[0].l, key, sizeof key);
        asciiOf(args[1].l, value, sizeof value);
        const char* old = property(key);
        r.l = old ? stringFromUtf8(old) : NULL;
        setProperty(key, value);
    } else if (is(m, "java/lang/System", "exit")) {
        writeArchiveAtExit();
        if (exitHook) {
            trace("exit hook %d", (int)args[0].i);
            exitHook(args[0].i);
        }
        exit(args[0].i);
    } else if (is(m, "java/lang/System", "setOut")) {
        sysOut = args[0].l;
    } else if (is(m, "java/lang/ClassLoader", "getSystemClassLoader")) {
        r.l = systemLoader;
    } else if (is(m, "java/lang/Thread", "currentThread")) {
        r.l = newObject("java/lang/Thread");
    } else if (is(m, "java/lang/Class", "getClassLoader")) {
        r.l = systemLoader;
    } else if (is(m, "com/mordavin/hux/CarvossClassLoader", "loadClass")) {
        r = loaderLoadClass(self, args[0].l);
    } else if (is(m, "com/mordavin/hux/CarvossClassLoader", "defineClass") && argc == 4) {
        asciiOf(args[0].l, key, sizeof key);
        r.l = defineApplicationClass(self, key, args[1].l, args[2].i, args[3].i);
    } else if (is(m, "java/net/URL", "<init>")) {
        self->link = args[1].l; /* the spec */
    } else if (is(m, "java/util/Vector", "add")) {
        Obj* item = args[0].l;
        streamAppend(self, &item, (jsize)sizeof item);
        r.i = 1;
    } else if (is(m, "java/util/Vector", "elements")) {
        r.l = newObject("java/util/Vector$1");
        r.l->link = self;
    } else if (is(m, "java/io/PrintStream", "<init>") || is(m, "java/io/ObjectOutputStream", "<init>") ||
               (endsWith(m->owner->name, "ObjectInputStream") && strcmp(m->name, "<init>") == 0)) {
        self->link = args[0].l;
    } else if (is(m, "java/io/ByteArrayInputStream", "<init>")) {
        self->link = args[0].l;
    } else if (is(m, "java/io/ObjectOutputStream", "writeObject")) {
        /* The double's serial form: the string's UTF-16 units. */
        Obj* o = args[0].l;
        if (o && o->kind == STRING)
            streamAppend(self->link, o->chars, o->length * (jsize)sizeof(jchar));
        else
            throwNew("java/io/NotSerializableException", o ? o->klass->name : "null");
    } else if (is(m, "java/io/ByteArrayOutputStream", "toByteArray")) {
        r.l = newArray('B', self->used);
        if (self->used) memcpy(r.l->data, self->data, (size_t)self->used);
    } else if (endsWith(m->owner->name, "ObjectInputStream") && strcmp(m->name, "readObject") == 0) {
        Obj* bytes = self->link ? self->link->link : NULL;
        if (bytes && bytes->kind == ARRAY) r.l = newString((const jchar*)bytes->data, bytes->length / 2);
    } else if (strcmp(m->name, "onReceive") == 0) {
        received = 1;
    } else if (strcmp(m->name, "OnMouseClick") == 0) {
        clicked = 1;
    } else if (strcmp(m->name, "OnMenuCommand") == 0) {
        commanded = 1;
    } else if (strcmp(m->name, "main") == 0 && m->isStatic) {
        runScript(m->owner->loader ? m->owner->loader : systemLoader);
    }
    return r;
}

/* ---- main's script ------------------------------------------------------ */

static Obj* call(const char* owner, const char* name, const char* sig, int isStatic, Obj* self, Obj* a0, Obj* a1) {
    Val args[2];
    args[0].l = a0;
    args[1].l = a1;
    return invoke(method(klass(owner), name, sig, isStatic), self, args, a1 ? 2 : a0 ? 1 : 0).l;
}

static void reportPending(const char* step) {
    if (!pending) return;
    char message[200];
    asciiOf(pending->link, message, sizeof message);
    trace("%s: pending %s: %s", step, pending->klass->name, message);
    pending = NULL;
}

static Obj* supportObject(const char* className) {
    Obj* o = newObject(className);
    initialise(o->klass);
    return o;
}

static void readResource(Obj* loader, const char* name) {
    Obj* jname = stringFromUtf8(name);
    intptr_t argv[1] = {(intptr_t)jname};
    Obj* url = (Obj*)callNative(klass("com/mordavin/hux/CarvossClassLoader"), loader, "findArchiveResource",
                                "(Ljava/lang/String;)Ljava/net/URL;", 1, argv, name);
    reportPending("findArchiveResource");
    if (!url) {
        trace("resource %s: not found", name);
        return;
    }
    char spec[512];
    asciiOf(url->link, spec, sizeof spec);
    Obj* handler = supportObject("com/mordavin/hux/Handler");
    argv[0] = (intptr_t)url->link;
    Obj* data = (Obj*)callNative(handler->klass, handler, "loadResourceData", "(Ljava/lang/String;)[B", 1, argv, spec);
    reportPending("loadResourceData");
    if (!data) {
        trace("resource %s: no data", name);
        return;
    }
    const unsigned char* b = (const unsigned char*)data->data;
    if (data->length >= 4 && b[0] == 0xca && b[1] == 0xfe && b[2] == 0xba && b[3] == 0xbe) {
        trace("resource %s: %d bytes, a class file", name, (int)data->length);
        return;
    }
    char text[80];
    jsize n = data->length < 60 ? data->length : 60;
    for (jsize i = 0; i < n; ++i) {
        char c = ((char*)data->data)[i];
        text[i] = (c >= 0x20 && c < 0x7f) ? c : '.';
    }
    text[n] = '\0';
    trace("resource %s: %d bytes \"%s\"", name, (int)data->length, text);
}

static void waitFor(volatile int* flag, const char* what) {
    for (int i = 0; i < 600 && !*flag; ++i) sleepMs(50);
    trace("%s: %s", what, *flag ? "arrived" : "timed out");
}

/* Straight to the process's standard output, as the runtime's own stream
   does (no C runtime buffer or text mode in between). */
static void writeOut(const char* text) {
#ifdef _WIN32
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, (DWORD)strlen(text), &written, NULL);
#else
    size_t left = strlen(text);
    while (left > 0) {
        ssize_t n = write(1, text, left);
        if (n <= 0) break;
        text += n;
        left -= (size_t)n;
    }
#endif
}

/* Each byte through the stream native `write` of `raw`. */
static void writeBytes(Obj* raw, const char* text) {
    for (const char* p = text; *p; ++p) {
        intptr_t argv[1] = {(unsigned char)*p};
        char shown[8];
        snprintf(shown, sizeof shown, "%d", (unsigned char)*p);
        callNative(raw->klass, raw, "write", "(I)V", 1, argv, shown);
        reportPending("write");
    }
}

static void printText(const char* text) {
    Obj* raw = sysOut ? sysOut->link : NULL;
    if (raw && strcmp(raw->klass->name, "com/mordavin/hux/RedirOutputStream") == 0) {
        writeBytes(raw, text);
        return;
    }
    trace("print to the process's standard output");
    writeOut(text);
}

/* The launcher's stream native, on an object whose handle is the process's
   current standard output (as the launcher sets it when it installs the
   wrapper itself). */
static void writeThroughNative(const char* text) {
    Obj* raw = supportObject("com/mordavin/hux/RedirOutputStream");
    Field* h = &raw->fields[raw->fieldCount++];
    snprintf(h->name, sizeof h->name, "h");
#ifdef _WIN32
    h->value = (jlong)(intptr_t)GetStdHandle(STD_OUTPUT_HANDLE);
#else
    h->value = 1;
#endif
    writeBytes(raw, text);
    writeBytes(raw, "\n");
}

static void trayScript(void) {
    Klass* trayClass = klass("com/mordavin/hux/SystemTray");
    Obj* callback = newObject("test/TrayCallback");
    intptr_t argv[5] = {(intptr_t)callback};
    callNative(trayClass, &trayClass->self, "setSystemTrayCallback", "(Lcom/mordavin/hux/SystemTrayCallback;)V", 1,
               argv, "test/TrayCallback");
    Obj* icon = supportObject("com/mordavin/hux/SystemTray");
    Obj* tip = stringFromUtf8("double tip");
    intptr_t init[5] = {1, (intptr_t)tip, 0, 0, 0};
    callNative(trayClass, icon, "init", "(ILjava/lang/String;Ljava/lang/String;Ljava/lang/String;I)V", 5, init,
               "1, \"double tip\", null, null, 0");
    callNative(trayClass, icon, "Show", "()V", 0, NULL, "");
    Obj* menu = supportObject("com/mordavin/hux/SystemTrayMenu");
    callNative(menu->klass, menu, "init", "()V", 0, NULL, "");
    Obj* item = stringFromUtf8("Item");
    intptr_t append[2] = {(intptr_t)item, 7};
    callNative(menu->klass, menu, "Append", "(Ljava/lang/String;I)V", 2, append, "\"Item\", 7");
    reportPending("tray");
    /* Events come from the message window, which only Windows has; the
       lines between the markers are platform-specific. */
    trace("events begin");
#ifdef _WIN32
    HWND window = FindWindowA("HUXMESSAGE", "HUXMESSAGE");
    jlong record = 0;
    for (int i = 0; i < icon->fieldCount; ++i)
        if (strcmp(icon->fields[i].name, "h") == 0) record = icon->fields[i].value;
    /* The icon record's id sits after its size and owner window. */
    UINT id = record ? *(const UINT*)((const char*)(intptr_t)record + 16) : 0;
    if (window) {
        PostMessageA(window, 1124, id, WM_LBUTTONUP);
        waitFor(&clicked, "click");
        /* Menu items carry their id above the command base 50000. */
        PostMessageA(window, WM_COMMAND, 50007, 0);
        waitFor(&commanded, "command");
    } else {
        trace("no message window");
    }
#endif
    trace("events end");
    callNative(trayClass, icon, "Hide", "()V", 0, NULL, "");
}

static void runScript(Obj* loader) {
    const char* script = getenv("HUX_DOUBLE_SCRIPT");
    char buffer[1024];
    snprintf(buffer, sizeof buffer, "%s", script ? script : "");
    for (char *command = buffer, *end; command; command = end) {
        end = strchr(command, ';');
        if (end) *end++ = '\0';
        char* arg = strchr(command, ' ');
        if (arg)
            *arg++ = '\0';
        else
            arg = command + strlen(command);
        trace("script %s %s", command, arg);
        if (strcmp(command, "return") == 0) {
            return;
        } else if (strcmp(command, "throw") == 0) {
            throwNew("java/lang/IllegalStateException", "thrown by main");
            return;
        } else if (strcmp(command, "exit") == 0) {
            Val code;
            code.i = atoi(arg);
            invoke(method(klass("java/lang/System"), "exit", "(I)V", 1), NULL, &code, 1);
        } else if (strcmp(command, "class") == 0) {
            Obj* c = call("com/mordavin/hux/CarvossClassLoader", "loadClass", "(Ljava/lang/String;)Ljava/lang/Class;",
                          0, loader, stringFromUtf8(arg), NULL);
            if (c)
                trace("class %s: %d bytes, main %s", c->klass->name, (int)c->klass->byteCount,
                      c->klass->hasMain ? "yes" : "no");
            reportPending("class");
        } else if (strcmp(command, "resource") == 0) {
            readResource(loader, arg);
        } else if (strcmp(command, "print") == 0) {
            char line[512];
            snprintf(line, sizeof line, "%s\n", arg);
            printText(line);
        } else if (strcmp(command, "write") == 0) {
            writeThroughNative(arg);
        } else if (strcmp(command, "receive") == 0) {
            Klass* instances = klass("com/mordavin/hux/Instances");
            intptr_t argv[1] = {(intptr_t)newObject("test/Receiver")};
            callNative(instances, &instances->self, "setReceiver", "(Lcom/mordavin/hux/Instances$ReceiverInterface;)V",
                       1, argv, "test/Receiver");
            reportPending("setReceiver");
            writeOut("ready\n");
            waitFor(&received, "message");
        } else if (strcmp(command, "send") == 0) {
            Klass* instances = klass("com/mordavin/hux/Instances");
            jint first = (jint)callNative(instances, &instances->self, "getFirstInstance", "()I", 0, NULL, "");
            jint self = (jint)callNative(instances, &instances->self, "getCurrentInstance", "()I", 0, NULL, "");
            trace("instances: first %s current", first == self ? "is" : "is not");
            Obj* text = stringFromUtf8(arg);
            intptr_t argv[2] = {first, (intptr_t)text};
            char shown[300];
            snprintf(shown, sizeof shown, "first, \"%s\"", arg);
            callNative(instances, &instances->self, "sendObject", "(ILjava/io/Serializable;)V", 2, argv, shown);
            callNative(instances, &instances->self, "flush", "()V", 0, NULL, "");
            reportPending("send");
        } else if (strcmp(command, "tray") == 0) {
            trayScript();
        } else {
            trace("unknown command %s", command);
        }
    }
}

/* ---- JNIEnv ------------------------------------------------------------- */

static jint JNICALL jniVersion(JNIEnv* env) {
    (void)env;
    return JNI_VERSION_1_8;
}

static jclass JNICALL FindClass(JNIEnv* env, const char* name) {
    (void)env;
    Klass* k = klass(name);
    if (isApplicationClass(k->name) && !k->defined) {
        trace("FindClass %s: missing", name);
        throwNew("java/lang/NoClassDefFoundError", name);
        return NULL;
    }
    trace("FindClass %s", name);
    /* Like the real machine, FindClass initialises the class it finds. */
    initialise(k);
    return (jclass)&k->self;
}

static jclass JNICALL GetSuperclass(JNIEnv* env, jclass cls) {
    (void)env;
    Klass* k = ((Obj*)cls)->klass;
    trace("GetSuperclass %s", k->name);
    if (strcmp(k->name, "com/mordavin/hux/CarvossClassLoader") == 0)
        return (jclass)&klass("java/net/URLClassLoader")->self;
    if (strcmp(k->name, "java/lang/Object") == 0) return NULL;
    return (jclass)&klass("java/lang/Object")->self;
}

static jint JNICALL Throw(JNIEnv* env, jthrowable e) {
    (void)env;
    pending = (Obj*)e;
    trace("Throw %s", pending->klass->name);
    return 0;
}

static jint JNICALL ThrowNew(JNIEnv* env, jclass cls, const char* message) {
    (void)env;
    throwNew(((Obj*)cls)->klass->name, message);
    return 0;
}

static jthrowable JNICALL ExceptionOccurred(JNIEnv* env) {
    (void)env;
    return (jthrowable)pending;
}

static void JNICALL ExceptionDescribe(JNIEnv* env) {
    (void)env;
    if (!pending) return;
    char message[200];
    asciiOf(pending->link, message, sizeof message);
    trace("ExceptionDescribe %s: %s", pending->klass->name, message);
    fprintf(stderr, "Exception in thread \"%s\" %s: %s\n", threadName ? threadName : "?", pending->klass->name,
            message);
    fflush(stderr);
    pending = NULL;
}

static void JNICALL ExceptionClear(JNIEnv* env) {
    (void)env;
    if (pending) trace("ExceptionClear %s", pending->klass->name);
    pending = NULL;
}

static jboolean JNICALL ExceptionCheck(JNIEnv* env) {
    (void)env;
    return pending != NULL;
}

static void JNICALL FatalError(JNIEnv* env, const char* message) {
    (void)env;
    trace("FatalError %s", message);
    abort();
}

static jobject JNICALL NewGlobalRef(JNIEnv* env, jobject o) {
    (void)env;
    return o;
}
static void JNICALL DeleteRef(JNIEnv* env, jobject o) {
    (void)env;
    (void)o;
}
static jobject JNICALL NewLocalRef(JNIEnv* env, jobject o) {
    (void)env;
    return o;
}
static jint JNICALL EnsureLocalCapacity(JNIEnv* env, jint n) {
    (void)env;
    (void)n;
    return 0;
}
static jint JNICALL PushLocalFrame(JNIEnv* env, jint n) {
    (void)env;
    (void)n;
    return 0;
}
static jobject JNICALL PopLocalFrame(JNIEnv* env, jobject o) {
    (void)env;
    return o;
}
static jboolean JNICALL IsSameObject(JNIEnv* env, jobject a, jobject b) {
    (void)env;
    return a == b;
}

static jclass JNICALL GetObjectClass(JNIEnv* env, jobject o) {
    (void)env;
    return o ? (jclass) & ((Obj*)o)->klass->self : NULL;
}

static jboolean JNICALL IsInstanceOf(JNIEnv* env, jobject o, jclass cls) {
    (void)env;
    if (!o) return JNI_TRUE;
    const char* want = ((Obj*)cls)->klass->name;
    const char* have = ((Obj*)o)->klass->name;
    jboolean yes = strcmp(want, have) == 0 || strcmp(want, "java/lang/Object") == 0 ||
                   (strcmp(want, "java/lang/ClassLoader") == 0 && strstr(have, "ClassLoader") != NULL);
    trace("IsInstanceOf %s %s: %s", have, want, yes ? "true" : "false");
    return yes;
}

static jmethodID lookup(jclass cls, const char* name, const char* sig, int isStatic) {
    Klass* k = ((Obj*)cls)->klass;
    initialise(k);
    int missing = isStatic && strcmp(name, "main") == 0 && k->defined && !k->hasMain;
    trace("Get%sMethodID %s.%s%s%s", isStatic ? "Static" : "", k->name, name, sig, missing ? ": missing" : "");
    if (missing) {
        throwNew("java/lang/NoSuchMethodError", name);
        return NULL;
    }
    return (jmethodID)method(k, name, sig, isStatic);
}

static jmethodID JNICALL GetMethodID(JNIEnv* env, jclass cls, const char* name, const char* sig) {
    (void)env;
    return lookup(cls, name, sig, 0);
}

static jmethodID JNICALL GetStaticMethodID(JNIEnv* env, jclass cls, const char* name, const char* sig) {
    (void)env;
    return lookup(cls, name, sig, 1);
}

static Val invokeV(jobject self, jmethodID mid, va_list list) {
    Method* m = (Method*)mid;
    Val args[16];
    int n = collectArgs(m->sig, list, args);
    return invoke(m, (Obj*)self, args, n);
}

static Val invokeA(jobject self, jmethodID mid, const jvalue* values) {
    Method* m = (Method*)mid;
    Val args[16];
    int n = collectArrayArgs(m->sig, values, args);
    return invoke(m, (Obj*)self, args, n);
}

static jobject JNICALL NewObjectV(JNIEnv* env, jclass cls, jmethodID mid, va_list list) {
    (void)env;
    Klass* k = ((Obj*)cls)->klass;
    initialise(k);
    Obj* o = newObject(k->name);
    invokeV((jobject)o, mid, list);
    return (jobject)o;
}

static jobject JNICALL NewObject(JNIEnv* env, jclass cls, jmethodID mid, ...) {
    va_list list;
    va_start(list, mid);
    jobject o = NewObjectV(env, cls, mid, list);
    va_end(list);
    return o;
}

static jobject JNICALL NewObjectA(JNIEnv* env, jclass cls, jmethodID mid, const jvalue* values) {
    (void)env;
    Obj* o = newObject(((Obj*)cls)->klass->name);
    invokeA((jobject)o, mid, values);
    return (jobject)o;
}

static jobject JNICALL AllocObject(JNIEnv* env, jclass cls) {
    (void)env;
    return (jobject)newObject(((Obj*)cls)->klass->name);
}

/* Instance, non-virtual and static calls of every result type: the V forms
   do the work, the others pass on to them. */
#define VARARGS(jtype, name, params, last, call) \
    static jtype JNICALL name params {           \
        va_list l;                               \
        va_start(l, last);                       \
        jtype r = call;                          \
        va_end(l);                               \
        return r;                                \
    }

#define CALLS(Type, jtype, field)                                                                                      \
    static jtype JNICALL Call##Type##MethodV(JNIEnv* e, jobject o, jmethodID m, va_list l) {                           \
        (void)e;                                                                                                       \
        return (jtype)invokeV(o, m, l).field;                                                                          \
    }                                                                                                                  \
    static jtype JNICALL Call##Type##MethodA(JNIEnv* e, jobject o, jmethodID m, const jvalue* v) {                     \
        (void)e;                                                                                                       \
        return (jtype)invokeA(o, m, v).field;                                                                          \
    }                                                                                                                  \
    static jtype JNICALL CallNonvirtual##Type##MethodV(JNIEnv* e, jobject o, jclass c, jmethodID m, va_list l) {       \
        (void)c;                                                                                                       \
        return Call##Type##MethodV(e, o, m, l);                                                                        \
    }                                                                                                                  \
    static jtype JNICALL CallNonvirtual##Type##MethodA(JNIEnv* e, jobject o, jclass c, jmethodID m, const jvalue* v) { \
        (void)c;                                                                                                       \
        return Call##Type##MethodA(e, o, m, v);                                                                        \
    }                                                                                                                  \
    static jtype JNICALL CallStatic##Type##MethodV(JNIEnv* e, jclass c, jmethodID m, va_list l) {                      \
        (void)c;                                                                                                       \
        return Call##Type##MethodV(e, NULL, m, l);                                                                     \
    }                                                                                                                  \
    static jtype JNICALL CallStatic##Type##MethodA(JNIEnv* e, jclass c, jmethodID m, const jvalue* v) {                \
        (void)c;                                                                                                       \
        return Call##Type##MethodA(e, NULL, m, v);                                                                     \
    }                                                                                                                  \
    VARARGS(jtype, Call##Type##Method, (JNIEnv * e, jobject o, jmethodID m, ...), m, Call##Type##MethodV(e, o, m, l))  \
    VARARGS(jtype, CallNonvirtual##Type##Method, (JNIEnv * e, jobject o, jclass c, jmethodID m, ...), m,               \
            CallNonvirtual##Type##MethodV(e, o, c, m, l))                                                              \
    VARARGS(jtype, CallStatic##Type##Method, (JNIEnv * e, jclass c, jmethodID m, ...), m,                              \
            CallStatic##Type##MethodV(e, c, m, l))

CALLS(Object, jobject, l)
CALLS(Boolean, jboolean, i)
CALLS(Int, jint, i)
CALLS(Long, jlong, j)

/* Void calls: an int result thrown away. */
static void JNICALL CallVoidMethodV(JNIEnv* e, jobject o, jmethodID m, va_list l) { CallIntMethodV(e, o, m, l); }
static void JNICALL CallVoidMethodA(JNIEnv* e, jobject o, jmethodID m, const jvalue* v) { CallIntMethodA(e, o, m, v); }
static void JNICALL CallNonvirtualVoidMethodV(JNIEnv* e, jobject o, jclass c, jmethodID m, va_list l) {
    CallNonvirtualIntMethodV(e, o, c, m, l);
}
static void JNICALL CallStaticVoidMethodV(JNIEnv* e, jclass c, jmethodID m, va_list l) {
    CallStaticIntMethodV(e, c, m, l);
}
static void JNICALL CallStaticVoidMethodA(JNIEnv* e, jclass c, jmethodID m, const jvalue* v) {
    CallStaticIntMethodA(e, c, m, v);
}
static void JNICALL CallVoidMethod(JNIEnv* e, jobject o, jmethodID m, ...) {
    va_list l;
    va_start(l, m);
    CallIntMethodV(e, o, m, l);
    va_end(l);
}
static void JNICALL CallNonvirtualVoidMethod(JNIEnv* e, jobject o, jclass c, jmethodID m, ...) {
    va_list l;
    va_start(l, m);
    CallNonvirtualIntMethodV(e, o, c, m, l);
    va_end(l);
}
static void JNICALL CallStaticVoidMethod(JNIEnv* e, jclass c, jmethodID m, ...) {
    va_list l;
    va_start(l, m);
    CallStaticIntMethodV(e, c, m, l);
    va_end(l);
}

/* Fields: every object has every field; values live on the object. */
typedef struct FieldId {
    char name[32];
    char sig[64];
    struct FieldId* next;
} FieldId;
static FieldId* fieldIds;

static jfieldID JNICALL GetFieldID(JNIEnv* env, jclass cls, const char* name, const char* sig) {
    (void)env;
    trace("GetFieldID %s.%s %s", ((Obj*)cls)->klass->name, name, sig);
    lockTake(&worldLock);
    FieldId* f = fieldIds;
    while (f && !(strcmp(f->name, name) == 0 && strcmp(f->sig, sig) == 0)) f = f->next;
    if (!f) {
        f = zalloc(sizeof *f);
        snprintf(f->name, sizeof f->name, "%s", name);
        snprintf(f->sig, sizeof f->sig, "%s", sig);
        f->next = fieldIds;
        fieldIds = f;
    }
    lockDrop(&worldLock);
    return (jfieldID)f;
}

static Field* slot(jobject o, jfieldID id) {
    Obj* obj = (Obj*)o;
    const char* name = ((FieldId*)id)->name;
    for (int i = 0; i < obj->fieldCount; ++i)
        if (strcmp(obj->fields[i].name, name) == 0) return &obj->fields[i];
    if (obj->fieldCount == 4) abort();
    Field* f = &obj->fields[obj->fieldCount++];
    snprintf(f->name, sizeof f->name, "%s", name);
    return f;
}

static jlong JNICALL GetLongField(JNIEnv* env, jobject o, jfieldID id) {
    (void)env;
    return slot(o, id)->value;
}
static jint JNICALL GetIntField(JNIEnv* env, jobject o, jfieldID id) {
    (void)env;
    return (jint)slot(o, id)->value;
}
static void JNICALL SetLongField(JNIEnv* env, jobject o, jfieldID id, jlong v) {
    (void)env;
    slot(o, id)->value = v;
}
static void JNICALL SetIntField(JNIEnv* env, jobject o, jfieldID id, jint v) {
    (void)env;
    slot(o, id)->value = v;
}
static jobject JNICALL GetObjectField(JNIEnv* env, jobject o, jfieldID id) {
    (void)env;
    Field* f = slot(o, id);
    /* A set-valued field (a menu's submenus) starts out as an empty set. */
    if (!f->ref && strstr(((FieldId*)id)->sig, "Set;")) f->ref = newObject("java/util/HashSet");
    return (jobject)f->ref;
}
static void JNICALL SetObjectField(JNIEnv* env, jobject o, jfieldID id, jobject v) {
    (void)env;
    slot(o, id)->ref = (Obj*)v;
}

/* Strings and arrays. */
static jstring JNICALL NewString(JNIEnv* env, const jchar* chars, jsize length) {
    (void)env;
    return (jstring)newString(chars, length);
}
static jsize JNICALL GetStringLength(JNIEnv* env, jstring s) {
    (void)env;
    return ((Obj*)s)->length;
}
static const jchar* JNICALL GetStringChars(JNIEnv* env, jstring s, jboolean* copy) {
    (void)env;
    if (copy) *copy = JNI_FALSE;
    return ((Obj*)s)->chars;
}
static void JNICALL ReleaseStringChars(JNIEnv* env, jstring s, const jchar* chars) {
    (void)env;
    (void)s;
    (void)chars;
}
static void JNICALL GetStringRegion(JNIEnv* env, jstring s, jsize start, jsize length, jchar* out) {
    (void)env;
    Obj* o = (Obj*)s;
    if (start < 0 || length < 0 || start + length > o->length) {
        throwNew("java/lang/StringIndexOutOfBoundsException", "GetStringRegion");
        return;
    }
    if (length) memcpy(out, o->chars + start, (size_t)length * sizeof(jchar));
}
static jstring JNICALL NewStringUTF(JNIEnv* env, const char* text) {
    (void)env;
    return text ? (jstring)stringFromUtf8(text) : NULL;
}

static const char* JNICALL GetStringUTFChars(JNIEnv* env, jstring s, jboolean* copy) {
    (void)env;
    Obj* o = (Obj*)s;
    char* out = zalloc((size_t)o->length * 3 + 1);
    size_t n = 0;
    for (jsize i = 0; i < o->length; ++i) {
        unsigned c = o->chars[i];
        if (c != 0 && c < 0x80) {
            out[n++] = (char)c;
        } else if (c < 0x800) {
            out[n++] = (char)(0xc0 | (c >> 6));
            out[n++] = (char)(0x80 | (c & 0x3f));
        } else {
            out[n++] = (char)(0xe0 | (c >> 12));
            out[n++] = (char)(0x80 | ((c >> 6) & 0x3f));
            out[n++] = (char)(0x80 | (c & 0x3f));
        }
    }
    if (copy) *copy = JNI_TRUE;
    return out;
}
static jsize JNICALL GetStringUTFLength(JNIEnv* env, jstring s) {
    const char* utf = GetStringUTFChars(env, s, NULL);
    jsize n = (jsize)strlen(utf);
    free((void*)utf);
    return n;
}
static void JNICALL ReleaseStringUTFChars(JNIEnv* env, jstring s, const char* chars) {
    (void)env;
    (void)s;
    free((void*)chars);
}

/* The address of elements [start, start + n) of an array of `size`-byte
   elements, or NULL with ArrayIndexOutOfBoundsException pending. */
static char* region(jarray a, jsize start, jsize n, size_t size) {
    Obj* array = (Obj*)a;
    if (start < 0 || n < 0 || start > array->length - n) {
        throwNew("java/lang/ArrayIndexOutOfBoundsException", NULL);
        return NULL;
    }
    return (char*)array->data + (size_t)start * size;
}
static jsize JNICALL GetArrayLength(JNIEnv* env, jarray a) {
    (void)env;
    return ((Obj*)a)->length;
}
static jobjectArray JNICALL NewObjectArray(JNIEnv* env, jsize length, jclass cls, jobject initial) {
    (void)env;
    trace("NewObjectArray %d %s", (int)length, ((Obj*)cls)->klass->name);
    Obj* a = newArray('L', length);
    for (jsize i = 0; i < length; ++i) ((Obj**)a->data)[i] = (Obj*)initial;
    return (jobjectArray)a;
}
static jobject JNICALL GetObjectArrayElement(JNIEnv* env, jobjectArray a, jsize i) {
    (void)env;
    Obj** at = (Obj**)region(a, i, 1, sizeof(Obj*));
    return at ? (jobject)*at : NULL;
}
static void JNICALL SetObjectArrayElement(JNIEnv* env, jobjectArray a, jsize i, jobject v) {
    (void)env;
    Obj** at = (Obj**)region(a, i, 1, sizeof(Obj*));
    if (at) *at = (Obj*)v;
}
static jbyteArray JNICALL NewByteArray(JNIEnv* env, jsize length) {
    (void)env;
    return (jbyteArray)newArray('B', length);
}
static jintArray JNICALL NewIntArray(JNIEnv* env, jsize length) {
    (void)env;
    return (jintArray)newArray('I', length);
}
static jbyte* JNICALL GetByteArrayElements(JNIEnv* env, jbyteArray a, jboolean* copy) {
    (void)env;
    if (copy) *copy = JNI_FALSE;
    return (jbyte*)((Obj*)a)->data;
}
static void JNICALL ReleaseByteArrayElements(JNIEnv* env, jbyteArray a, jbyte* e, jint mode) {
    (void)env;
    (void)a;
    (void)e;
    (void)mode;
}
static void JNICALL GetByteArrayRegion(JNIEnv* env, jbyteArray a, jsize start, jsize n, jbyte* out) {
    (void)env;
    char* at = region(a, start, n, 1);
    if (at) memcpy(out, at, (size_t)n);
}
static void JNICALL SetByteArrayRegion(JNIEnv* env, jbyteArray a, jsize start, jsize n, const jbyte* in) {
    (void)env;
    char* at = region(a, start, n, 1);
    if (at) memcpy(at, in, (size_t)n);
}
static void JNICALL SetIntArrayRegion(JNIEnv* env, jintArray a, jsize start, jsize n, const jint* in) {
    (void)env;
    char* at = region(a, start, n, sizeof(jint));
    if (at) memcpy(at, in, sizeof(jint) * (size_t)n);
}

static jint JNICALL RegisterNatives(JNIEnv* env, jclass cls, const JNINativeMethod* list, jint count) {
    (void)env;
    Klass* k = ((Obj*)cls)->klass;
    trace("bind %s: RegisterNatives %d", k->name, (int)count);
    for (jint i = 0; i < count && k->nativeCount < 16; ++i) {
        Native* n = &k->natives[k->nativeCount++];
        snprintf(n->name, sizeof n->name, "%s", list[i].name);
        snprintf(n->sig, sizeof n->sig, "%s", list[i].signature);
        n->fn = list[i].fnPtr;
    }
    return 0;
}

static jint JNICALL GetJavaVM(JNIEnv* env, JavaVM** vm) {
    (void)env;
    *vm = &theVm;
    return 0;
}

/* Every other slot: recorded, then the process ends with 99, so a launcher
   that starts using a new function shows up in the trace. */
#define MISSING(n)                                    \
    static void JNICALL missing##n(void) {            \
        trace("unimplemented JNIEnv function %d", n); \
        exit(99);                                     \
    }
#define MISSING10(t) \
    MISSING(t##0)    \
    MISSING(t##1)    \
    MISSING(t##2) MISSING(t##3) MISSING(t##4) MISSING(t##5) MISSING(t##6) MISSING(t##7) MISSING(t##8) MISSING(t##9)
MISSING10()
MISSING10(1)
MISSING10(2)
MISSING10(3)
MISSING10(4)
MISSING10(5) MISSING10(6) MISSING10(7) MISSING10(8) MISSING10(9) MISSING10(10) MISSING10(11) MISSING10(12) MISSING10(13)
    MISSING10(14) MISSING10(15) MISSING10(16) MISSING10(17) MISSING10(18) MISSING10(19) MISSING10(20) MISSING10(21)
        MISSING10(22) MISSING10(23)
#define SLOT10(t)                                                                                            \
    missing##t##0, missing##t##1, missing##t##2, missing##t##3, missing##t##4, missing##t##5, missing##t##6, \
        missing##t##7, missing##t##8, missing##t##9
            static void(JNICALL* const missingSlots[240])(void) = {
                SLOT10(),   SLOT10(1),  SLOT10(2),  SLOT10(3),  SLOT10(4),  SLOT10(5),  SLOT10(6),  SLOT10(7),
                SLOT10(8),  SLOT10(9),  SLOT10(10), SLOT10(11), SLOT10(12), SLOT10(13), SLOT10(14), SLOT10(15),
                SLOT10(16), SLOT10(17), SLOT10(18), SLOT10(19), SLOT10(20), SLOT10(21), SLOT10(22), SLOT10(23)};

static struct JNINativeInterface_ envTable;
static struct JNIInvokeInterface_ vmTable;

static void fillEnv(void) {
    void** slots = (void**)&envTable;
    size_t count = sizeof envTable / sizeof(void*);
    for (size_t i = 0; i < count && i < 240; ++i) slots[i] = (void*)missingSlots[i];
    struct JNINativeInterface_* t = &envTable;
#define SET(name) t->name = name
#define SET_CALLS(Type)                 \
    SET(Call##Type##Method);            \
    SET(Call##Type##MethodV);           \
    SET(Call##Type##MethodA);           \
    SET(CallNonvirtual##Type##Method);  \
    SET(CallNonvirtual##Type##MethodV); \
    SET(CallNonvirtual##Type##MethodA); \
    SET(CallStatic##Type##Method);      \
    SET(CallStatic##Type##MethodV);     \
    SET(CallStatic##Type##MethodA)
    t->GetVersion = jniVersion;
    SET(FindClass);
    SET(GetSuperclass);
    SET(Throw);
    SET(ThrowNew);
    SET(ExceptionOccurred);
    SET(ExceptionDescribe);
    SET(ExceptionClear);
    SET(ExceptionCheck);
    SET(FatalError);
    SET(NewGlobalRef);
    SET(NewLocalRef);
    SET(EnsureLocalCapacity);
    SET(PushLocalFrame);
    SET(PopLocalFrame);
    SET(IsSameObject);
    SET(GetObjectClass);
    SET(IsInstanceOf);
    SET(GetMethodID);
    SET(GetStaticMethodID);
    SET(NewObject);
    SET(NewObjectV);
    SET(NewObjectA);
    SET(AllocObject);
    SET_CALLS(Object);
    SET_CALLS(Boolean);
    SET_CALLS(Int);
    SET_CALLS(Long);
    SET(CallVoidMethod);
    SET(CallVoidMethodV);
    SET(CallVoidMethodA);
    SET(CallNonvirtualVoidMethod);
    SET(CallNonvirtualVoidMethodV);
    SET(CallStaticVoidMethod);
    SET(CallStaticVoidMethodV);
    SET(CallStaticVoidMethodA);
    SET(GetFieldID);
    SET(GetLongField);
    SET(GetIntField);
    SET(SetLongField);
    SET(SetIntField);
    SET(GetObjectField);
    SET(SetObjectField);
    SET(NewString);
    SET(GetStringLength);
    SET(GetStringChars);
    SET(ReleaseStringChars);
    SET(GetStringRegion);
    SET(NewStringUTF);
    SET(GetStringUTFLength);
    SET(GetStringUTFChars);
    SET(ReleaseStringUTFChars);
    SET(GetArrayLength);
    SET(NewObjectArray);
    SET(GetObjectArrayElement);
    SET(SetObjectArrayElement);
    SET(NewByteArray);
    SET(NewIntArray);
    SET(GetByteArrayElements);
    SET(ReleaseByteArrayElements);
    SET(GetByteArrayRegion);
    SET(SetByteArrayRegion);
    SET(SetIntArrayRegion);
    SET(RegisterNatives);
    SET(GetJavaVM);
#undef SET
#undef SET_CALLS
    t->DeleteGlobalRef = DeleteRef;
    t->DeleteLocalRef = DeleteRef;
    t->DeleteWeakGlobalRef = DeleteRef;
    t->NewWeakGlobalRef = NewGlobalRef;
}

/* ---- JavaVM ------------------------------------------------------------- */

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
