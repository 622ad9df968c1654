#include "tool/runtime_image.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "platform/files.h"
#include "platform/run_program.h"
#include "tool/file_names.h"

namespace fs = std::filesystem;

namespace hux::tool {

namespace {

constexpr uint64_t kPrimeA = 0x9E3779B185EBCA87ULL;
constexpr uint64_t kPrimeB = 0xC2B2AE3D27D4EB4FULL;

uint64_t rotate(uint64_t v, int bits) { return (v << bits) | (v >> (64 - bits)); }

bool isExecutable(const fs::path& path) {
    std::error_code ec;
    const fs::perms perms = fs::status(path, ec).permissions();
    return !ec && (perms & fs::perms::owner_exec) != fs::perms::none;
}

// Regular files below `dir` (links followed), as sorted '/'-separated names.
bool listImage(const std::string& dir, std::vector<std::string>& names, std::string& error) {
    std::error_code ec;
    const auto options = fs::directory_options::follow_directory_symlink;
    for (auto it = fs::recursive_directory_iterator(pathOf(dir), options, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (it->is_directory(ec)) continue;
        if (!it->is_regular_file(ec)) {
            error = "the runtime image holds '" + textOf(it->path()) + "', which is not a file (a broken link?)";
            return false;
        }
        names.push_back(genericTextOf(fs::relative(it->path(), pathOf(dir), ec)));
    }
    if (ec) {
        error = "cannot read the runtime image '" + dir + "': " + ec.message();
        return false;
    }
    std::sort(names.begin(), names.end());
    return true;
}

}  // namespace

fs::path findOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    if (!path) return {};
    std::stringstream dirs(path);
    std::string dir;
    std::error_code ec;
    while (std::getline(dirs, dir, platform::pathListSeparator())) {
        if (dir.empty()) continue;
        for (const char* suffix : {"", ".exe"}) {
            const fs::path candidate = pathOf(dir) / pathOf(name + suffix);
            if (fs::is_regular_file(candidate, ec)) return candidate;
        }
    }
    return {};
}

// The JDK this machine runs: JAVA_HOME, else the home of the javac (then the
// java) on PATH, links resolved.
std::string hostJdk() {
    const char* home = std::getenv("JAVA_HOME");
    if (home && *home) return home;
    std::error_code ec;
    for (const char* tool : {"javac", "java"}) {
        const fs::path found = findOnPath(tool);
        if (found.empty()) continue;
        const fs::path real = fs::canonical(found, ec);
        if (!ec) return textOf(real.parent_path().parent_path());
    }
    return {};
}

namespace {

std::string toolPath(const std::string& jdk, const char* tool, const std::string& hostTarget) {
    return textOf(pathOf(jdk) / "bin" / (std::string(tool) + (hostTarget == "windows-x64" ? ".exe" : "")));
}

std::string trimmedText(const std::string& text) {
    const size_t start = text.find_first_not_of(" \t\r\n");
    if (start == std::string::npos) return {};
    return text.substr(start, text.find_last_not_of(" \t\r\n") - start + 1);
}

}  // namespace

void ContentHash::update(const uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        a_ = rotate((a_ ^ data[i]) * kPrimeA, 29);
        b_ = (b_ ^ data[i]) * 0x100000001b3ULL;
    }
}

std::string ContentHash::hex() const {
    // Final mixing, so that every input bit reaches every output digit.
    uint64_t a = a_ ^ rotate(b_, 31), b = b_ ^ rotate(a_, 17);
    for (uint64_t* v : {&a, &b}) {
        *v ^= *v >> 33;
        *v *= kPrimeB;
        *v ^= *v >> 29;
    }
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint64_t v : {a, b})
        for (int shift = 60; shift >= 0; shift -= 4) out.push_back(digits[(v >> shift) & 15]);
    return out;
}

const char* runtimeLibraryIn(const std::string& target) {
    return target == "windows-x64" ? "bin/server/jvm.dll" : "lib/server/libjvm.so";
}

bool checkRuntimeImage(const std::string& dir, const std::string& target, std::string& error) {
    std::error_code ec;
    if (!fs::is_directory(pathOf(dir), ec)) {
        error = "the runtime image '" + dir + "' is not a folder";
        return false;
    }
    if (!fs::is_regular_file(pathOf(dir) / runtimeLibraryIn(target), ec)) {
        error = "'" + dir + "' is not a runtime image for " + target + " (it has no " + runtimeLibraryIn(target) + ")";
        return false;
    }
    return true;
}

bool indexRuntimeImage(const std::string& dir, RuntimeIndex& index, std::string& error) {
    std::vector<std::string> names;
    if (!listImage(dir, names, error)) return false;
    index = RuntimeIndex{};
    ContentHash hash;
    std::vector<char> buffer(1 << 20);
    for (const std::string& name : names) {
        if (!isPlainRelativePath(name)) {
            error = "the runtime image holds a file whose name cannot be unpacked everywhere: '" + name + "'";
            return false;
        }
        const fs::path path = pathOf(dir) / pathOf(name);
        RuntimeIndex::File file;
        file.path = name;
        file.executable = isExecutable(path);
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            error = "cannot read '" + textOf(path) + "'";
            return false;
        }
        hash.update(reinterpret_cast<const uint8_t*>(name.c_str()), name.size() + 1);
        hash.update(reinterpret_cast<const uint8_t*>(file.executable ? "x" : "-"), 1);
        while (in) {
            in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
            const auto n = static_cast<size_t>(in.gcount());
            hash.update(reinterpret_cast<const uint8_t*>(buffer.data()), n);
            file.size += n;
        }
        const std::string size = std::to_string(file.size);
        hash.update(reinterpret_cast<const uint8_t*>(size.c_str()), size.size() + 1);
        index.totalBytes += file.size;
        index.files.push_back(std::move(file));
    }
    index.hash = hash.hex();
    return true;
}

bool addRuntimeImage(ZipWriter& zip, const std::string& dir, const RuntimeIndex& index, std::string& error) {
    for (const RuntimeIndex::File& file : index.files)
        if (!zip.addFile(std::string(kRuntimeEntryPrefix) + file.path, textOf(pathOf(dir) / pathOf(file.path)),
                         ZipWriter::Method::Deflated, error))
            return false;
    const std::string text = formatRuntimeIndex(index);
    return zip.add(std::string(kRuntimeIndexName), reinterpret_cast<const uint8_t*>(text.data()), text.size(),
                   ZipWriter::Method::Deflated, error);
}

bool copyRuntimeImage(const std::string& from, const std::string& to, std::string& error) {
    std::vector<std::string> names;
    if (!listImage(from, names, error)) return false;
    std::error_code ec;
    if (!fs::create_directory(pathOf(to), ec)) {
        error = "cannot create '" + to + "'";
        return false;
    }
    for (const std::string& name : names) {
        const fs::path target = pathOf(to) / pathOf(name);
        // Links in the image (jlink's legal notices) are copied as the files they name.
        fs::create_directories(target.parent_path(), ec);
        std::ifstream in(pathOf(from) / pathOf(name), std::ios::binary);
        std::ofstream out(target, std::ios::binary | std::ios::trunc);
        char buffer[1 << 16];
        while (in && out) {
            in.read(buffer, sizeof buffer);
            out.write(buffer, in.gcount());
        }
        if (ec || !in.eof() || !out.flush()) {
            error = "cannot copy the runtime image to '" + to + "' (is the disk full?)";
            return false;
        }
        fs::permissions(target, isExecutable(pathOf(from) / pathOf(name)) ? fs::perms(0755) : fs::perms(0644), ec);
    }
    return true;
}

uint64_t treeBytes(const std::string& dir) {
    uint64_t total = 0;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(pathOf(dir), ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        if (it->is_regular_file(ec)) total += it->file_size(ec);
    return total;
}

int multiReleaseVersion(const std::string& minjre, const std::string& jdkHome) {
    std::string version = minjre;
    if (version.empty()) {
        std::ifstream in(pathOf(jdkHome) / "release");
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("JAVA_VERSION=", 0) != 0) continue;
            version = line.substr(13);
            version.erase(std::remove(version.begin(), version.end(), '"'), version.end());
            break;
        }
    }
    if (version.rfind("1.", 0) == 0) version = version.substr(2);
    return std::atoi(version.c_str());
}

bool linkRuntime(const RuntimeRequest& request, const std::string& target, const std::vector<std::string>& jars,
                 const std::string& minjre, const std::string& outputDir, std::string& error) {
    const bool cross = target != request.hostTarget;
    std::string tools = cross ? hostJdk() : (request.jdk.empty() ? hostJdk() : request.jdk);
    if (cross && request.jdk.empty()) {
        error = "--jlink for " + target + " needs that system's JDK for its modules: pass --jdk DIR (a " + target +
                " JDK's folder; this machine's jlink links its jmods)";
        return false;
    }
    const std::string modules = cross ? request.jdk : tools;
    std::error_code ec;
    if (tools.empty()) {
        error = "--jlink needs a JDK: pass --jdk DIR, set JAVA_HOME, or put javac on PATH";
        return false;
    }
    const std::string jlink = toolPath(tools, "jlink", request.hostTarget);
    if (!fs::is_regular_file(pathOf(jlink), ec)) {
        error = "the JDK at '" + tools + "' has no jlink (" + jlink + "): --jlink needs a JDK 9 or later, not a runtime";
        return false;
    }
    const fs::path jmods = pathOf(modules) / "jmods";
    if (!fs::is_directory(jmods, ec)) {
        error = "the JDK at '" + modules + "' has no jmods folder, which jlink links from (Debian and Ubuntu ship it "
                "as openjdk-<version>-jmods)";
        return false;
    }
    std::set<std::string> wanted;
    std::vector<std::string> ordered;
    auto want = [&](const std::string& list) {
        std::stringstream items(list);
        std::string item;
        while (std::getline(items, item, ',')) {
            item = trimmedText(item);
            if (!item.empty() && wanted.insert(item).second) ordered.push_back(item);
        }
    };
    if (!jars.empty()) {
        const int release = multiReleaseVersion(minjre, modules);
        std::vector<std::string> argv = {toolPath(tools, "jdeps", request.hostTarget), "--multi-release",
                                         release >= 9 ? std::to_string(release) : "base", "--print-module-deps",
                                         "--ignore-missing-deps"};
        argv.insert(argv.end(), jars.begin(), jars.end());
        const std::string listing = outputDir + ".jdeps";
        std::string runError;
        const int rc = platform::runProgramToFile(argv, listing, runError);
        std::ifstream in(pathOf(listing));
        std::stringstream text;
        text << in.rdbuf();
        in.close();
        fs::remove(pathOf(listing), ec);
        if (rc != 0) {
            error = rc < 0 ? runError
                           : "jdeps could not tell which modules the jars need (exit " + std::to_string(rc) +
                                 "); name them with --add-modules";
            return false;
        }
        std::string last;
        std::string line;
        while (std::getline(text, line))
            if (!trimmedText(line).empty()) last = trimmedText(line);
        want(last);
    }
    for (const std::string& list : request.addModules) want(list);
    if (ordered.empty()) want("java.base");
    std::string moduleList;
    for (const std::string& m : ordered) moduleList += (moduleList.empty() ? "" : ",") + m;
    std::string runError;
    const int rc = platform::runProgram({jlink, "--module-path", textOf(jmods), "--add-modules", moduleList,
                                         "--strip-debug", "--no-man-pages", "--no-header-files", "--output",
                                         outputDir},
                                        runError);
    if (rc != 0) {
        fs::remove_all(pathOf(outputDir), ec);
        error = rc < 0 ? runError : "jlink could not link " + moduleList + " (exit " + std::to_string(rc) + ")";
        return false;
    }
    return true;
}

}  // namespace hux::tool
