// What the packer learns from the files before it writes them: the library
// hints, the archives nested too large to read, the newest class file
// version, and where the main class is.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace hux::tool {

class Survey {
public:
    // Reads the (archive name, path) `files` for the class `mainClass`
    // (dotted; empty when none is named).
    Survey(const std::vector<std::pair<std::string, std::string>>& files, const std::string& mainClass);

    std::vector<std::string> hints;          // "'lib/x.jar': <what fails>", each library once
    std::vector<std::string> largeArchives;  // archives in jars that the launcher cannot inflate

    // The warning about class versions newer than `minjre` allows; empty
    // when there is none.
    std::string versionWarning(const std::vector<std::string>& lines) const;

    // The warning about the main class `mainClass`; empty when it is there
    // with its main method, or when it may come from elsewhere.
    std::string mainWarning(const std::string& mainClass, bool externalClassPath);

private:
    static std::string classEntryOf(const std::string& mainClass);
    void noteClass(int major, const std::string& entry, const std::string& jar);
    void surveyJar(const std::string& name, const std::string& path);
    // The class file `entry` from the first packed file that has it.
    bool findClass(const std::string& entry, std::vector<uint8_t>& out);

    const std::string mainEntry_;
    bool packsClasses_ = false;
    bool mainFound_ = false;
    std::string mainWhere_;
    std::vector<uint8_t> mainBytes_;
    int newestMajor_ = 0;
    std::string newestClass_, newestJar_;
    std::set<std::string> hinted_;
    std::map<std::string, std::string> looseClasses_;
    std::vector<std::pair<std::string, std::string>> jarPaths_;
};

}  // namespace hux::tool
