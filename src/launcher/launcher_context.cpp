#include "launcher/launcher_context.h"

namespace hux {

LauncherContext& launcherContext() {
    static LauncherContext context;
    return context;
}

}  // namespace hux
