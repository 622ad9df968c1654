// What a platform call that can fail gives back: success, or a failure with
// the system's error code (errno, GetLastError; 0 where the layer itself
// refused) and a text "what was tried: why", for example "cannot open
// '/x/y': Permission denied", that a caller puts into its own message.
#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace hux::platform {

class [[nodiscard]] Status {
public:
    // Success.
    Status() = default;
    // A failure with `message` (never empty) and the system's `code`.
    static Status failure(std::string message, int code = 0);

    bool ok() const { return !failed_; }
    explicit operator bool() const { return ok(); }
    // The system's error code; 0 on success or where no system call failed.
    int code() const { return code_; }
    // "what was tried: why"; empty on success.
    const std::string& message() const { return message_; }
    const char* text() const { return message_.c_str(); }
    // For a caller that has nothing to do about a failure (a clean-up).
    void ignore() const {}

private:
    bool failed_ = false;
    int code_ = 0;
    std::string message_;
};

// A value, or the failure that kept it from being had.
template <typename T>
class [[nodiscard]] Result {
public:
    Result(T value) : value_(std::move(value)) {}            // NOLINT(google-explicit-constructor)
    Result(Status failure) : status_(std::move(failure)) {}  // NOLINT(google-explicit-constructor)

    bool ok() const { return status_.ok(); }
    explicit operator bool() const { return ok(); }
    // The value; a default one after a failure.
    const T& value() const { return value_; }
    T& value() { return value_; }
    const Status& status() const { return status_; }

private:
    T value_{};
    Status status_;
};

// The system's own text for an error code (strerror, FormatMessageW) without
// a final full stop or line break; "error N" where the system has none.
std::string systemErrorText(int code);

// The failure of `what` (such as "cannot open '/x/y'") with `code` and the
// system's text for it.
Status errorStatus(std::string_view what, int code);

// The same for the system call that just failed: its code is read from errno
// or GetLastError before anything else runs.
Status lastErrorStatus(std::string_view what);

// "action 'path'", the usual start of a failure's text.
std::string describe(std::string_view action, std::string_view path);

}  // namespace hux::platform
