/* The recording virtual machine's scripted Java world: classes, methods,
   strings, exceptions and natives (see recording_vm.c). */
#include "recording_vm.h"

/* ---- classes, methods, strings ----------------------------------------- */

static int isSupportClass(const char* name) { return strncmp(name, "com/mordavin/hux/", 17) == 0; }

/* Application classes exist only once defined; everything else always. */
int isApplicationClass(const char* name) {
    return !isSupportClass(name) && strncmp(name, "java/", 5) != 0 && strncmp(name, "javax/", 6) != 0 &&
           strncmp(name, "jdk/", 4) != 0 && strncmp(name, "sun/", 4) != 0;
}

Klass* klass(const char* name) {
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

Obj* newObject(const char* className) {
    Obj* o = zalloc(sizeof *o);
    o->kind = OBJECT;
    o->klass = klass(className);
    return o;
}

Obj* newString(const jchar* chars, jsize length) {
    Obj* o = newObject("java/lang/String");
    o->kind = STRING;
    o->chars = zalloc(sizeof(jchar) * (size_t)(length + 1));
    if (length) memcpy(o->chars, chars, sizeof(jchar) * (size_t)length);
    o->length = length;
    return o;
}

/* Modified UTF-8 (and plain UTF-8) to a string. */
Obj* stringFromUtf8(const char* text) {
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
void asciiOf(Obj* s, char* out, size_t cap) {
    size_t n = 0;
    if (s && s->kind == STRING)
        for (jsize i = 0; i < s->length && n + 1 < cap; ++i) out[n++] = s->chars[i] < 0x80 ? (char)s->chars[i] : '?';
    out[n] = '\0';
}

Obj* newArray(char elem, jsize length) {
    Obj* o = newObject(elem == 'B' ? "[B" : elem == 'I' ? "[I" : "[Ljava/lang/Object;");
    o->kind = ARRAY;
    o->elem = elem;
    o->length = length;
    o->data = zalloc((size_t)length * (elem == 'B' ? 1 : elem == 'I' ? 4 : sizeof(Obj*)));
    return o;
}

Method* method(Klass* owner, const char* name, const char* sig, int isStatic) {
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

const char* property(const char* key) {
    for (int i = 0; i < propCount; ++i)
        if (strcmp(props[i][0], key) == 0) return props[i][1];
    return NULL;
}

void setProperty(const char* key, const char* value) {
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

void throwNew(const char* className, const char* message) {
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

/* Runs such a class's static initialiser once, like the real classes do:
   the class loader binds nothing while "hux.app.path" is unset (the launcher
   binds it itself); a class that binds through NativeLink asks it first
   where the launcher binds natives itself (on Windows only from a path too
   long to load); otherwise, with
   "hux.app.path" set, the class loads that file as a library. */
void initialise(Klass* k) {
    if (k->initialised || !declaresNatives(k->name)) return;
    k->initialised = 1;
    if (strcmp(k->name + 17, "CarvossClassLoader") == 0 && !property("hux.app.path")) return;
#ifdef _WIN32
    /* Windows: only a path too long to load (MAX_PATH or more) is bound by the
       launcher, as NativeLink.java decides. */
    if (property("hux.app.path") && strlen(property("hux.app.path")) >= 260)
#endif
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

intptr_t callNative(Klass* k, void* receiver, const char* name, const char* sig, int argc, const intptr_t* argv,
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

int collectArgs(const char* sig, va_list list, Val* args) {
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

int collectArrayArgs(const char* sig, const jvalue* values, Val* args) {
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

int is(const Method* m, const char* owner, const char* name) {
    return strcmp(m->owner->name, owner) == 0 && strcmp(m->name, name) == 0;
}

int hasPrefix(const char* text, const char* prefix) { return strncmp(text, prefix, strlen(prefix)) == 0; }

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

Val invoke(Method* m, Obj* self, const Val* args, int argc) {
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
    } else if (is(m, "java/lang/ClassLoader", "loadClass")) {
        /* The runtime's own loader, of a flattened executable: the class path
           holds the class itself. */
        asciiOf(args[0].l, key, sizeof key);
        Klass* k = klass(key);
        k->defined = 1;
        k->hasMain = 1;
        trace("class path loads %s", key);
        r.l = &k->self;
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
