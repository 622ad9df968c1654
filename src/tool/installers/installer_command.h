// `hux installer`: its options on the command line and its run.
#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <utility>
#include <vector>

#include "tool/installers/installer.h"
#include "tool/runtime/runtime_image.h"

namespace hux::tool {

class InstallerCommand {
public:
    explicit InstallerCommand(CLI::App& app);
    bool given() const { return static_cast<bool>(*command_); }
    // Writes the installer; the exit code (0, 1 when it failed, 2 for a
    // mistake on the command line), with one line on standard error.
    int run();

private:
    // Packs the jars into an executable in `folder`, as `hux pack` does with
    // the same options, for the installer's format; 0 or the exit code.
    int packFirst(const std::string& folder);

    CLI::App* command_;
    InstallerRequest request_;
    std::vector<std::string> inputs_;  // the packed executable, or what `hux pack` takes
    std::string configPath_;
    std::vector<std::string> lines_;
    RuntimeRequest runtime_;
    std::string runtimeDir_;
    bool flatten_ = false, gui_ = false;
    std::string versionInfoPath_;
    std::vector<std::pair<std::string, std::string>> versionFields_;
    std::vector<std::string> associations_;
};

}  // namespace hux::tool
