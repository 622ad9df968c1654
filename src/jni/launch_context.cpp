#include "jni/launch_context.h"

namespace hux {

namespace {
std::atomic<const LaunchContext*> published{nullptr};
}  // namespace

const LaunchContext* launchContext() { return published.load(std::memory_order_acquire); }
void publishLaunchContext(const LaunchContext* context) { published.store(context, std::memory_order_release); }

}  // namespace hux
