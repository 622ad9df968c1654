// The C runtime's streams of a process that started without standard handles.
#pragma once

#include <cstdio>

namespace hux::platform::win32 {

// Binds `stream` to descriptor `fd` once `fd` refers to a handle. The classic
// runtime leaves a stream that had no handle at start on descriptor -2 and
// cannot reopen it; its stream record names the descriptor. Earlier failed
// writes leave the error flag set, which is cleared.
inline void bindStreamToDescriptor(FILE* stream, int fd) {
#ifndef _UCRT
    if (_fileno(stream) < 0) stream->_file = fd;
#else
    (void)fd;
#endif
    std::clearerr(stream);
}

}  // namespace hux::platform::win32
