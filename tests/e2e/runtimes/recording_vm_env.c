/* The recording virtual machine's JNIEnv: the functions the launcher uses,
   each traced, and a stub that ends the process for every other slot. */
#include "recording_vm.h"

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
// clang-format off
#define MISSING(n)                                    \
    static void JNICALL missing##n(void) {            \
        trace("unimplemented JNIEnv function %d", n); \
        exit(99);                                     \
    }
#define MISSING10(t)                                                                                    \
    MISSING(t##0) MISSING(t##1) MISSING(t##2) MISSING(t##3) MISSING(t##4) MISSING(t##5) MISSING(t##6) \
    MISSING(t##7) MISSING(t##8) MISSING(t##9)
MISSING10() MISSING10(1) MISSING10(2) MISSING10(3) MISSING10(4) MISSING10(5) MISSING10(6) MISSING10(7)
MISSING10(8) MISSING10(9) MISSING10(10) MISSING10(11) MISSING10(12) MISSING10(13) MISSING10(14) MISSING10(15)
MISSING10(16) MISSING10(17) MISSING10(18) MISSING10(19) MISSING10(20) MISSING10(21) MISSING10(22) MISSING10(23)
#define SLOT10(t)                                                                                            \
    missing##t##0, missing##t##1, missing##t##2, missing##t##3, missing##t##4, missing##t##5, missing##t##6, \
    missing##t##7, missing##t##8, missing##t##9
static void(JNICALL* const missingSlots[240])(void) = {
    SLOT10(),   SLOT10(1),  SLOT10(2),  SLOT10(3),  SLOT10(4),  SLOT10(5),  SLOT10(6),  SLOT10(7),
    SLOT10(8),  SLOT10(9),  SLOT10(10), SLOT10(11), SLOT10(12), SLOT10(13), SLOT10(14), SLOT10(15),
    SLOT10(16), SLOT10(17), SLOT10(18), SLOT10(19), SLOT10(20), SLOT10(21), SLOT10(22), SLOT10(23)};
// clang-format on

struct JNINativeInterface_ envTable;

void fillEnv(void) {
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
