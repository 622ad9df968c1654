// The floor of any in-process launch: loading the runtime library and
// JNI_CreateJavaVM with no options, timed from process start.
#include <dlfcn.h>
#include <jni.h>
#include <time.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    void* lib = dlopen(argv[1], RTLD_NOW | RTLD_GLOBAL);
    if (!lib) return 3;
    auto create = reinterpret_cast<jint (*)(JavaVM**, void**, void*)>(dlsym(lib, "JNI_CreateJavaVM"));
    JavaVMInitArgs args{};
    args.version = JNI_VERSION_1_2;
    JavaVM* vm = nullptr;
    void* env = nullptr;
    if (!create || create(&vm, &env, &args) != 0) return 4;
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    std::printf("entry %lld\n", static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec);
    std::fflush(stdout);
    vm->DestroyJavaVM();
    return 0;
}
