// Java exceptions seen from native code, and the guard every exported native
// runs its body in: a C++ exception never unwinds into the virtual machine,
// it becomes a pending Java error instead.
#pragma once

#include <jni.h>

#include <type_traits>

namespace hux::jni {

// Prints a pending Java exception (with its stack trace) and clears it; true
// when there was one.
bool reportPendingException(JNIEnv* env);

// Clears a pending Java exception without printing it; true when there was one.
bool clearPendingException(JNIEnv* env);

// Called inside a catch block: makes the C++ exception in flight a pending
// Java one (java.lang.OutOfMemoryError for an allocation failure, else
// java.lang.Error with the exception's text). An exception already pending in
// the virtual machine is kept, since it is the earlier and truer cause.
void raiseCurrentException(JNIEnv* env) noexcept;

// Runs a native's body; if it throws, the exception becomes a Java one and the
// native returns a zero value (null, 0, false) of its type.
template <typename Body>
auto guardNative(JNIEnv* env, Body&& body) noexcept -> decltype(body()) {
    using Result = decltype(body());
    try {
        return body();
    } catch (...) {
        raiseCurrentException(env);
        if constexpr (!std::is_void_v<Result>) return Result{};
    }
}

}  // namespace hux::jni
