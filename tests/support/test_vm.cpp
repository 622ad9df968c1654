#include "support/test_vm.h"

#include "runtime/discovery.h"
#include "support/test_support.h"

namespace hux::test {

bool createTestVm(JvmHost& host, const std::string& classPath) {
    auto discovery = makeConfig("jre_order es", "/nowhere/app", "/nowhere/");
    resetRuntimeSearchForTesting();
    const ByteString library = findRuntimeLibrary(*discovery);
    resetRuntimeSearchForTesting();
    if (library.empty() || !host.library.load(library.c_str(), true)) return false;
    using CreateFn = jint (*)(JavaVM**, void**, void*);
    auto create = reinterpret_cast<CreateFn>(host.library.symbol("JNI_CreateJavaVM"));
    if (!create) return false;
    const std::string classPathOption = "-Djava.class.path=" + classPath;
    // The serial collector runs no collector threads of its own: the race
    // reports ThreadSanitizer makes between the VM's uninstrumented collector
    // threads are not ours to fix, and these tests never depend on the collector.
    JavaVMOption options[3] = {{const_cast<char*>("-Xshare:auto"), nullptr},
                               {const_cast<char*>("-XX:+UseSerialGC"), nullptr},
                               {const_cast<char*>(classPathOption.c_str()), nullptr}};
    JavaVMInitArgs args{JNI_VERSION_1_8, classPath.empty() ? 2 : 3, options, JNI_TRUE};
    JavaVM* vm = nullptr;
    JNIEnv* env = nullptr;
    if (create(&vm, reinterpret_cast<void**>(&env), &args) != JNI_OK) return false;
    host.vm = vm;
    host.env = env;
    return true;
}

}  // namespace hux::test
