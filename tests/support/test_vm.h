// Starts a virtual machine for a JNI test on the runtime that discovery finds
// (JAVA_HOME / JRE_HOME, then the system's default runtime).
#pragma once

#include <jni.h>

#include <string>

#include "runtime/jvm_host.h"

namespace hux::test {

// Loads the runtime library into `host` and creates a VM with `-Xshare:auto`
// and, when not empty, `-Djava.class.path=<classPath>`; sets host.vm and
// host.env. False when no runtime is found or creation fails.
bool createTestVm(JvmHost& host, const std::string& classPath = {});

}  // namespace hux::test
