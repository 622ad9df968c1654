/* What `main` of a defined class does in the recording virtual machine: the
   commands of HUX_DOUBLE_SCRIPT (see recording_vm.c). */
#include "recording_vm.h"

/* ---- main's script ------------------------------------------------------ */

Obj* call(const char* owner, const char* name, const char* sig, int isStatic, Obj* self, Obj* a0, Obj* a1) {
    Val args[2];
    args[0].l = a0;
    args[1].l = a1;
    return invoke(method(klass(owner), name, sig, isStatic), self, args, a1 ? 2 : a0 ? 1 : 0).l;
}

void reportPending(const char* step) {
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

void runScript(Obj* loader) {
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
