/* A stand-in runtime whose creation entry records what the launcher hands
   it, one line each, in the file named by HUX_RUNTIME_LOG, and then fails
   with -1: on Windows the active code page and the ANSI command line, then
   every option string. */
#include <stdio.h>
#include <stdlib.h>

#ifdef _WIN32
#include <windows.h>
#define EXPORT __declspec(dllexport)
#else
#define EXPORT __attribute__((visibility("default")))
#endif

typedef struct {
    char* optionString;
    void* extraInfo;
} Option;

typedef struct {
    int version;
    int nOptions;
    Option* options;
    unsigned char ignoreUnrecognized;
} InitArgs;

EXPORT int JNI_CreateJavaVM(void** vm, void** env, void* args) {
    const char* path = getenv("HUX_RUNTIME_LOG");
    FILE* f = path ? fopen(path, "wb") : NULL;
    if (f) {
#ifdef _WIN32
        fprintf(f, "acp %u\n", GetACP());
        fprintf(f, "commandline %s\n", GetCommandLineA());
#endif
        const InitArgs* init = (const InitArgs*)args;
        for (int i = 0; init && i < init->nOptions; ++i) fprintf(f, "option %s\n", init->options[i].optionString);
        fclose(f);
    }
    *vm = 0;
    *env = 0;
    return -1;
}
