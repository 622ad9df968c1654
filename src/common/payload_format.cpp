#include "common/payload_format.h"

#include "common/zip_format.h"

namespace hux {

int64_t measureArchiveCommentLength(const uint8_t* tail, int64_t tailLength, int64_t size) {
    const int64_t tailStart = size - tailLength;
    const int64_t lowest = size - commentSearchReach(size) - zip::kEndRecordSize - tailStart;
    const int64_t at = zip::findEndRecord(tail, tailLength, lowest);
    return at < 0 ? 0 : tailLength - at - zip::kEndRecordSize;
}

}  // namespace hux
