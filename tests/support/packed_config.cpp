#include "support/packed_config.h"

#include <fstream>

#include "common/payload_format.h"
#include "common/zip_format.h"
#include "common/utf.h"

namespace hux::test {

std::unique_ptr<LaunchConfig> loadPackedConfig(const std::filesystem::path& dir, const std::string& embedded,
                                               const std::string& external) {
    const std::filesystem::path exe = dir / "tool.exe";
    std::string block = "\xEF\xBB\xBF" + embedded + '\0';
    std::string bytes = "MZ stand-in image";
    bytes += block;
    uint8_t length[4];
    writeLe32(length, static_cast<uint32_t>(block.size()));
    bytes.append(reinterpret_cast<const char*>(length), 4);
    bytes.append(static_cast<size_t>(kReservedSize), '\0');
    std::string archive(static_cast<size_t>(zip::kEndRecordSize), '\0');  // an empty zip: the end record alone
    writeLe32(reinterpret_cast<uint8_t*>(&archive[0]), zip::kEndSignature);
    bytes += archive;
    std::ofstream(exe, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!external.empty()) {
        std::ofstream(dir / "tool.exe.cfg", std::ios::binary)
            .write(external.data(), static_cast<std::streamsize>(external.size()));
    }
    auto config = std::make_unique<LaunchConfig>(false);
    config->loadFrom(ByteString(exe.string()), static_cast<uint32_t>(archive.size()));
    return config;
}

}  // namespace hux::test
