// A JNI-layer header that only includes lower layers.
#pragma once
#include "config/launch_config.h"
#include "platform/files.h"
