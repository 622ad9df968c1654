// The running launch as seen from threads the launcher does not call: the JNI
// entry points and the interrupt handler's thread. The launcher publishes one
// context before any such thread starts and withdraws it at teardown;
// everything else gets the configuration and the host as parameters.
#pragma once

#include <jni.h>

#include "jni/vm_slot.h"

namespace hux {

class LaunchConfig;
class InstanceChannel;  // services/instances.h

struct LaunchContext {
    const LaunchConfig* config = nullptr;
    const jni::VmSlot* vm = nullptr;  // the host's; never null in a published context
    InstanceChannel* channel = nullptr;

    JavaVM* runningVm() const { return vm ? vm->get() : nullptr; }
};

// The published context, or null outside a launch (and in tests that publish
// none). Read only at JNI entry points and on the interrupt handler's thread.
const LaunchContext* launchContext();
// Publishes `context` (null withdraws it); the object must outlive every
// thread that may still read it.
void publishLaunchContext(const LaunchContext* context);

}  // namespace hux
