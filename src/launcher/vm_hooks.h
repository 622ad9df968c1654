// What the launcher wires into the start of the virtual machine.
#pragma once

#include "runtime/jvm_host.h"

namespace hux {

// Run once the virtual machine is up, right before main: the URL handler
// package (where the launcher's loader serves), the Java side of the stream
// redirection, then the interrupt handler.
void vmReadyHook(JvmHost& host);

// The code the virtual machine exits with after SIGINT or SIGTERM: 128 plus
// the signal number, as `java` exits (130 and 143).
int interruptExitCode(int signal);

}  // namespace hux
