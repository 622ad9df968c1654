// Redirection of standard output and standard error to files or commands.
#pragma once

#include "common/byte_string.h"

namespace hux {

void redirectStderr(const ByteString& value);
void redirectStdout(const ByteString& value);

}  // namespace hux

struct JNIEnv_;
namespace hux {
// Wires System.out / System.err through the launcher when the standard handles
// do not read back as the redirection targets.
void installJavaRedirect(JNIEnv_* env);
}  // namespace hux
