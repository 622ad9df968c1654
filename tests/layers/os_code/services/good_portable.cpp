// Portable code with standard headers only: accepted.
#include <csignal>
#include <cstdio>
#include <signal.h>
#include "platform/files.h"
