// Redirection of standard output and standard error to files or commands.
#pragma once

#include <cstdint>

#include "common/byte_string.h"
#include "common/never_destroyed.h"
#include "config/launch_config.h"
#include "platform/redirect.h"

struct JNIEnv_;

namespace hux {

// Whether a `stdout` / `stderr` value names a command line ("|" followed by
// the command) rather than a file.
bool isCommandTarget(const ByteString& value);

// One place output is sent to, opened for one configuration value.
struct RedirectTarget {
    ByteString value;  // compared byte for byte
    platform::OutputTarget output;
};

// The holder of the standard-output and standard-error targets. The process
// has one (streamRedirector()), which is never destroyed: the streams stay on
// their targets until the process ends, and the system closes the targets
// then. A redirector of a test puts the streams back when destroyed.
class StreamRedirector {
public:
    StreamRedirector() = default;
    StreamRedirector(const StreamRedirector&) = delete;
    StreamRedirector& operator=(const StreamRedirector&) = delete;
    ~StreamRedirector();

    // The target for `value`: the one already opened for the same bytes, or a
    // new one, which is kept (and not opened again) even when opening failed.
    RedirectTarget& targetFor(const ByteString& value);

    // Sends the standard stream `which` to the target for `value`. A target
    // that could not be opened, or a stream redirected already, changes
    // nothing.
    void redirect(platform::StdStream which, const ByteString& value);

    // Wires System.out / System.err through RedirOutputStream for each stream
    // whose standard handle did not read back as its target.
    void installJavaRedirect(JNIEnv_* env);

    // Puts the standard streams back (flushing them first) and closes every
    // target; what is written afterwards goes where it went at start.
    void restore();

    // Makes `which` go through the Java wrapper to `handle`, as when its
    // standard handle did not read back as its target (tests only).
    void requireJavaForTesting(platform::StdStream which, intptr_t handle) {
        state(which).needsJava = true;
        state(which).targetHandle = handle;
    }

    int32_t targetCount() const { return targets_.size(); }
    bool redirected(platform::StdStream which) const { return state(which).saved.active; }
    bool needsJava(platform::StdStream which) const { return state(which).needsJava; }
    intptr_t targetHandle(platform::StdStream which) const { return state(which).targetHandle; }

private:
    struct StreamState {
        platform::SavedStream saved;
        intptr_t targetHandle = platform::kNoStreamHandle;
        bool needsJava = false;
    };
    StreamState& state(platform::StdStream which) { return which == platform::StdStream::Output ? out_ : err_; }
    const StreamState& state(platform::StdStream which) const {
        return which == platform::StdStream::Output ? out_ : err_;
    }

    GrowArray<RedirectTarget*> targets_;  // in order of opening
    StreamState out_, err_;
};

// The process-wide redirector, built on first use.
StreamRedirector& streamRedirector();

// The main flow's calls, each with an expanded, non-empty value: standard
// error first, then standard output. A file target whose directory lies
// beside the executable is used only when the running user may trust that
// directory (`config` gives the executable's and the working directory).
void redirectStderr(const ByteString& value, const LaunchConfig& config);
void redirectStdout(const ByteString& value, const LaunchConfig& config);

// Called by the ready hook with the new virtual machine's environment.
void installJavaRedirect(JNIEnv_* env);

}  // namespace hux
