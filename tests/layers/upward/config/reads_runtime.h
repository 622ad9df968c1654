// A configuration header that reaches up into the runtime: the layer check
// must reject this tree.
#pragma once
#include "common/byte_string.h"
#include "runtime/jvm_host.h"
