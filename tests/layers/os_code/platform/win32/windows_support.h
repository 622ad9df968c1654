// The one place that includes the system header: accepted.
#pragma once
#include <windows.h>
