// Shared helpers of the runtime and argument tests: temporary directory trees,
// configurations from text, and environment variables restored after a test.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "support/text_checks.h"
#include "common/byte_string.h"
#include "config/launch_config.h"
#include "platform/environment.h"
#include "platform/process.h"

namespace hux::test {

// Registry writes and empty environment values, where the system has them
// (implemented per platform beside this header).
bool registryAvailable();
bool registrySetString(const char* keyPath, const char* valueName, const char* value);
void registryDeleteTree(const char* keyPath);
bool setEnvEmpty(const char* name);
// Whether a command target's text is a /bin/sh command line here (Linux).
bool commandsAreShellLines();
// The user's cache: the variable that names its base, and the ways another
// user could reach into it: write access for others (group write on Linux,
// an entry for Everyone on Windows) and a link in place of a file or
// directory (false where links cannot be made).
const char* cacheBaseVariable();
bool letOthersWrite(const std::string& path);
bool makeLink(const std::string& target, const std::string& link, bool directory);
// Sets the modification time of a file or directory to `age` before now (the
// C++ library cannot set a directory's time on Windows).
bool makeOlder(const std::string& path, std::chrono::hours age);

// A TempDir addressed by text paths with '/' separators.
class TempTree {
public:
    TempTree() : root_(dir_.path().generic_string()) {}
    // Root with a trailing '/'.
    std::string root() const { return root_ + "/"; }
    std::string path(const std::string& relative) const { return root() + relative; }
    // Creates a file; '\\' in `relative` separates directories here too.
    std::string file(const std::string& relative, const std::string& content = "x") const {
        const std::filesystem::path p(slashes(path(relative)));
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << content;
        return path(relative);
    }
    std::string dir(const std::string& relative) const {
        std::filesystem::create_directories(slashes(path(relative)));
        return path(relative);
    }

    static std::string slashes(std::string p) {
        for (char& c : p)
            if (c == '\\') c = '/';
        return p;
    }

private:
    TempDir dir_;
    std::string root_;
};

// A configuration made of the given text (lines separated by '\n').
inline std::unique_ptr<LaunchConfig> makeConfig(const std::string& lines, const std::string& exePath,
                                                const std::string& workDir) {
    auto config = std::make_unique<LaunchConfig>(false);
    std::string text = "\xEF\xBB\xBF";
    for (char c : lines) {
        if (c == '\n') {
            text += "\r\n";
        } else {
            text += c;
        }
    }
    config->appendSource(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    config->setExePathForTesting(ByteString(exePath.c_str()));
    config->setWorkDirForTesting(ByteString(workDir.c_str()));
    return config;
}

// Sets or removes environment variables for one test and restores them.
class EnvGuard {
public:
    ~EnvGuard() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->wasSet) {
                platform::putEnv((it->name + "=" + it->value).c_str()).ignore();
                if (it->value.empty()) setEnvEmpty(it->name.c_str());
            } else {
                platform::putEnv((it->name + "=").c_str()).ignore();
            }
        }
    }
    void set(const std::string& name, const std::string& value) {
        remember(name);
        platform::putEnv((name + "=" + value).c_str()).ignore();
    }
    void unset(const std::string& name) {
        remember(name);
        platform::putEnv((name + "=").c_str()).ignore();
    }
    bool setEmpty(const std::string& name) {
        remember(name);
        return setEnvEmpty(name.c_str());
    }

private:
    struct Saved {
        std::string name;
        bool wasSet;
        std::string value;
    };
    void remember(const std::string& name) {
        ByteString value;
        const bool wasSet = platform::getEnv(name.c_str(), value);
        saved_.push_back({name, wasSet, std::string(value.view())});
    }
    std::vector<Saved> saved_;
};

inline std::vector<std::string> toVector(const StringList& list) {
    std::vector<std::string> out;
    for (int32_t i = 0; i < list.count(); ++i) out.emplace_back(list.view(i));
    return out;
}

inline std::string bytesOf(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

}  // namespace hux::test
