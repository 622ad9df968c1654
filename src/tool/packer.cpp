#include "tool/packer.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "common/byte_string.h"
#include "common/payload_format.h"
#include "common/runtime_index.h"
#include "common/utf.h"
#include "tool/archive_rules.h"
#include "tool/class_path_jars.h"
#include "tool/config_checks.h"
#include "tool/flatten.h"
#include "common/zip_format.h"
#include "tool/jar_facts.h"
#include "tool/manifest.h"
#include "tool/option_check.h"
#include "tool/pe_image.h"
#include "tool/runtime_image.h"
#include "tool/shipped_runtime.h"
#include "tool/signing.h"
#include "tool/survey.h"
#include "tool/text_files.h"
#include "tool/zip_writer.h"
#include "tool/file_names.h"

namespace fs = std::filesystem;

namespace hux::tool {

namespace {

// 16 reserved bytes: the launcher ignores them; they name the payload format.
constexpr char kReserved[kReservedSize + 1] = "hux-payload-v1\0\0";

}  // namespace

bool knownTarget(const std::string& target) { return target == "linux-x64" || target == "windows-x64"; }

namespace {

// The first archive among the files given, or null.
const std::pair<std::string, std::string>* firstJar(const std::vector<std::pair<std::string, std::string>>& files) {
    for (const auto& file : files)
        if (zip::isArchiveName(file.first)) return &file;
    return nullptr;
}

// A main class written with slashes ("pkg/Main", as some manifests name it)
// is stored with dots, the one form the virtual machine loads; `java` turns
// one into the other the same way.
void dotMainClass(std::vector<std::string>& lines) {
    for (std::string& line : lines) {
        if (!equalsIgnoreCase(lineKey(line), "mainclass")) continue;
        const size_t valueAt = line.size() - lineValue(line).size();
        std::replace(line.begin() + static_cast<std::ptrdiff_t>(valueAt), line.end(), '/', '.');
    }
}

// Whether two paths name the same file (device and inode, or the file
// index), whatever their spelling.
bool sameFileAs(const std::string& a, const std::string& b) {
    std::error_code ec;
    return !a.empty() && !b.empty() && fs::equivalent(pathOf(a), pathOf(b), ec) && !ec;
}

}  // namespace

std::string jarMainClass(const std::string& path) {
    Jar jar;
    std::vector<uint8_t> manifest;
    std::string value;
    if (!jar.open(path) || !jar.manifest(manifest) ||
        !manifestAttribute(manifest.data(), manifest.size(), "Main-Class", value))
        return {};
    return trimmed(value);
}

std::string defaultOutputName(const std::vector<std::pair<std::string, std::string>>& files,
                              const std::string& target) {
    const auto* jar = firstJar(files);
    if (!jar) return {};
    std::string base = textOf(pathOf(jar->second).filename());
    if (base.size() > 4) base.erase(base.size() - 4);  // ".jar" or ".zip", any case
    return target == "windows-x64" ? base + ".exe" : base;
}

namespace {

// The runtimes whose JVM the option lines are tried on: JAVA_HOME's, the one
// of the `java` on PATH, the JDK given to link with, and the image shipped.
std::vector<std::string> jvmHomes(const PackRequest& request, const std::string& image) {
    std::vector<std::string> homes;
    const char* javaHome = std::getenv("JAVA_HOME");
    if (javaHome && *javaHome) homes.push_back(javaHome);
    std::error_code ec;
    const fs::path java = findOnPath("java");
    const fs::path real = java.empty() ? fs::path() : fs::canonical(java, ec);
    if (!java.empty() && !ec) homes.push_back(textOf(real.parent_path().parent_path()));
    homes.push_back(request.runtime.jdk);
    homes.push_back(image);
    return homes;
}

}  // namespace

std::string commandLineProblem(const PackRequest& request) {
    if (!knownTarget(request.target)) return "unknown target '" + request.target + "' (use linux-x64 or windows-x64)";
    const bool windows = request.target == "windows-x64";
    if (!windows && asksForWindowsLook(request.look))
        return "--icon, --manifest, --gui and the version options apply to windows-x64 only";
    if (!windows && request.sign.wanted()) return "signing applies to windows-x64 only";
    if (std::string problem = signRequestProblem(request.sign); !problem.empty()) return problem;
    if (request.outputPath.empty()) return "no output named (pass -o FILE, or give a jar to name it after)";
    for (const std::string& line : request.extraLines)
        if (line.find_first_of("\r\n") != std::string::npos || line.find('\0') != std::string::npos || !validUtf8(line))
            return "the configuration line '" + line + "' cannot be encoded (line break, NUL or invalid UTF-8)";
    return {};
}

bool pack(const PackRequest& request, std::string& error, std::vector<std::string>& warnings) {
    error = commandLineProblem(request);
    if (!error.empty()) return false;
    const bool windows = request.target == "windows-x64";
    // A folder that is not there is named before anything is made in it
    // (the runtime linked for it included).
    const fs::path outputFolder = pathOf(request.outputPath).parent_path();
    std::error_code folderError;
    if (!outputFolder.empty() && !fs::is_directory(outputFolder, folderError)) {
        error = "cannot write '" + request.outputPath + "': the folder '" + textOf(outputFolder) + "' " +
                (fs::exists(outputFolder, folderError) ? "is not a folder" : "does not exist");
        return false;
    }
    // The output replaces its file only at the end, and must not be one of
    // the files read to make it.
    auto refuseOutput = [&](const std::string& path, const char* what) {
        if (!sameFileAs(path, request.outputPath)) return false;
        error = "the output '" + request.outputPath + "' is " + what + " '" + path +
                "'; writing it would destroy that file (name another output with -o)";
        return true;
    };
    if (refuseOutput(request.configPath, "the configuration file") || refuseOutput(request.stubPath, "the stub") ||
        refuseOutput(request.look.iconPath, "the icon") || refuseOutput(request.look.manifestPath, "the manifest") ||
        refuseOutput(request.sign.key, "the signing key") || refuseOutput(request.sign.cert, "the certificate") ||
        refuseOutput(request.sign.passFile, "the pass phrase file"))
        return false;
    for (const auto& file : request.files)
        if (refuseOutput(file.second, "the input")) return false;
    std::string why;
    for (const auto& file : request.files)
        if (!readableFile(file.second, why)) {
            error = "cannot read '" + file.second + "': " + why;
            return false;
        }

    // Configuration block.
    std::vector<std::string> lines;
    if (!request.configPath.empty()) {
        std::vector<uint8_t> bytes;
        if (!readableFile(request.configPath, why) || !readFile(request.configPath, bytes)) {
            error = "cannot read the configuration file '" + request.configPath + "'" + (why.empty() ? "" : ": " + why);
            return false;
        }
        if (!readConfigLines(bytes, lines, error)) {
            error = request.configPath + ": " + error;
            return false;
        }
    }
    lines.insert(lines.end(), request.extraLines.begin(), request.extraLines.end());
    // As `java -jar` does: without a main class named, the first jar's
    // manifest names it.
    std::string mainClass;
    const auto* first = firstJar(request.files);
    if (!configValue(lines, "mainclass", mainClass) && request.requireMain && first) {
        mainClass = jarMainClass(first->second);
        if (!mainClass.empty()) lines.insert(lines.begin(), "mainclass " + mainClass);
    }
    dotMainClass(lines);
    ConfigPolicy policy;
    policy.requireMain = request.requireMain;
    policy.classResources = request.classResources;
    policy.quietSharingNote = request.quietSharingNote;
    policy.windowsTarget = windows;
    policy.flatten = request.flatten;
    if (!checkConfiguration(lines, policy, warnings, error)) {
        Jar jar;
        if (first && mainClass.empty() && request.requireMain)
            error = "'" + first->first + "' " +
                    (jar.open(first->second) ? "names no Main-Class in its manifest"
                                             : "is not a jar (no zip archive), so it names no Main-Class,") +
                    " and the configuration no 'mainclass' (add -l \"mainclass your.app.Main\", or pass --no-main)";
        return false;
    }
    if (!request.configPath.empty()) {
        const std::string twice = externalConfigWarning(request.configPath, request.outputPath, lines, windows);
        if (!twice.empty()) warnings.push_back(twice);
    }
    // Every character is stored in the launcher's own form, one sequence per
    // UTF-16 unit (a character beyond the Basic Multilingual Plane as two
    // three-byte sequences): the same text gives the same block whether it
    // came as UTF-8 or as UTF-16, and the virtual machine reads it as it is.
    std::vector<uint8_t> block = {0xEF, 0xBB, 0xBF};
    for (const std::string& line : lines) {
        const ByteString stored = utf8ToPerUnitForm(line);
        block.insert(block.end(), stored.data(), stored.data() + stored.length());
        block.push_back('\r');
        block.push_back('\n');
    }
    block.push_back(0);

    // Stub.
    std::vector<uint8_t> stub;
    if (!readFile(request.stubPath, stub)) {
        error = "cannot read the launcher stub '" + request.stubPath + "'";
        return false;
    }
    int count = 0;
    if (findArchiveLengthField(stub, count) < 0) {
        error = count == 0 ? "'" + request.stubPath + "' is not a hux launcher stub (no archive-length marker)"
                           : "'" + request.stubPath + "' holds the archive-length marker more than once";
        return false;
    }
    bool stubAtFault = false;
    if (windows && !applyWindowsLook(stub, request.look, error, &stubAtFault)) {
        if (stubAtFault) error = "'" + request.stubPath + "': " + error;
        return false;
    }
    // Without the UTF-8 code page the launcher's ANSI calls see only the
    // system's code page: other characters arrive as '?'.
    std::vector<uint8_t> userManifest;
    if (windows && !request.look.manifestPath.empty() && readFile(request.look.manifestPath, userManifest) &&
        !manifestSetsUtf8CodePage(userManifest))
        warnings.push_back("'" + request.look.manifestPath +
                           "' sets no <activeCodePage>UTF-8</activeCodePage>: on Windows, non-ASCII paths and "
                           "arguments outside the system's code page will arrive as \"?\"");
    if (windows && !userManifest.empty() && !manifestIsLongPathAware(userManifest))
        warnings.push_back("'" + request.look.manifestPath +
                           "' sets no <longPathAware>true</longPathAware>: on Windows, the executable will not open "
                           "files whose paths are 260 characters or longer");
    // The length is written once the archive is; the checksum once the file is.
    const int64_t field = findArchiveLengthField(stub, count);
    if (field < 0) {
        error = "'" + request.stubPath + "': the archive-length marker is gone after the resources were written";
        return false;
    }
    writeLe32(stub.data() + field, 0);
    const size_t checksumAt = windows ? checksumFieldOffset(stub) : 0;
    if (windows) writeLe32(stub.data() + checksumAt, 0);

    std::vector<std::pair<std::string, std::string>> files = request.files;
    if (request.classPathJars) addClassPathJars(files, warnings, request.verbose);
    for (size_t i = request.files.size(); i < files.size(); ++i)
        if (refuseOutput(files[i].second, "the jar that a Class-Path names,")) return false;
    {
        std::string external;
        const bool externalClassPath =
            configValue(lines, "classpath", external) || configValue(lines, "java_classpath", external) ||
            configValue(lines, "libs", external) || configValue(lines, "java_libs", external);
        configValue(lines, "mainclass", mainClass);
        Survey survey(files, trimmed(mainClass));
        if (!request.flatten) {
            for (const std::string& hint : survey.hints) warnings.push_back(hint + "; pack with --flatten");
            warnings.insert(warnings.end(), survey.largeArchives.begin(), survey.largeArchives.end());
        }
        const std::string main = survey.mainWarning(trimmed(mainClass), externalClassPath);
        if (!main.empty()) warnings.push_back(main);
        const std::string version = survey.versionWarning(lines);
        if (!version.empty()) warnings.push_back(version);
    }

    // Archives go in stored: when they alone pass the launcher's 32-bit
    // archive length, refuse before writing gigabytes.
    constexpr const char* kTooLarge = "the archive would be larger than 4 GiB, more than the launcher can address";
    if (!request.flatten) {
        uint64_t stored = 0;
        for (const auto& [name, path] : files) {
            std::error_code sizeError;
            const uintmax_t size = fs::file_size(pathOf(path), sizeError);
            if (!sizeError && zip::isArchiveName(name)) stored += size;
        }
        if (stored > 0xFFFFFFFFull) {
            error = kTooLarge;
            return false;
        }
    }

    // Write next to the output, then rename, so a failure leaves nothing behind.
    const fs::path out = pathOf(request.outputPath);
    const fs::path temp = pathOf(request.outputPath + ".hux-partial");
    std::error_code ec;
    ShippedRuntime runtime(request.runtime, request.target, out);
    if (!runtime.prepare(lines, files, warnings, error)) return false;
    FileSink sink;
    auto fail = [&]() {
        sink.close();
        fs::remove(temp, ec);
        return false;
    };
    errno = 0;
    if (!sink.open(textOf(temp))) {
        error = "cannot write '" + request.outputPath + "'" +
                (errno != 0 ? ": " + std::generic_category().message(errno) : std::string());
        return false;
    }
    checkOptionLines(lines,
                     runnableJavas(jvmHomes(request, runtime.image()), request.runtime.hostTarget == "windows-x64"),
                     textOf(temp) + ".options", warnings);
    if (windows) sink.keepChecksum();
    uint64_t filesDone = 0;
    if (request.progress) sink.onWrite = [&](uint64_t bytes) { request.progress(filesDone, bytes); };
    uint8_t length[4];
    writeLe32(length, static_cast<uint32_t>(block.size()));
    if (!sink.write(stub.data(), stub.size()) || !sink.write(block.data(), block.size()) || !sink.write(length, 4) ||
        !sink.write(reinterpret_cast<const uint8_t*>(kReserved), kReservedSize)) {
        error = "cannot write '" + request.outputPath + "'";
        return fail();
    }

    // Archive: support classes first, then the application's files.
    ZipWriter zip(sink);
    std::set<std::string> names;
    // Index files (service lists) of the support classes and of top-level
    // application files are merged with those of flattened jars.
    Flattener flattener(zip, names);
    auto addEntry = [&](const std::string& given, const std::string& path) {
        std::string name;
        if (!normaliseEntryName(given, name, error)) return false;
        if (name == kRuntimeIndexName || name.compare(0, kRuntimeEntryPrefix.size(), kRuntimeEntryPrefix) == 0) {
            error = "the archive name '" + name + "' is reserved for the executable's runtime";
            return false;
        }
        ++filesDone;
        const bool index = Flattener::isIndex(name);
        if (!index && !names.insert(name).second) {
            error = "duplicate archive name '" + name + "'";
            return false;
        }
        if (index) {
            std::vector<uint8_t> data;
            if (!readFile(path, data)) {
                error = "cannot read '" + path + "'";
                return false;
            }
            flattener.addIndex(name, data);
            return true;
        }
        if (!fs::is_regular_file(pathOf(path), ec)) {
            error = "cannot read '" + path + "'";
            return false;
        }
        return zip.addFile(name, path,
                           zip::isArchiveName(name) ? ZipWriter::Method::Stored : ZipWriter::Method::Deflated, error);
    };
    if (!request.javaClassesDir.empty()) {
        if (!fs::is_directory(pathOf(request.javaClassesDir), ec)) {
            error = "the Java support classes are missing at '" + request.javaClassesDir + "'";
            return fail();
        }
        std::vector<std::pair<std::string, std::string>> classes;
        for (auto it = fs::recursive_directory_iterator(pathOf(request.javaClassesDir), ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
            if (!it->is_regular_file()) continue;
            classes.emplace_back(genericTextOf(fs::relative(it->path(), pathOf(request.javaClassesDir))),
                                 textOf(it->path()));
        }
        std::sort(classes.begin(), classes.end());
        for (const auto& [name, path] : classes)
            if (!addEntry(name, path)) return fail();
    }
    for (const auto& [name, path] : files) {
        if (request.flatten && zip::isArchiveName(name)) {
            ++filesDone;
            if (!flattener.addJar(path, name, warnings, error)) return fail();
        } else if (!addEntry(name, path)) {
            return fail();
        }
    }
    const std::string notices = flattener.hiddenNoticesWarning();
    if (!notices.empty()) warnings.push_back(notices);
    if (!flattener.finish(error) || !runtime.addTo(zip, error) || !zip.finish(error, request.archiveComment))
        return fail();

    // The launcher finds the archive through a 32-bit length in the stub.
    const uint64_t archiveLength = zip.lengthWithoutComment();
    if (archiveLength > 0xFFFFFFFFull) {
        error = kTooLarge;
        return fail();
    }
    if (!checkArchiveComment(zip.endRecord(), error)) return fail();
    // With bytes after its end record, the JDK checks the archive through the
    // plain end record's directory size and offset alone, which miss the
    // directory by the zip64 records between them: it would not open the
    // executable, and neither classes nor support classes would load.
    if (request.sign.wanted() && zip.wroteZip64()) {
        error = "an archive of " + std::to_string(zip.entryCount()) +
                " entries needs zip64 records, which the JDK no longer finds once a signature follows the "
                "archive; signed executables hold at most 65,534 entries";
        return fail();
    }
    writeLe32(length, static_cast<uint32_t>(archiveLength));
    bool written = sink.patch(static_cast<uint64_t>(field), length, 4);
    if (windows) {
        const uint8_t zeros[4] = {0, 0, 0, 0};
        uint8_t checksum[4];
        writeLe32(checksum, sink.peChecksum(checksumAt, zeros));
        written = written && sink.patch(checksumAt, checksum, 4);
    }
    if (!written || !sink.close()) {
        error = "cannot write '" + request.outputPath + "'";
        return fail();
    }
    if (request.progress) request.progress(filesDone, sink.size());
    if (request.sign.wanted() && !signExecutable(textOf(temp), request.sign, error)) {
        fs::remove(temp, ec);
        return false;
    }
    fs::permissions(temp,
                    fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read |
                        fs::perms::others_exec,
                    ec);
    fs::rename(temp, out, ec);
    if (ec) {
        fs::remove(temp, ec);
        error = "cannot write '" + request.outputPath + "'";
        return false;
    }
    if (!runtime.publish(error)) return false;
    if (request.report && !runtime.modulesLine().empty()) request.report(runtime.modulesLine());
    if (request.report && request.runtime.wanted()) request.report(runtime.summary(sink.size()));
    return true;
}

}  // namespace hux::tool
