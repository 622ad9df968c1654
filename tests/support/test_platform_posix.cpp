// Test helpers for systems without a registry.
#include <cstdlib>
#include <filesystem>

#include "support/test_support.h"

namespace hux::test {

bool registryAvailable() { return false; }
bool registrySetString(const char*, const char*, const char*) { return false; }
void registryDeleteTree(const char*) {}
bool setEnvEmpty(const char* name) { return setenv(name, "", 1) == 0; }

bool commandsAreShellLines() { return true; }

const char* cacheBaseVariable() { return "XDG_CACHE_HOME"; }

bool letOthersWrite(const std::string& path) {
    std::error_code ec;
    std::filesystem::permissions(path, std::filesystem::perms::group_write, std::filesystem::perm_options::add, ec);
    return !ec;
}

bool makeLink(const std::string& target, const std::string& link, bool directory) {
    std::error_code ec;
    if (directory)
        std::filesystem::create_directory_symlink(target, link, ec);
    else
        std::filesystem::create_symlink(target, link, ec);
    return !ec;
}

bool makeOlder(const std::string& path, std::chrono::hours age) {
    std::error_code ec;
    std::filesystem::last_write_time(path, std::filesystem::file_time_type::clock::now() - age, ec);
    return !ec;
}

}  // namespace hux::test
