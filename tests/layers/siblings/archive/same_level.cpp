// The archive and the runtime share a level; only runtime and services are
// kept apart, so this include is accepted.
#include "archive/zip_reader.h"
#include "runtime/discovery.h"
