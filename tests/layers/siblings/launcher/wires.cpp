// The launcher wires the runtime and the services together: accepted.
#include "runtime/java_start.h"
#include "services/tray.h"
