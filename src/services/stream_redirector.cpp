#include "services/stream_redirector.h"

namespace hux {

void redirectStderr(const ByteString&) {}
void redirectStdout(const ByteString&) {}

}  // namespace hux

namespace hux {
void installJavaRedirect(JNIEnv_*) {}
}  // namespace hux
