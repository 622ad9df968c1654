// Runtime code that reaches into the services: the check must reject it.
#include "common/byte_string.h"
#include "jni/attach.h"
#include "services/tray.h"
