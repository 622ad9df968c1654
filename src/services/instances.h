// This process's registration in the area shared by all running instances of
// one application, and messaging between them.
#pragma once

#include <cstdint>

namespace hux {

class InstanceChannel {
public:
    explicit InstanceChannel(void* area);
    InstanceChannel(const InstanceChannel&) = delete;
    InstanceChannel& operator=(const InstanceChannel&) = delete;
    ~InstanceChannel();

    // Starts the receiving side with the default receiver (custom mode); at most once.
    void startMessaging();
    // Stops the receiving side and waits for it, so that nothing touches the
    // shared area once the main flow releases it.
    void stop();
    void* area() const { return area_; }

private:
    void* area_;
};

}  // namespace hux
