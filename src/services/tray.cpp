#include "services/tray.h"

namespace hux {

void startTrayWindow() {}
void removeAllTrayIcons() {}

}  // namespace hux
