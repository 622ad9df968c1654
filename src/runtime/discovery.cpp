#include "runtime/discovery.h"

namespace hux {

ByteString findRuntimeLibrary(const LaunchConfig& /*config*/) { return {}; }

}  // namespace hux
