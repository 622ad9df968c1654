// Sending the process's standard output and standard error elsewhere: to a
// file appended to, or into the standard input of a started command.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/status.h"

namespace hux::platform {

enum class StdStream { Output, Error };

// Value of a handle that is not open.
constexpr intptr_t kNoStreamHandle = -1;

// One place a standard stream can be sent to. Closing it (or destroying it)
// releases the launcher's handle; a standard stream pointed at it keeps its
// own reference.
class OutputTarget {
public:
    OutputTarget() = default;
    OutputTarget(const OutputTarget&) = delete;
    OutputTarget& operator=(const OutputTarget&) = delete;
    ~OutputTarget() { close(); }

    // Opens `path` for writing, creating it when missing and keeping what it
    // holds; every write lands at its end. A relative path names a file in the
    // current directory.
    Status openFile(const char* path);
    // Starts `commandLine` without a window (on Linux through /bin/sh -c),
    // its standard input reading from a pipe whose write end this target
    // holds and its standard output and error going nowhere. The write end is
    // not inherited by the command or by later children. The command is not
    // waited for: it sees end-of-file when the last writer is gone, at the
    // latest when the launcher ends. Fails when the pipe or the command
    // cannot be created.
    Status startCommand(const char* commandLine);

    bool isOpen() const { return handle_ != kNoStreamHandle; }
    // What writes go to: a HANDLE on Windows, a file descriptor elsewhere.
    intptr_t handle() const { return handle_; }
    // Whether the C runtime's stream should write through without buffering
    // (files; a command keeps the runtime's default buffering).
    bool unbuffered() const { return unbuffered_; }
    // The C runtime's descriptor over the handle, where the runtime needs one
    // to re-point its own streams (-1 elsewhere).
    int runtimeDescriptor() const { return descriptor_; }
    void close();

private:
    intptr_t handle_ = kNoStreamHandle;
    int descriptor_ = -1;
    bool unbuffered_ = false;
};

// What a standard stream referred to before it was pointed elsewhere.
struct SavedStream {
    intptr_t handle = kNoStreamHandle;  // what to put back (may be "none")
    bool active = false;                // the stream was pointed elsewhere
};

// Flushes the C runtime's standard output and standard error.
void flushStdStreams();

// Points the standard stream `which` at `target`: the process's standard
// handle and the C runtime's own stream, so that the launcher's own writes
// follow (the C stream is flushed first and made unbuffered for an unbuffered
// target). `saved` receives what is needed to put the stream back. Fails when
// nothing could be changed.
Status pointStdStream(StdStream which, const OutputTarget& target, SavedStream& saved);

// Whether the process's standard handle for `which` reads back as `target`
// (if not, code that writes through the system's standard handle may miss the
// redirection).
bool stdStreamIs(StdStream which, const OutputTarget& target);

// Flushes the C runtime's stream and puts `saved` back as the standard stream
// `which`; `saved` is empty afterwards.
void restoreStdStream(StdStream which, SavedStream& saved);

// Writes all `count` bytes to `handle` (a target's handle); failures and
// invalid handles are ignored.
void writeToHandle(intptr_t handle, const void* data, size_t count);

}  // namespace hux::platform
