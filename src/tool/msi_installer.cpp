#include "tool/installer.h"

namespace hux::tool {

bool writeMsi(const InstallerRequest&, std::string& error) {
    error = "Windows installers are not written yet";
    return false;
}

}  // namespace hux::tool
