// Builds a LaunchConfig the way the launcher does, from a stand-in executable
// with an appended configuration block and an optional external file.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "config/launch_config.h"

namespace hux::test {

// Writes `dir`/tool.exe with `embedded` as its configuration block (and a
// minimal archive), plus `dir`/tool.exe.cfg holding `external` when that is not
// empty, and loads the configuration from them.
std::unique_ptr<LaunchConfig> loadPackedConfig(const std::filesystem::path& dir, const std::string& embedded,
                                               const std::string& external);

}  // namespace hux::test
