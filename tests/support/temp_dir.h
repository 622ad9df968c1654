// A fresh folder for one test, removed with everything in it when the object
// goes (kept when HUX_TEST_KEEP is 1). It is made under HUX_TEST_TMP when that
// is set, else under the system's temporary folder.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace hux::test {

class TempDir {
public:
    TempDir() {
        static std::atomic<int> counter{0};
        std::random_device rd;
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        const char* base = std::getenv("HUX_TEST_TMP");
        path_ = (base && *base ? std::filesystem::path(base) : std::filesystem::temp_directory_path()) /
                ("hux-test-" + std::to_string(rd()) + "-" + std::to_string(stamp % 1000000) + "-" +
                 std::to_string(counter++));
        std::filesystem::create_directories(path_);
    }
    ~TempDir() {
        const char* keep = std::getenv("HUX_TEST_KEEP");
        if (keep && std::string(keep) == "1") return;
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // The folder, or a path inside it, as text.
    std::string text() const { return path_.string(); }
    std::string file(const std::string& relative) const { return (path_ / relative).string(); }
    // Writes `bytes` to `relative`, creating parent folders.
    std::string write(const std::string& relative, const std::string& bytes) const {
        const auto p = path_ / relative;
        std::filesystem::create_directories(p.parent_path());
        std::ofstream out(p, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return p.string();
    }

private:
    std::filesystem::path path_;
};

}  // namespace hux::test
