// The table of configuration keys against the launcher's sources: the packer
// warns about every key the table lacks, so the launcher must read no key
// outside it, and must read every key in it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "config/config_keys.h"

namespace fs = std::filesystem;

namespace {

// The text of a launcher source with its line comments removed.
std::string codeOf(const fs::path& file) {
    std::ifstream in(file);
    std::ostringstream text;
    text << in.rdbuf();
    return std::regex_replace(text.str(), std::regex("//[^\n]*"), "");
}

}  // namespace

TEST(ConfigKeys, TheLauncherReadsThroughTheTableAndReadsAllOfIt) {
    static const char* const kIds[] = {
#define HUX_CONFIG_KEY(id, name, values, expansion, source) #id,
#include "config/config_keys.inc"
#undef HUX_CONFIG_KEY
    };
    // A lookup's first argument, up to the comma or the end of the statement.
    const std::regex lookup(R"(\b(?:firstValue|findValues|collectValues)\s*\(([^,;]*))");
    const std::regex literal(R"re("([^"\\]*)")re");
    const std::regex use(R"(\bConfigKey::(\w+))");
    std::set<std::string> used;
    int files = 0;
    for (const char* layer : {"config", "jni", "archive", "runtime", "services", "launcher"}) {
        for (const auto& entry : fs::recursive_directory_iterator(fs::path(HUX_SOURCE_DIR) / layer)) {
            const std::string ext = entry.path().extension().string();
            if (ext != ".cpp" && ext != ".h") continue;
            if (entry.path().filename() == "config_keys.h") continue;
            ++files;
            const std::string code = codeOf(entry.path());
            for (std::sregex_iterator m(code.begin(), code.end(), lookup), end; m != end; ++m) {
                const std::string argument = (*m)[1];
                for (std::sregex_iterator k(argument.begin(), argument.end(), literal); k != end; ++k) {
                    const std::string name = (*k)[1];
                    ADD_FAILURE() << entry.path().string() << " reads the key '" << name << "' by its written name"
                                  << (hux::findConfigKey(name) ? " (read it through ConfigKey)"
                                                               : ", which config_keys.inc lacks");
                }
            }
            for (std::sregex_iterator k(code.begin(), code.end(), use), end; k != end; ++k) used.insert((*k)[1]);
        }
    }
    EXPECT_GT(files, 50);
    for (const char* id : kIds)
        EXPECT_TRUE(used.count(id)) << "no launcher source reads ConfigKey::" << id << ", yet the packer accepts it";
}
