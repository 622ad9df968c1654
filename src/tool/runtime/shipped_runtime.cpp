#include "tool/runtime/shipped_runtime.h"

#include <cctype>
#include <cstdio>
#include <system_error>

#include "tool/runtime/aot_training.h"
#include "tool/payload/file_names.h"
#include "tool/packer.h"
#include "tool/text_files.h"

namespace fs = std::filesystem;

namespace hux::tool {

namespace {

std::string megabytes(uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return text;
}

}  // namespace

ShippedRuntime::ShippedRuntime(const PackRequest& pack, const fs::path& out)
    : pack_(pack), request_(pack.runtime), target_(pack.target), out_(out) {
    const fs::path dir = out.parent_path();
    jre_ = dir / "jre";
    staging_ = dir / pathOf(textOf(out.filename()) + ".hux-jre-partial");
}

ShippedRuntime::~ShippedRuntime() {
    std::error_code ec;
    if (staged_) fs::remove_all(staging_, ec);
}

bool ShippedRuntime::prepare(const std::vector<std::string>& lines,
                             const std::vector<std::pair<std::string, std::string>>& files,
                             std::vector<std::string>& warnings, std::string& error) {
    if (!request_.wanted()) return true;
    std::string order;
    if (configValue(lines, "jre_order", order)) {
        const char letter = request_.embed ? 'r' : 'b';
        std::string lower = order;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (lower.find_first_of("cbrsie") != std::string::npos && lower.find(letter) == std::string::npos)
            warnings.push_back(std::string("jre_order '") + order + "' has no '" + letter + "': the launcher will " +
                               "not use the runtime packed with it (add the letter)");
    }
    std::error_code ec;
    if (!request_.jlink) {
        if (!checkRuntimeImage(request_.imageDir, target_, error)) return false;
        if (request_.train && !checkTrainingRuntime(request_.imageDir, error)) return false;
        if (!request_.embed && fs::exists(jre_, ec) && fs::equivalent(pathOf(request_.imageDir), jre_, ec)) {
            error = "the runtime image '" + request_.imageDir + "' is the jre folder the output's would replace";
            return false;
        }
    }
    fs::remove_all(staging_, ec);
    if (request_.jlink) {
        std::vector<std::string> jars;
        for (const auto& file : files)
            if (file.first.size() > 4 && file.first.compare(file.first.size() - 4, 4, ".jar") == 0)
                jars.push_back(file.second);
        std::string minjre;
        configValue(lines, "minjre", minjre);
        staged_ = true;
        if (!linkRuntime(request_, target_, jars, trimmed(minjre), textOf(staging_), error, &modulesLine_))
            return false;
        image_ = textOf(staging_);
        if (!checkRuntimeImage(image_, target_, error)) return false;
    } else if (!request_.embed || request_.train) {
        // A runtime trained at pack time gets files of its own: a copy.
        staged_ = true;
        if (!copyRuntimeImage(request_.imageDir, textOf(staging_), error)) return false;
        image_ = textOf(staging_);
    } else {
        image_ = request_.imageDir;
    }
    if (request_.train && !trainRuntime(pack_, lines, image_, warnings, error)) return false;
    if (request_.embed && !indexRuntimeImage(image_, index_, error, &warnings)) return false;
    return true;
}

bool ShippedRuntime::addTo(ZipWriter& zip, std::string& error) {
    return !request_.wanted() || !request_.embed || addRuntimeImage(zip, image_, index_, zstdForTarget(target_), error);
}

bool ShippedRuntime::publish(std::string& error) {
    if (!request_.wanted() || request_.embed) return true;
    std::error_code ec;
    const fs::path old = pathOf(textOf(jre_) + ".hux-old");
    fs::remove_all(old, ec);
    if (fs::exists(jre_, ec)) fs::rename(jre_, old, ec);
    if (!ec) fs::rename(staging_, jre_, ec);
    if (ec) {
        error = "cannot put the runtime in place at '" + textOf(jre_) + "': " + ec.message();
        return false;
    }
    staged_ = false;
    fs::remove_all(old, ec);
    return true;
}

std::string ShippedRuntime::summary(uint64_t executableBytes) const {
    const std::string exe = textOf(out_) + " (" + megabytes(executableBytes) + ")";
    if (request_.embed) return "wrote " + exe + " carrying its runtime (" + megabytes(index_.totalBytes) + " unpacked)";
    return "wrote " + exe + " and " + genericTextOf(jre_) + "/ (" + megabytes(treeBytes(textOf(jre_))) + ")";
}

}  // namespace hux::tool
