// A Java object stand-in for the tray natives' core: a handle field of a
// chosen kind and a count of the global references held to it.
#pragma once

#include "services/tray_core.h"

namespace hux::test {

class FakeTrayPeer : public TrayPeer {
public:
    explicit FakeTrayPeer(Field field = Field::Long) : field_(field) {}
    Field handleField() override { return field_; }
    int64_t readHandle() override { return field_ == Field::Int ? static_cast<int32_t>(h) : h; }
    void writeHandle(int64_t value) override {
        h = field_ == Field::Int ? static_cast<int32_t>(value) : value;
        ++writes;
    }
    void* newGlobalRef() override {
        ++liveRefs;
        return this;
    }
    void deleteGlobalRef(void* ref) override {
        if (ref == this)
            --liveRefs;
        else
            ++foreignDeletes;
    }

    int64_t h = 0;
    int writes = 0;
    int liveRefs = 0;
    int foreignDeletes = 0;

private:
    Field field_;
};

}  // namespace hux::test
