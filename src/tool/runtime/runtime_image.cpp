#include "tool/runtime/runtime_image.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include <zlib.h>

#include "common/zip_format.h"
#include "platform/files.h"
#include "platform/run_program.h"
#include "tool/payload/file_names.h"
#include "tool/jars/jar_facts.h"

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

// One file of a runtime image as the packer stores it.
struct ImageFile {
    std::string name;     // relative, '/'-separated, the link's own name for a link
    std::string linkTo;   // a link to a file of the image: that file's name
    std::string outside;  // a link leaving the image: the file it leads to
};

// `path` relative to `root` when it lies below it, else empty.
std::string nameBelow(const fs::path& path, const fs::path& root) {
    const fs::path relative = path.lexically_relative(root);
    if (relative.empty() || *relative.begin() == "..") return {};
    return genericTextOf(relative);
}

// Sorts out one symbolic link of the image: a link to one of its files, a
// link leaving it (stored as the file it leads to) or one that cannot be
// stored (false, with the file and why).
bool classifyLink(const fs::path& path, const fs::path& realRoot, ImageFile& file, std::string& error) {
    std::error_code ec;
    const fs::path target = fs::read_symlink(path, ec);
    const fs::path real = fs::canonical(path, ec);
    if (ec) {
        error =
            "the runtime image holds '" + textOf(path) + "', a link to '" + textOf(target) + "', which does not exist";
        return false;
    }
    if (!fs::is_regular_file(real, ec)) {
        error = "the runtime image holds '" + textOf(path) + "', a link to '" + textOf(real) + "', which is not a file";
        return false;
    }
    file.linkTo = nameBelow(real, realRoot);
    if (file.linkTo.empty()) file.outside = textOf(real);
    return true;
}

// The files below `dir`, sorted by name. Links to files of the image are
// kept as links (when what they lead to is stored itself), links leaving it
// lead to the files stored in their place; directories linked are walked.
bool listImage(const std::string& dir, std::vector<ImageFile>& files, std::string& error) {
    std::error_code ec;
    fs::path root = pathOf(dir).lexically_normal();
    if (!root.has_filename()) root = root.parent_path();
    const fs::path realRoot = fs::canonical(root, ec);
    if (ec) {
        error = "cannot read the runtime image '" + dir + "': " + ec.message();
        return false;
    }
    const auto options = fs::directory_options::follow_directory_symlink;
    for (auto it = fs::recursive_directory_iterator(root, options, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (it->is_directory(ec)) continue;
        ImageFile file;
        file.name = nameBelow(it->path(), root);
        if (!isPlainRelativePath(file.name)) {
            error = "the runtime image holds a file whose name cannot be unpacked everywhere: '" + file.name + "'";
            return false;
        }
        if (it->is_symlink(ec)) {
            if (!classifyLink(it->path(), realRoot, file, error)) return false;
        } else if (!it->is_regular_file(ec)) {
            error = "the runtime image holds '" + textOf(it->path()) +
                    "', which is neither a file nor a link (a device or a pipe cannot be carried)";
            return false;
        }
        files.push_back(std::move(file));
    }
    if (ec) {
        error = "cannot read the runtime image '" + dir + "': " + ec.message();
        return false;
    }
    std::sort(files.begin(), files.end(), [](const ImageFile& a, const ImageFile& b) { return a.name < b.name; });
    // A link leads to a stored file or is stored as a copy of what it leads
    // to (through a linked directory, or to another link).
    std::set<std::string> stored;
    for (const ImageFile& f : files)
        if (f.linkTo.empty()) stored.insert(f.name);
    for (ImageFile& f : files)
        if (!f.linkTo.empty() && !stored.count(f.linkTo)) f.linkTo.clear();
    return true;
}

// The one warning about links leaving the image, empty when there are none.
std::string outsideLinksWarning(const std::vector<ImageFile>& files) {
    std::vector<const ImageFile*> outside;
    for (const ImageFile& f : files)
        if (!f.outside.empty()) outside.push_back(&f);
    if (outside.empty()) return {};
    std::string text = "the runtime image's '" + outside[0]->name + "' links to '" + outside[0]->outside + "'";
    if (outside.size() > 1) text += " (and " + std::to_string(outside.size() - 1) + " more links)";
    return text + " outside the image: the executable carries a copy of " +
           (outside.size() > 1 ? "those files" : "that file") + " as it is on this machine";
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

// Modules an application commonly reaches by name at run time (a logging
// facade, a JDBC driver, an XML parser found through a service file), which
// jdeps does not see: each is added when a package of it is named in a
// class's constants or a service file's name.
constexpr struct {
    const char* module;
    const char* packages;  // '/'-separated prefixes, ' '-separated
} kNamedModules[] = {
    {"java.logging", "java/util/logging/"},
    {"java.sql", "java/sql/ javax/sql/"},
    {"java.xml",
     "javax/xml/parsers/ javax/xml/transform/ javax/xml/stream/ javax/xml/xpath/ javax/xml/validation/ "
     "javax/xml/datatype/ javax/xml/namespace/ org/w3c/dom/ org/xml/sax/"},
    {"java.desktop", "java/awt/ javax/swing/ javax/imageio/ java/beans/ javax/sound/"},
    {"java.naming", "javax/naming/"},
    {"java.management", "java/lang/management/ javax/management/"},
    {"jdk.management", "com/sun/management/"},
    {"jdk.unsupported", "sun/misc/ sun/reflect/"},
    {"java.scripting", "javax/script/"},
    {"java.prefs", "java/util/prefs/"},
    {"java.compiler", "javax/tools/ javax/lang/model/ javax/annotation/processing/"},
    {"jdk.compiler", "javax/tools/ToolProvider com/sun/tools/javac/"},  // the system compiler, found at run time
    {"java.instrument", "java/lang/instrument/"},
    {"java.rmi", "java/rmi/"},
    {"java.net.http", "java/net/http/"},
    {"java.security.jgss", "org/ietf/jgss/ javax/security/auth/kerberos/"},
    {"java.xml.crypto", "javax/xml/crypto/"},
    {"java.transaction.xa", "javax/transaction/xa/"},
    {"java.sql.rowset", "javax/sql/rowset/"},
    {"jdk.httpserver", "com/sun/net/httpserver/"},
    {"jdk.crypto.ec", "javax/net/ssl/"},
    {"jdk.zipfs", "jdk/nio/zipfs/"},
};

// One package prefix of kNamedModules in both spellings a class file holds:
// internal ("java/sql/") and as a class name in a string ("java.sql.").
struct NamedPrefix {
    std::string slashed, dotted;
    size_t module;
};

std::vector<NamedPrefix> namedPrefixes() {
    std::vector<NamedPrefix> out;
    for (size_t m = 0; m < sizeof kNamedModules / sizeof kNamedModules[0]; ++m) {
        std::stringstream words(kNamedModules[m].packages);
        std::string word;
        while (words >> word) {
            std::string dotted = word;
            std::replace(dotted.begin(), dotted.end(), '/', '.');
            out.push_back({word, dotted, m});
        }
    }
    return out;
}

// Marks in `found` the modules whose packages `bytes` names.
void markNamed(std::string_view bytes, const std::vector<NamedPrefix>& prefixes, std::vector<bool>& found) {
    for (const NamedPrefix& p : prefixes)
        if (!found[p.module] &&
            (bytes.find(p.slashed) != std::string_view::npos || bytes.find(p.dotted) != std::string_view::npos))
            found[p.module] = true;
}

// Whether the JDK whose modules are linked has `module` (each module has its
// legal folder in a JDK image and its jmod in the jmods folder).
bool jdkHasModule(const std::string& jdk, const std::string& module) {
    std::error_code ec;
    return fs::is_directory(pathOf(jdk) / "legal" / module, ec) ||
           fs::is_regular_file(pathOf(jdk) / "jmods" / (module + ".jmod"), ec);
}

// Runs jdeps (`argv`, then `jars`) with its output in `listing`: its exit
// code, with the modules it printed in `found`; -1 with `error` when it
// could not run.
int runJdeps(const std::vector<std::string>& argv, const std::vector<std::string>& jars, const std::string& listing,
             std::string& found, std::string& error) {
    std::vector<std::string> command = argv;
    command.insert(command.end(), jars.begin(), jars.end());
    const platform::Result<int> run = platform::runProgramToFile(command, listing);
    if (!run) error = run.status().message();
    const int rc = run ? run.value() : -1;
    std::ifstream in(pathOf(listing));
    std::stringstream text;
    text << in.rdbuf();
    in.close();
    std::error_code ec;
    fs::remove(pathOf(listing), ec);
    found.clear();
    std::string line;
    while (std::getline(text, line))
        if (!trimmedText(line).empty()) found = trimmedText(line);
    return rc;
}

}  // namespace

std::vector<std::string> modulesNamedIn(const std::vector<std::string>& jars) {
    const std::vector<NamedPrefix> prefixes = namedPrefixes();
    std::vector<bool> found(sizeof kNamedModules / sizeof kNamedModules[0], false);
    std::vector<uint8_t> bytes;
    for (const std::string& path : jars) {
        Jar jar;
        if (!jar.open(path)) continue;
        for (int32_t i = 0; i < jar.count(); ++i) {
            const std::string_view name = jar.name(i);
            constexpr std::string_view services = "META-INF/services/";
            if (name.substr(0, services.size()) == services) {
                markNamed(name.substr(services.size()), prefixes, found);
                if (jar.read(i, bytes))
                    markNamed({reinterpret_cast<const char*>(bytes.data()), bytes.size()}, prefixes, found);
            } else if (name.size() > 6 && name.substr(name.size() - 6) == ".class" && jar.read(i, bytes)) {
                markNamed({reinterpret_cast<const char*>(bytes.data()), bytes.size()}, prefixes, found);
            }
        }
    }
    std::vector<std::string> modules;
    for (size_t m = 0; m < found.size(); ++m)
        if (found[m]) modules.push_back(kNamedModules[m].module);
    return modules;
}

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

bool indexRuntimeImage(const std::string& dir, RuntimeIndex& index, std::string& error,
                       std::vector<std::string>* warnings) {
    std::vector<ImageFile> files;
    if (!listImage(dir, files, error)) return false;
    index = RuntimeIndex{};
    ContentHash hash;
    std::vector<char> buffer(1 << 20);
    for (const ImageFile& image : files) {
        const fs::path path = pathOf(dir) / pathOf(image.name);
        RuntimeIndex::File file;
        file.path = image.name;
        file.linkTo = image.linkTo;
        file.executable = image.linkTo.empty() && isExecutable(path);
        hash.update(reinterpret_cast<const uint8_t*>(file.path.c_str()), file.path.size() + 1);
        hash.update(reinterpret_cast<const uint8_t*>(file.executable ? "x" : "-"), 1);
        if (!file.linkTo.empty()) {
            // The same bytes as the stored file it leads to, which the hash covers.
            hash.update(reinterpret_cast<const uint8_t*>("="), 1);
            hash.update(reinterpret_cast<const uint8_t*>(file.linkTo.c_str()), file.linkTo.size() + 1);
            std::error_code ec;
            file.size = static_cast<uint64_t>(fs::file_size(path, ec));
        } else {
            std::ifstream in(path, std::ios::binary);
            if (!in) {
                error = "cannot read '" + textOf(path) + "'";
                return false;
            }
            while (in) {
                in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
                const auto n = static_cast<size_t>(in.gcount());
                hash.update(reinterpret_cast<const uint8_t*>(buffer.data()), n);
                file.size += n;
            }
        }
        const std::string size = std::to_string(file.size);
        hash.update(reinterpret_cast<const uint8_t*>(size.c_str()), size.size() + 1);
        index.totalBytes += file.size;
        index.files.push_back(std::move(file));
    }
    index.hash = hash.hex();
    const std::string warning = outsideLinksWarning(files);
    if (warnings && !warning.empty()) warnings->push_back(warning);
    return true;
}

void writeClassDataArchive(const std::string& imageDir, const std::string& hostTarget) {
    // The JDK's own default class-data archive (lib/server/classes.jsa), which
    // jlink leaves out before JDK 21 unless asked: without it every start
    // reads and verifies the JDK's classes anew, about 60 ms of a hello
    // world. It is the image's like any other file, and where it cannot be
    // written the image simply starts without it.
    const std::vector<std::string> argv = {toolPath(imageDir, "java", hostTarget), "-Xshare:dump", "-Xlog:all=off"};
    platform::runProgramCapturing(argv, hostTarget == "windows-x64" ? "NUL" : "/dev/null").status().ignore();
}

bool copyRuntimeImage(const std::string& from, const std::string& to, std::string& error) {
    std::vector<ImageFile> files;
    if (!listImage(from, files, error)) return false;
    std::error_code ec;
    if (!fs::create_directory(pathOf(to), ec)) {
        error = "cannot create '" + to + "'";
        return false;
    }
    for (const ImageFile& file : files) {
        const std::string& name = file.name;
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

namespace {

// The modules to link, each once, in the order first wanted.
struct ModuleList {
    std::set<std::string> wanted;
    std::vector<std::string> ordered;
    // Adds the modules of a comma-separated `list`.
    void want(const std::string& list) {
        std::stringstream items(list);
        std::string item;
        while (std::getline(items, item, ',')) {
            item = trimmedText(item);
            if (!item.empty() && wanted.insert(item).second) ordered.push_back(item);
        }
    }
};

// Adds the modules `jdeps` finds the jars need; `unread` names the jars it
// could not read. False with `error` when it could read none (or did not
// run).
bool addJdepsModules(const std::vector<std::string>& jdeps, const std::vector<std::string>& jars,
                     const std::string& scratch, ModuleList& list, std::string& unread, std::string& error) {
    std::string found;
    int rc = runJdeps(jdeps, jars, scratch, found, error);
    if (rc < 0) return false;
    if (rc == 0) list.want(found);
    // A module jar whose required modules are not among the jars fails
    // the whole run: then each jar alone, passing over those that fail.
    size_t failed = 0;
    for (size_t i = 0; rc > 0 && jars.size() > 1 && i < jars.size(); ++i) {
        const int one = runJdeps(jdeps, {jars[i]}, scratch, found, error);
        if (one < 0) return false;
        if (one == 0) {
            list.want(found);
        } else if (failed++ == 0) {
            unread = textOf(pathOf(jars[i]).filename());
        }
    }
    if (rc > 0 && (jars.size() == 1 || failed == jars.size())) {
        error = "jdeps could not tell which modules the jars need (exit " + std::to_string(rc) +
                "); name them with --add-modules";
        return false;
    }
    if (failed > 1) unread += " and " + std::to_string(failed - 1) + " more";
    return true;
}

}  // namespace

bool linkRuntime(const RuntimeRequest& request, const std::string& target, const std::vector<std::string>& jars,
                 const std::string& minjre, const std::string& outputDir, std::string& error,
                 std::string* modulesLine) {
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
        error =
            "the JDK at '" + tools + "' has no jlink (" + jlink + "): --jlink needs a JDK 9 or later, not a runtime";
        return false;
    }
    // Without jmods a JDK 24 or later links from its own run-time image, and
    // its jlink knows whether it can: only another system's modules must come
    // as jmods.
    const fs::path jmods = pathOf(modules) / "jmods";
    const bool haveJmods = fs::is_directory(jmods, ec);
    if (!haveJmods && cross) {
        error = "the JDK at '" + modules + "' has no jmods folder, which jlink links another system's runtime from";
        return false;
    }
    ModuleList list;
    std::string unread;  // jars jdeps could not read, for the modules line
    if (!jars.empty()) {
        const int release = multiReleaseVersion(minjre, modules);
        const std::vector<std::string> jdeps = {toolPath(tools, "jdeps", request.hostTarget), "--multi-release",
                                                release >= 9 ? std::to_string(release) : "base", "--print-module-deps",
                                                "--ignore-missing-deps"};
        if (!addJdepsModules(jdeps, jars, outputDir + ".jdeps", list, unread, error)) return false;
    }
    if (list.ordered.empty()) list.want("java.base");
    std::string named;
    for (const std::string& m : modulesNamedIn(jars)) {
        if (list.wanted.count(m) || !jdkHasModule(modules, m)) continue;
        list.want(m);
        named += (named.empty() ? "" : ",") + m;
    }
    for (const std::string& given : request.addModules) list.want(given);
    std::string moduleList;
    for (const std::string& m : list.ordered) moduleList += (moduleList.empty() ? "" : ",") + m;
    if (modulesLine)
        *modulesLine = "linking the runtime with " + moduleList +
                       (named.empty() ? "" : " (" + named + " because the jars name their packages)") +
                       (unread.empty() ? "" : " (jdeps could not read " + unread + ")") +
                       "; name others the application loads by name with --add-modules";
    std::vector<std::string> argv = {jlink};
    if (haveJmods) argv.insert(argv.end(), {"--module-path", textOf(jmods)});
    argv.insert(argv.end(), {"--add-modules", moduleList, "--strip-debug", "--no-man-pages", "--no-header-files",
                             "--output", outputDir});
    const platform::Result<int> linked = platform::runProgram(argv);
    if (!linked || linked.value() != 0) {
        fs::remove_all(pathOf(outputDir), ec);
        error = !linked ? linked.status().message()
                        : "jlink could not link " + moduleList + " (exit " + std::to_string(linked.value()) + ")";
        if (!haveJmods)
            error += "; the JDK at '" + modules +
                     "' has no jmods folder, which jlink before JDK 24 links from "
                     "(Debian and Ubuntu ship it as openjdk-<version>-jmods)";
        return false;
    }
    if (target == request.hostTarget) writeClassDataArchive(textOf(pathOf(outputDir)), request.hostTarget);
    return true;
}

}  // namespace hux::tool
