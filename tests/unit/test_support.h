// Helpers shared by the unit tests: temporary directories and files.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace hux::test {

// A fresh directory under the system's temporary directory, removed again.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& relative) const { return (path_ / relative).string(); }
    // Writes `bytes` to `relative`, creating parent directories.
    std::string write(const std::string& relative, const std::string& bytes) const;

private:
    std::filesystem::path path_;
};

inline std::string bytesOf(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

}  // namespace hux::test
