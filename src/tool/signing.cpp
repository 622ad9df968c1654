#include "tool/signing.h"

#include <filesystem>

#include "platform/run_program.h"
#include "tool/file_names.h"

namespace fs = std::filesystem;

namespace hux::tool {

bool signExecutable(const std::string& path, const std::string& keyPath, const std::string& certPath,
                    std::string& error) {
    std::error_code ec;
    for (const std::string& input : {keyPath, certPath})
        if (!fs::is_regular_file(pathOf(input), ec)) {
            error = "cannot read '" + input + "' for signing";
            return false;
        }
    const std::string signedPath = path + ".signed";
    const int rc = platform::runProgram(
        {"osslsigncode", "sign", "-certs", certPath, "-key", keyPath, "-h", "sha256", "-in", path, "-out", signedPath},
        error);
    if (rc != 0) {
        fs::remove(pathOf(signedPath), ec);
        if (rc > 0) error = "osslsigncode could not sign the executable (exit " + std::to_string(rc) + ")";
        if (rc == 127 || error.find("No such file") != std::string::npos)
            error = "signing needs osslsigncode (apt install osslsigncode)";
        return false;
    }
    fs::rename(pathOf(signedPath), pathOf(path), ec);
    if (ec) {
        fs::remove(pathOf(signedPath), ec);
        error = "cannot replace '" + path + "' by its signed copy";
        return false;
    }
    return true;
}

}  // namespace hux::tool
