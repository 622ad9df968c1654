/* A stand-in splash library: records its loading and every call, one line
   each, in the file named by HUX_SPLASH_LOG. */
#include <stdio.h>
#include <stdlib.h>

#ifdef _WIN32
#define EXPORT __declspec(dllexport)
#else
#define EXPORT __attribute__((visibility("default")))
#endif

static void record(const char* what, const char* detail) {
    const char* path = getenv("HUX_SPLASH_LOG");
    FILE* f = path ? fopen(path, "ab") : NULL;
    if (!f) return;
    fprintf(f, detail ? "%s %s\n" : "%s\n", what, detail);
    fclose(f);
}

__attribute__((constructor)) static void loaded(void) { record("loaded", NULL); }

EXPORT void SplashInit(void) { record("SplashInit", NULL); }

EXPORT void SplashSetFileJarName(const char* file, const char* jar) {
    char detail[1024];
    snprintf(detail, sizeof detail, "%s %s", file ? file : "(null)", jar ? jar : "(no jar)");
    record("SplashSetFileJarName", detail);
}

EXPORT int SplashLoadFile(const char* name) {
    record("SplashLoadFile", name);
    return 1;
}

/* The size and the bytes, which are text in the tests. */
EXPORT int SplashLoadMemory(void* data, int size) {
    char detail[96];
    int n = snprintf(detail, sizeof detail, "%d ", size);
    for (int i = 0; i < size && n < (int)sizeof detail - 1; ++i) detail[n++] = ((const char*)data)[i];
    detail[n] = '\0';
    record("SplashLoadMemory", detail);
    return 1;
}
