// The system's text for errno values.
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/status.h"

namespace hux::platform {

namespace {

// strerror_r comes in two forms: the GNU one gives the text, the XSI one
// fills the buffer and gives 0.
[[maybe_unused]] const char* chosenText(const char* text, const char*) { return text; }
[[maybe_unused]] const char* chosenText(int result, const char* buffer) { return result == 0 ? buffer : nullptr; }

}  // namespace

std::string systemErrorText(int code) {
    char buffer[256] = {};
    const char* text = chosenText(strerror_r(code, buffer, sizeof buffer), buffer);
    if (!text || !text[0]) return "error " + std::to_string(code);
    return text;
}

Status lastErrorStatus(std::string_view what) {
    const int code = errno;
    return errorStatus(what, code);
}

}  // namespace hux::platform
