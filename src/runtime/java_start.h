// The start sequence of a launch: options, virtual machine, version check,
// then the application's main.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "common/byte_string.h"
#include "config/launch_config.h"
#include "runtime/jvm_host.h"
#include "runtime/options.h"

namespace hux {

// Run by the start once the virtual machine is up and its version accepted,
// right before main; the launcher wires its services there.
using ReadyHook = void (*)(JvmHost& host);

// The "-Dsun.java.command=" option `java` gives the virtual machine: the main
// class and the arguments, each after one blank. Monitoring tools (jps,
// jcmd) name a running application by it.
ByteString commandOption(std::string_view mainClass, const std::vector<ByteString>& arguments);

// Runs the Java application in `host` with `arguments` (main's strings, in
// the platform encoding); returns the process exit code after `main` threw,
// else its launch result, whose message it has printed. The caller has
// applied the `export` lines (before reading the `argv` lines).
int32_t startJavaApplication(const LaunchConfig& config, JvmHost& host, const std::vector<ByteString>& arguments,
                             const OptionInputs& inputs, ReadyHook ready);

}  // namespace hux
