// The parts of a failure's text that do not depend on the system.
#include "platform/status.h"

namespace hux::platform {

Status Status::failure(std::string message, int code) {
    Status status;
    status.failed_ = true;
    status.code_ = code;
    status.message_ = message.empty() ? std::string("failed") : std::move(message);
    return status;
}

Status errorStatus(std::string_view what, int code) {
    std::string message(what);
    message += ": ";
    message += systemErrorText(code);
    return Status::failure(std::move(message), code);
}

std::string describe(std::string_view action, std::string_view path) {
    std::string text(action);
    text += " '";
    text += path;
    text += '\'';
    return text;
}

}  // namespace hux::platform
