// A service header that reaches into the runtime: the check must reject it.
#pragma once

#include "config/launch_config.h"
#include "runtime/jvm_host.h"
