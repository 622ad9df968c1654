#include "services/instances.h"

namespace hux {

InstanceChannel::InstanceChannel(void* area) : area_(area) {}
InstanceChannel::~InstanceChannel() = default;
void InstanceChannel::startMessaging() {}
void InstanceChannel::stop() {}

}  // namespace hux
