// `hux pack`: its options on the command line and its run.
#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <utility>
#include <vector>

#include "tool/packer.h"

namespace hux::tool {

class PackCommand {
public:
    explicit PackCommand(CLI::App& app);
    bool given() const { return static_cast<bool>(*command_); }
    // Writes the executable; the exit code (0, 1 when it failed, 2 for a
    // mistake on the command line), with one line on standard error and a
    // line per warning.
    int run();

private:
    void addFileOptions();
    void addWindowsOptions();
    void addRuntimeOptions();
    // The request's parts the options give less directly; an exit code
    // when they are wrong, else 0.
    int takeRuntime();
    int takeVersionInformation();
    void takeInputs();
    int takeOutputAndData();

    CLI::App* command_;
    PackRequest request_;
    std::vector<std::string> inputs_;
    std::string dataDir_;
    bool noMain_ = false, noCompatible_ = false, keepSharingNote_ = false, noClassPathJars_ = false;
    std::string versionInfoPath_;
    std::vector<std::pair<std::string, std::string>> versionFields_;
    std::string runtimeDir_, embedRuntimeDir_;
    bool embed_ = false;
    std::string trainText_;
    CLI::Option* train_ = nullptr;
};

}  // namespace hux::tool
