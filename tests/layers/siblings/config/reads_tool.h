// Launcher code that reaches into the packing tool: the check must reject it.
#pragma once

#include "tool/packer.h"
