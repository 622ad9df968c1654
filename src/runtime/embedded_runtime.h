// A runtime image carried in the executable's payload (the `r` source of the
// runtime search): unpacked once per user into
// <cache>/runtimes/<content hash>/, shared by every executable that carries
// the same image, and checked on every launch before it is used.
#pragma once

#include "common/byte_string.h"
#include "config/launch_config.h"

namespace hux {

// Whether the executable's payload carries a runtime image (its index entry).
// The first call reads the archive's directory; later calls remember it.
bool payloadCarriesRuntime(const LaunchConfig& config);

// The home directory of the embedded runtime, unpacked first when it is not
// there whole. Empty when the payload carries none (`failure` empty) or when
// it cannot be made ready (`failure` holds one line saying why).
//
// The unpacked copy lives in the user's private cache only (the directories
// are the user's own, writable by nobody else, never links). It is written
// under a temporary name and renamed into place whole, with a completion file
// written last; a copy whose completion file or file sizes do not match the
// index is moved aside and unpacked again. Publishing a new copy removes
// copies whose completion file has not been touched for 90 days.
ByteString embeddedRuntimeHome(const LaunchConfig& config, ByteString& failure);

//
// A launch that takes the copy holds a start marker beside it until
// embeddedRuntimeStartEnded(); a launch that ends otherwise before main
// leaves it behind, which costs the next launch that check. When a launch finds the marker of an earlier
// start whose process is gone (it died before main: a damaged library crashes
// the virtual machine with the same file sizes), it checks every file's
// contents against the CRC-32 the packer recorded in its archive entry, and
// unpacks the copy again when one differs.

// For a copy whose runtime library does not load: checks the copy's
// contents and unpacks it again when they differ from the archive's. The
// home when it was unpacked anew; empty when its contents were whole (the
// library is not this machine's to load) or when it cannot be made ready
// (`failure` holds one line saying why).
ByteString repairedRuntimeHome(const LaunchConfig& config, ByteString& failure);

// The start no longer depends on the copy (the application's main method is
// about to run, or the search passed the copy over): the start marker goes.
void embeddedRuntimeStartEnded();

// Forgets what was read from the payload, so that tests can read another.
void resetEmbeddedRuntimeForTesting();

}  // namespace hux
