// Pipes whose ends are never inherited by programs this process starts. How
// the system creates both ends close-on-exec in one step differs between the
// systems that share posix/ (pipe2 on Linux), so each provides it.
#pragma once

namespace hux::platform::posix {

// A pipe: ends[0] reads, ends[1] writes, both close-on-exec from the start
// (no program started meanwhile by another thread gets them). False, with
// errno set, when it cannot be made.
bool closeOnExecPipe(int ends[2]);

}  // namespace hux::platform::posix
