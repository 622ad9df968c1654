// Executables carry no resources here: the message texts are compiled into
// the launcher, and a splash image comes from a file only.
#include "platform/resources.h"

namespace hux::platform {

bool stringResource(int, std::u16string&) { return false; }

bool rawDataResource(int, const void*&, uint32_t&) { return false; }

}  // namespace hux::platform
