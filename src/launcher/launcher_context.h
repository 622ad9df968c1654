// Process-wide pointers through which natives, hooks and handlers reach the
// launcher's objects. Set by the main flow before any other launcher thread
// starts.
#pragma once

namespace hux {

class LaunchConfig;
class JvmHost;
class InstanceChannel;

struct LauncherContext {
    LaunchConfig* config = nullptr;
    JvmHost* host = nullptr;
    InstanceChannel* channel = nullptr;
};

LauncherContext& launcherContext();

}  // namespace hux
