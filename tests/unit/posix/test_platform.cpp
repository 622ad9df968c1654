// Test helpers for systems without a registry.
#include <cstdlib>

#include "test_support.h"

namespace hux::test {

bool registryAvailable() { return false; }
bool registrySetString(const char*, const char*, const char*) { return false; }
void registryDeleteTree(const char*) {}
bool setEnvEmpty(const char* name) { return setenv(name, "", 1) == 0; }

bool commandsAreShellLines() { return true; }

}  // namespace hux::test
