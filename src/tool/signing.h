// Authenticode signing of a packed Windows executable with an installed
// osslsigncode.
#pragma once

#include <string>

namespace hux::tool {

// Signs `path` in place with the PEM or DER private key `keyPath` and the
// certificate (chain) `certPath`; false with one line in `error`.
bool signExecutable(const std::string& path, const std::string& keyPath, const std::string& certPath,
                    std::string& error);

}  // namespace hux::tool
