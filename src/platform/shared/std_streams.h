// The C runtime's side of the two standard streams, the same on every
// platform: descriptor 1 and stdout, descriptor 2 and stderr.
#pragma once

#include <cstdio>

#include "platform/redirect.h"

namespace hux::platform {

inline int streamDescriptor(StdStream which) { return which == StdStream::Output ? 1 : 2; }
inline FILE* runtimeStream(StdStream which) { return which == StdStream::Output ? stdout : stderr; }

}  // namespace hux::platform
