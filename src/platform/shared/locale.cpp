// The user's locale, set the same way on every platform.
#include <clocale>

#include "platform/text.h"

namespace hux::platform {

void setLocaleFromEnvironment() { std::setlocale(LC_ALL, ""); }

}  // namespace hux::platform
