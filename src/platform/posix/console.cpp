#include "platform/console.h"

#include <unistd.h>

#include <cstdio>

namespace hux::platform {

// A Linux process always has standard streams of its own; there is no
// console to attach to and no message box to show.
bool guiSubsystem() { return false; }
void attachParentConsole() {}
bool standardErrorAvailable() { return true; }
bool standardErrorIsTerminal() { return isatty(STDERR_FILENO) == 1; }
void writeErrorLine(const ByteString& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
}
void showErrorBox(const ByteString&, const ByteString&) {}
bool interactiveDesktop() { return false; }
ByteString ownProductName() { return ByteString(); }

}  // namespace hux::platform
