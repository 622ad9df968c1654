#include "platform/private_tree.h"

namespace hux::platform {

Status writeNewFile(const char* path, const void* bytes, size_t count, bool executable) {
    NewFile file;
    Status status = file.create(path, executable);
    if (status) status = file.append(bytes, count);
    if (status) status = file.finish();
    return status;
}

}  // namespace hux::platform
