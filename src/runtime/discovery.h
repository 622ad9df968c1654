// Finding the Java runtime's virtual-machine library.
#pragma once

#include <cstdint>

#include "common/byte_string.h"
#include "config/launch_config.h"
#include "platform/libraries.h"
#include "platform/registry.h"
#include "runtime/jvm_host.h"

namespace hux {

// Outcome of the runtime search. The sources of the search order yield
// candidate libraries one after the other; a candidate is passed over when
// its release file puts it outside `minjre`/`maxjre`, or when its library does
// not load or exports no creation entry. The first candidate left is chosen.
struct RuntimeChoice {
    ByteString library;  // the chosen library; empty when no candidate fits
    ByteString version;  // its version from its release file; empty when unknown
    // Why nothing was chosen: kRuntimeNotFound (no candidate at all),
    // kRuntimeNotValid (no candidate loads), kVersionTooLow or
    // kVersionTooHigh (every candidate that is there lies outside the limits).
    int32_t failure = kRuntimeNotFound;
    ByteString closestVersion;  // the candidate nearest the limits, for messages 6 and 12
    ByteString loadError;       // system's text of the last load failure, the path in place of "%1"
    ByteString unpackFailure;   // why the embedded runtime could not be made ready, when it could not
    // When nothing was chosen and JAVA_HOME (or JRE_HOME) is set: why the
    // runtime it names was passed over ("JAVA_HOME names no usable runtime
    // ('/opt/jdk' does not exist)"); empty otherwise.
    ByteString homeProblem;
    ByteString embeddedUnused;  // why the embedded runtime was passed over, when it was
};

// The search outcome. The first call searches; every later call returns the
// remembered outcome (and the chosen library stays loaded for the process).
// When the executable carries a runtime that could not be unpacked or used
// and another runtime is chosen, the first call writes one warning line to
// standard error saying why, so that a publisher sees what a machine without
// that other runtime would not start with.
const RuntimeChoice& chooseRuntime(const LaunchConfig& config);

// Full path of the chosen runtime library, or empty.
ByteString findRuntimeLibrary(const LaunchConfig& config);

// The launch result for a search that chose nothing, with the texts messages
// 6 and 12 need; writes the system's text of the last load failure to
// standard error first when the result is kRuntimeNotValid.
int32_t unusableRuntimeResult(const LaunchConfig& config, const RuntimeChoice& choice, ByteString& version,
                              ByteString& min, ByteString& max);

// The search order: the first `jre_order` value in lower case, or, when it
// holds none of the letters c, b, r, s, i, e, "cbrsie" for an executable that
// carries its runtime and "cbsie" for one that does not.
ByteString runtimeSearchOrder(const LaunchConfig& config);

// Path of an accepted library below one runtime directory, or empty.
// `source` names where the directory came from in the debug lines (by default
// the directory itself).
// A candidate beside the executable (below its directory, or below a
// directory configured relative to it when `relativeToExecutable`) is taken
// only when the running user may trust it.
ByteString probeRuntimeDirectory(const LaunchConfig& config, const ByteString& directory, const char* source = nullptr,
                                 bool relativeToExecutable = false);

// Library found through one runtime registration key under the local machine
// root (its CurrentVersion), or empty.
ByteString readRegistryRuntime(const LaunchConfig& config, const char* keyPath);

// The version a runtime's `release` file gives (JAVA_VERSION), found in the
// runtime's home above the library (lib/server, bin/server, jre/lib/amd64/server
// and the like); empty when there is no such file or it names no version.
ByteString runtimeReleaseVersion(const ByteString& library);

// Forgets the remembered search outcome, so that tests can search again.
void resetRuntimeSearchForTesting();

// How a candidate library fared when loaded.
enum class LoadOutcome { Loaded, NotLoadable, NoCreationEntry };
// Tries a candidate library; the real one loads it (and keeps it loaded when
// it is chosen), a test's may decide by path. `error` gets the system's text.
using RuntimeLoadProbe = LoadOutcome (*)(const ByteString& library, ByteString& error);
// Replaces the load step of the search (nullptr restores the real one).
void setRuntimeLoadProbeForTesting(RuntimeLoadProbe probe);

}  // namespace hux
