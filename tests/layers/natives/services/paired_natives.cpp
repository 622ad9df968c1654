// The definitions beside paired_natives.h: accepted.
#include "services/paired_natives.h"
