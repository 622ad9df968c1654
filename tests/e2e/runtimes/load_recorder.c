/* A stand-in runtime library that records being loaded: it creates the file
   "runtime-loaded.txt" in the current directory as soon as it is loaded, and
   its creation entry fails. */
#include <stdio.h>

#ifdef _WIN32
#include <windows.h>
#define EXPORT __declspec(dllexport)
#else
#define EXPORT __attribute__((visibility("default")))
#endif

static void record(void) {
    FILE* f = fopen("runtime-loaded.txt", "w");
    if (f) {
        fputs("loaded\n", f);
        fclose(f);
    }
}

#ifdef _WIN32
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) record();
    return TRUE;
}
#else
__attribute__((constructor)) static void loaded(void) { record(); }
#endif

EXPORT int JNI_CreateJavaVM(void** vm, void** env, void* args) {
    (void)args;
    *vm = 0;
    *env = 0;
    return -1;
}
