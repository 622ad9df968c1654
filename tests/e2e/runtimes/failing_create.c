/* A library whose creation entry always fails with -1. */
#ifdef _WIN32
#define EXPORT __declspec(dllexport)
#else
#define EXPORT __attribute__((visibility("default")))
#endif

EXPORT int JNI_CreateJavaVM(void** vm, void** env, void* args) {
    (void)args;
    *vm = 0;
    *env = 0;
    return -1;
}
