#include "platform/vm_support.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>

#include "platform/win32/windows_support.h"

namespace hux::platform {

void addLibraryErrorMode() {
    const UINT mode = SetErrorMode(0);
    SetErrorMode(mode | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

// The runtime loads a library through the classic Windows calls, which take
// no path of MAX_PATH characters or more: an executable that deep binds
// through RegisterNatives instead, as on Linux. NativeLink.java draws the
// same line on the length of "hux.app.path".
bool bindsNativesItself() {
    static const bool tooDeep = win32::moduleFileNameWide(nullptr).size() >= MAX_PATH;
    return tooDeep;
}

namespace {
using CrtHandler = void (*)(int);
CrtHandler previousInt = nullptr;
CrtHandler previousTerm = nullptr;

bool isRealHandler(CrtHandler h) {
    // SIG_DFL (0), SIG_IGN (1), SIG_GET (2), SIG_SGE (3), SIG_ACK (4), SIG_ERR (-1).
    const auto v = reinterpret_cast<intptr_t>(h);
    return !(v >= 0 && v <= 4) && v != -1;
}
}  // namespace

Status installInterruptHandler(SignalHandler handler) {
    previousInt = std::signal(SIGINT, handler);
    previousTerm = std::signal(SIGTERM, handler);
    if (previousInt != SIG_ERR && previousTerm != SIG_ERR) return {};
    // The runtime library's errno, with its own words for it.
    const int code = errno;
    return Status::failure(std::string("cannot install the interrupt handler: ") + std::strerror(code), code);
}

void chainInterruptHandler(int signal) {
    CrtHandler previous = signal == SIGINT ? previousInt : signal == SIGTERM ? previousTerm : nullptr;
    if (previous && isRealHandler(previous)) previous(signal);
}

}  // namespace hux::platform
