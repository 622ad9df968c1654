// The runtime that goes with the executable: an image given or linked, stored
// in the payload or staged as `jre` beside the output and put in place once
// the executable is.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "common/runtime_index.h"
#include "tool/runtime/runtime_image.h"
#include "tool/payload/zip_writer.h"

namespace hux::tool {

struct PackRequest;

class ShippedRuntime {
public:
    // The runtime `pack` asks for its target, for the executable at `out`.
    ShippedRuntime(const PackRequest& pack, const std::filesystem::path& out);
    ShippedRuntime(const ShippedRuntime&) = delete;
    ShippedRuntime& operator=(const ShippedRuntime&) = delete;
    // Removes what was staged and not put in place.
    ~ShippedRuntime();

    // Links, copies or indexes the image for the configuration `lines` and
    // the (archive name, path) `files`; false with one line in `error`.
    bool prepare(const std::vector<std::string>& lines, const std::vector<std::pair<std::string, std::string>>& files,
                 std::vector<std::string>& warnings, std::string& error);

    // Stores an embedded image's files in the archive.
    bool addTo(ZipWriter& zip, std::string& error);

    // Puts the staged folder in place of the output's `jre`.
    bool publish(std::string& error);

    // The image linked or given; empty when none ships.
    const std::string& image() const { return image_; }
    // The line naming the modules linked; empty when none were.
    const std::string& modulesLine() const { return modulesLine_; }

    // The line telling what was written, for an executable of
    // `executableBytes`.
    std::string summary(uint64_t executableBytes) const;

private:
    const PackRequest& pack_;  // for a training run, which runs the application as packed
    const RuntimeRequest& request_;
    const std::string target_;
    const std::filesystem::path out_;
    std::filesystem::path jre_, staging_;
    bool staged_ = false;
    std::string image_;
    RuntimeIndex index_;
    std::string modulesLine_;
};

}  // namespace hux::tool
