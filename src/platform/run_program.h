// Running another program and waiting for it (the hux tool runs signing
// tools this way), or starting one that outlives the caller.
#pragma once

#include <string>
#include <vector>

#include "platform/status.h"

namespace hux::platform {

// Runs `argv` (argv[0] looked up in PATH) with the standard streams of this
// process and waits for it. Gives its exit code, or the failure when it could
// not be started (code ENOENT, 2, for a program that is not there) or did not
// exit normally.
Result<int> runProgram(const std::vector<std::string>& argv);

// The same, with the program's standard output written to the file at
// `outputPath` (created or emptied) instead.
Result<int> runProgramToFile(const std::vector<std::string>& argv, const std::string& outputPath);

// The same, with both its standard output and its standard error written to
// the file.
Result<int> runProgramCapturing(const std::vector<std::string>& argv, const std::string& outputPath);

// Runs `argv` as runProgramCapturing does, with standard input empty, for at
// most `limitSeconds`: then it is asked to end (SIGTERM to its process group;
// on Windows it is ended), and killed with everything it started when it is
// still there `graceSeconds` later. `timedOut` says whether the limit was
// reached. Gives its exit code, or the failure when it could not be started
// or did not exit by itself.
Result<int> runProgramCapturingWithin(const std::vector<std::string>& argv, const std::string& outputPath,
                                      int limitSeconds, int graceSeconds, bool& timedOut);

// The system's null device ("/dev/null", "NUL"), for output nobody reads.
const char* nullDevice();

// Whether startDetached can start programs here.
bool startsDetachedPrograms();

// Starts `argv` (argv[0] a path, not looked up in PATH) with `assignment`
// ("NAME=value") added to the environment, in a session of its own (on
// Windows: no console, a process group of its own, the lowest priority), its
// standard streams on the null device and no other descriptor or handle
// inherited; does not wait for it. The failure when it could not be started.
Status startDetached(const std::vector<std::string>& argv, const std::string& assignment);

}  // namespace hux::platform
