#include "tool/packer.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>

#include "common/byte_string.h"
#include "common/payload_format.h"
#include "common/runtime_index.h"
#include "common/utf.h"
#include "tool/runtime/aot_training.h"
#include "tool/payload/archive_rules.h"
#include "tool/jars/class_path_jars.h"
#include "tool/config_checks.h"
#include "tool/jars/flatten.h"
#include "common/zip_format.h"
#include "tool/jars/jar_facts.h"
#include "tool/jars/manifest.h"
#include "tool/runtime/option_check.h"
#include "tool/windows/pe_image.h"
#include "tool/runtime/runtime_image.h"
#include "tool/runtime/shipped_runtime.h"
#include "tool/windows/signing.h"
#include "tool/jars/survey.h"
#include "tool/text_files.h"
#include "tool/payload/zip_writer.h"
#include "tool/payload/file_names.h"

namespace fs = std::filesystem;

namespace hux::tool {

namespace {

// 16 reserved bytes: the launcher ignores them; they name the payload format.
constexpr char kReserved[kReservedSize + 1] = "hux-payload-v1\0\0";

}  // namespace

bool knownTarget(const std::string& target) { return target == "linux-x64" || target == "windows-x64"; }

std::string targetProblem(const std::string& target) {
    return knownTarget(target) ? std::string() : "unknown target '" + target + "' (use linux-x64 or windows-x64)";
}

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

std::string commandLineProblem(const PackRequest& request) {
    if (std::string problem = targetProblem(request.target); !problem.empty()) return problem;
    const bool windows = request.target == "windows-x64";
    if (!windows && asksForWindowsLook(request.look))
        return "--icon, --manifest, --gui and the version options apply to windows-x64 only";
    if (!windows && request.sign.wanted()) return "signing applies to windows-x64 only";
    if (std::string problem = signRequestProblem(request.sign); !problem.empty()) return problem;
    if (std::string problem = trainingProblem(request); !problem.empty()) return problem;
    if (request.outputPath.empty()) return "no output named (pass -o FILE, or give a jar to name it after)";
    for (const std::string& line : request.extraLines)
        if (line.find_first_of("\r\n") != std::string::npos || line.find('\0') != std::string::npos || !validUtf8(line))
            return "the configuration line '" + line + "' cannot be encoded (line break, NUL or invalid UTF-8)";
    return {};
}

namespace {

using Files = std::vector<std::pair<std::string, std::string>>;

constexpr const char* kTooLarge = "the archive would be larger than 4 GiB, more than the launcher can address";

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

// The output replaces its file only at the end, and must not be one of the
// files read to make it: true with `error` when it is the file at `path`
// (`what` says which file that is).
bool outputIsInput(const PackRequest& request, const std::string& path, const char* what, std::string& error) {
    if (!sameFileAs(path, request.outputPath)) return false;
    error = "the output '" + request.outputPath + "' is " + what + " '" + path +
            "'; writing it would destroy that file (name another output with -o)";
    return true;
}

// Checking the request: the command line's rules, the output's folder, the
// output not one of the inputs, and every file readable.
bool checkRequest(const PackRequest& request, std::string& error) {
    error = commandLineProblem(request);
    if (!error.empty()) return false;
    // A folder that is not there is named before anything is made in it
    // (the runtime linked for it included).
    const fs::path outputFolder = pathOf(request.outputPath).parent_path();
    std::error_code folderError;
    if (!outputFolder.empty() && !fs::is_directory(outputFolder, folderError)) {
        error = "cannot write '" + request.outputPath + "': the folder '" + textOf(outputFolder) + "' " +
                (fs::exists(outputFolder, folderError) ? "is not a folder" : "does not exist");
        return false;
    }
    const std::pair<const std::string&, const char*> read[] = {{request.configPath, "the configuration file"},
                                                               {request.stubPath, "the stub"},
                                                               {request.look.iconPath, "the icon"},
                                                               {request.look.manifestPath, "the manifest"},
                                                               {request.sign.key, "the signing key"},
                                                               {request.sign.cert, "the certificate"},
                                                               {request.sign.passFile, "the pass phrase file"}};
    for (const auto& [path, what] : read)
        if (outputIsInput(request, path, what, error)) return false;
    for (const auto& file : request.files)
        if (outputIsInput(request, file.second, "the input", error)) return false;
    std::string why;
    for (const auto& file : request.files)
        if (!readableFile(file.second, why)) {
            error = "cannot read '" + file.second + "': " + why;
            return false;
        }
    return true;
}

// The configuration file's lines, then those given on the command line.
bool readConfiguration(const PackRequest& request, std::vector<std::string>& lines, std::string& error) {
    if (!request.configPath.empty()) {
        std::vector<uint8_t> bytes;
        std::string why;
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
    return true;
}

// Every character is stored in the launcher's own form, one sequence per
// UTF-16 unit (a character beyond the Basic Multilingual Plane as two
// three-byte sequences): the same text gives the same block whether it
// came as UTF-8 or as UTF-16, and the virtual machine reads it as it is.
std::vector<uint8_t> encodeBlock(const std::vector<std::string>& lines) {
    std::vector<uint8_t> block = {0xEF, 0xBB, 0xBF};
    for (const std::string& line : lines) {
        const ByteString stored = utf8ToPerUnitForm(line);
        block.insert(block.end(), stored.data(), stored.data() + stored.length());
        block.push_back('\r');
        block.push_back('\n');
    }
    block.push_back(0);
    // The seal: a changed byte of the text ends the launch instead of
    // changing what it runs.
    uint8_t seal[kBlockSealSize];
    writeBlockSeal(block.data(), static_cast<uint32_t>(block.size()), seal);
    block.insert(block.end(), seal, seal + kBlockSealSize);
    return block;
}

// Building the configuration block: the lines read, the main class taken
// from the first jar when none is named, the lines checked.
bool configurationBlock(const PackRequest& request, std::vector<std::string>& lines, std::vector<uint8_t>& block,
                        std::vector<std::string>& warnings, std::string& error) {
    const bool windows = request.target == "windows-x64";
    if (!readConfiguration(request, lines, error)) return false;
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
    policy.classDataCache = request.fast;
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
    block = encodeBlock(lines);
    return true;
}

// The launcher stub, its Windows resources in place, with the fields written
// once the file is: the archive's length and the image checksum.
struct Stub {
    std::vector<uint8_t> bytes;
    int64_t lengthField = -1;  // where the archive's length goes
    size_t checksumAt = 0;     // where the PE checksum goes (windows-x64)
};

// Without the UTF-8 code page the launcher's ANSI calls see only the
// system's code page: other characters arrive as '?'; without long path
// awareness, long paths do not open.
void manifestWarnings(const PackRequest& request, std::vector<std::string>& warnings) {
    std::vector<uint8_t> userManifest;
    if (!request.look.manifestPath.empty() && readFile(request.look.manifestPath, userManifest) &&
        !manifestSetsUtf8CodePage(userManifest))
        warnings.push_back("'" + request.look.manifestPath +
                           "' sets no <activeCodePage>UTF-8</activeCodePage>: on Windows, non-ASCII paths and "
                           "arguments outside the system's code page will arrive as \"?\"");
    if (!userManifest.empty() && !manifestIsLongPathAware(userManifest))
        warnings.push_back("'" + request.look.manifestPath +
                           "' sets no <longPathAware>true</longPathAware>: on Windows, the executable will not open "
                           "files whose paths are 260 characters or longer");
}

// Preparing the stub: read, its marker found once, the Windows look applied,
// and the fields written later zeroed.
bool prepareStub(const PackRequest& request, Stub& stub, std::vector<std::string>& warnings, std::string& error) {
    const bool windows = request.target == "windows-x64";
    if (!readFile(request.stubPath, stub.bytes)) {
        error = "cannot read the launcher stub '" + request.stubPath + "'";
        return false;
    }
    int count = 0;
    if (findArchiveLengthField(stub.bytes, count) < 0) {
        error = count == 0 ? "'" + request.stubPath + "' is not a hux launcher stub (no archive-length marker)"
                           : "'" + request.stubPath + "' holds the archive-length marker more than once";
        return false;
    }
    bool stubAtFault = false;
    if (windows && !applyWindowsLook(stub.bytes, request.look, error, &stubAtFault)) {
        if (stubAtFault) error = "'" + request.stubPath + "': " + error;
        return false;
    }
    if (windows) manifestWarnings(request, warnings);
    // The length is written once the archive is; the checksum once the file is.
    stub.lengthField = findArchiveLengthField(stub.bytes, count);
    if (stub.lengthField < 0) {
        error = "'" + request.stubPath + "': the archive-length marker is gone after the resources were written";
        return false;
    }
    writeLe32(stub.bytes.data() + stub.lengthField, 0);
    stub.checksumAt = windows ? checksumFieldOffset(stub.bytes) : 0;
    if (windows) writeLe32(stub.bytes.data() + stub.checksumAt, 0);
    return true;
}

// The files given and the jars their manifests' Class-Path names.
bool collectFiles(const PackRequest& request, Files& files, std::vector<std::string>& warnings, std::string& error) {
    files = request.files;
    if (request.classPathJars) addClassPathJars(files, warnings, request.verbose);
    for (size_t i = request.files.size(); i < files.size(); ++i)
        if (outputIsInput(request, files[i].second, "the jar that a Class-Path names,", error)) return false;
    return true;
}

// Collecting warnings: what the survey of the files finds about libraries,
// nested archives, the main class and the class versions.
void surveyWarnings(const PackRequest& request, const std::vector<std::string>& lines, const Files& files,
                    std::vector<std::string>& warnings) {
    std::string external, mainClass;
    const bool externalClassPath = configValue(lines, "classpath", external) ||
                                   configValue(lines, "java_classpath", external) ||
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
bool checkStoredSize(const PackRequest& request, const Files& files, std::string& error) {
    if (request.flatten) return true;
    uint64_t stored = 0;
    for (const auto& [name, path] : files) {
        std::error_code sizeError;
        const uintmax_t size = fs::file_size(pathOf(path), sizeError);
        if (!sizeError && zip::isArchiveName(name)) stored += size;
    }
    if (stored <= 0xFFFFFFFFull) return true;
    error = kTooLarge;
    return false;
}

// Fills the archive: support classes first, then the application's files.
// Index files (service lists) of the support classes and of top-level
// application files are merged with those of flattened jars.
class ArchiveFiller {
public:
    ArchiveFiller(ZipWriter& zip, uint64_t& filesDone) : zip_(zip), filesDone_(filesDone), flattener_(zip, names_) {}

    // The support classes in `dir`, in the order of their names.
    bool addSupportClasses(const std::string& dir, std::string& error) {
        std::error_code ec;
        if (!fs::is_directory(pathOf(dir), ec)) {
            error = "the Java support classes are missing at '" + dir + "'";
            return false;
        }
        Files classes;
        for (auto it = fs::recursive_directory_iterator(pathOf(dir), ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
            if (!it->is_regular_file()) continue;
            classes.emplace_back(genericTextOf(fs::relative(it->path(), pathOf(dir))), textOf(it->path()));
        }
        std::sort(classes.begin(), classes.end());
        // Stored, not deflated: every launch checks them before the machine
        // starts, and the machine's reader loads them, without inflating.
        for (const auto& [name, path] : classes)
            if (!addEntry(name, path, error, ZipWriter::Method::Stored)) return false;
        return true;
    }

    // The application's files, jars flattened when `flatten` is set.
    bool addFiles(const Files& files, bool flatten, std::vector<std::string>& warnings, std::string& error) {
        for (const auto& [name, path] : files) {
            if (flatten && zip::isArchiveName(name)) {
                ++filesDone_;
                if (!flattener_.addJar(path, name, warnings, error)) return false;
            } else if (!addEntry(name, path, error)) {
                return false;
            }
        }
        return true;
    }

    // Writes the merged index files.
    bool finish(std::vector<std::string>& warnings, std::string& error) {
        const std::string notices = flattener_.hiddenNoticesWarning();
        if (!notices.empty()) warnings.push_back(notices);
        return flattener_.finish(error);
    }

private:
    bool addEntry(const std::string& given, const std::string& path, std::string& error,
                  std::optional<ZipWriter::Method> method = std::nullopt) {
        std::string name;
        if (!normaliseEntryName(given, name, error)) return false;
        if (name == kRuntimeIndexName || name.compare(0, kRuntimeEntryPrefix.size(), kRuntimeEntryPrefix) == 0) {
            error = "the archive name '" + name + "' is reserved for the executable's runtime";
            return false;
        }
        ++filesDone_;
        const bool index = Flattener::isIndex(name);
        if (!index && !names_.insert(name).second) {
            error = "duplicate archive name '" + name + "'";
            return false;
        }
        std::error_code ec;
        if (index) {
            std::vector<uint8_t> data;
            if (!readFile(path, data)) {
                error = "cannot read '" + path + "'";
                return false;
            }
            flattener_.addIndex(name, data);
            return true;
        }
        if (!fs::is_regular_file(pathOf(path), ec)) {
            error = "cannot read '" + path + "'";
            return false;
        }
        if (!method) method = zip::isArchiveName(name) ? ZipWriter::Method::Stored : ZipWriter::Method::Deflated;
        return zip_.addFile(name, path, *method, error);
    }

    ZipWriter& zip_;
    uint64_t& filesDone_;
    std::set<std::string> names_;
    Flattener flattener_;
};

// Writes the stub, the configuration block, its length and the reserved
// bytes.
bool writeHead(FileSink& sink, const Stub& stub, const std::vector<uint8_t>& block) {
    uint8_t length[4];
    writeLe32(length, static_cast<uint32_t>(block.size()));
    return sink.write(stub.bytes.data(), stub.bytes.size()) && sink.write(block.data(), block.size()) &&
           sink.write(length, 4) && sink.write(reinterpret_cast<const uint8_t*>(kReserved), kReservedSize);
}

// Checks the archive written and fills in the stub's fields: the archive's
// length and, for windows-x64, the image checksum; closes the file.
bool completeExecutable(const PackRequest& request, const Stub& stub, ZipWriter& zip, FileSink& sink,
                        std::string& error) {
    // The launcher finds the archive through a 32-bit length in the stub.
    const uint64_t archiveLength = zip.lengthWithoutComment();
    if (archiveLength > 0xFFFFFFFFull) {
        error = kTooLarge;
        return false;
    }
    if (!checkArchiveComment(zip.endRecord(), error)) return false;
    // With bytes after its end record, the JDK checks the archive through the
    // plain end record's directory size and offset alone, which miss the
    // directory by the zip64 records between them: it would not open the
    // executable, and neither classes nor support classes would load.
    if (request.sign.wanted() && zip.wroteZip64()) {
        error = "an archive of " + std::to_string(zip.entryCount()) +
                " entries needs zip64 records, which the JDK no longer finds once a signature follows the "
                "archive; signed executables hold at most 65,534 entries";
        return false;
    }
    uint8_t length[4];
    writeLe32(length, static_cast<uint32_t>(archiveLength));
    bool written = sink.patch(static_cast<uint64_t>(stub.lengthField), length, 4);
    if (request.target == "windows-x64") {
        const uint8_t zeros[4] = {0, 0, 0, 0};
        uint8_t checksum[4];
        writeLe32(checksum, sink.peChecksum(stub.checksumAt, zeros));
        written = written && sink.patch(stub.checksumAt, checksum, 4);
    }
    if (!written || !sink.close()) {
        error = "cannot write '" + request.outputPath + "'";
        return false;
    }
    return true;
}

// Writing the payload into the open `sink`: the head, the archive (with an
// embedded runtime) and the fields that depend on them.
bool writePayload(const PackRequest& request, const Stub& stub, const std::vector<uint8_t>& block, const Files& files,
                  ShippedRuntime& runtime, FileSink& sink, uint64_t& filesDone, std::vector<std::string>& warnings,
                  std::string& error) {
    if (request.target == "windows-x64") sink.keepChecksum();
    if (request.progress) sink.onWrite = [&request, &filesDone](uint64_t bytes) { request.progress(filesDone, bytes); };
    if (!writeHead(sink, stub, block)) {
        error = "cannot write '" + request.outputPath + "'";
        return false;
    }
    ZipWriter zip(sink);
    ArchiveFiller archive(zip, filesDone);
    if (!request.javaClassesDir.empty() && !archive.addSupportClasses(request.javaClassesDir, error)) return false;
    if (!archive.addFiles(files, request.flatten, warnings, error) || !archive.finish(warnings, error) ||
        !runtime.addTo(zip, error) || !zip.finish(error, request.archiveComment))
        return false;
    return completeExecutable(request, stub, zip, sink, error);
}

// Publishing: the written file signed when asked, made executable and put in
// place of the output, then the runtime beside it.
bool publish(const PackRequest& request, const fs::path& temp, ShippedRuntime& runtime, uint64_t bytes,
             std::string& error) {
    std::error_code ec;
    if (request.sign.wanted() && !signExecutable(textOf(temp), request.sign, error)) {
        fs::remove(temp, ec);
        return false;
    }
    fs::permissions(temp,
                    fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read |
                        fs::perms::others_exec,
                    ec);
    fs::rename(temp, pathOf(request.outputPath), ec);
    if (ec) {
        fs::remove(temp, ec);
        error = "cannot write '" + request.outputPath + "'";
        return false;
    }
    if (!runtime.publish(error)) return false;
    if (request.report && !runtime.modulesLine().empty()) request.report(runtime.modulesLine());
    if (request.report && request.runtime.wanted()) request.report(runtime.summary(bytes));
    return true;
}

}  // namespace

bool pack(const PackRequest& request, std::string& error, std::vector<std::string>& warnings) {
    if ((request.fast || request.runtime.train) && !request.flatten) {
        // --fast and --train store the jars as --flatten does.
        PackRequest flattened = request;
        flattened.flatten = true;
        return pack(flattened, error, warnings);
    }
    if (!checkRequest(request, error)) return false;
    std::vector<std::string> lines;
    std::vector<uint8_t> block;
    if (!configurationBlock(request, lines, block, warnings, error)) return false;
    Stub stub;
    if (!prepareStub(request, stub, warnings, error)) return false;
    Files files;
    if (!collectFiles(request, files, warnings, error)) return false;
    surveyWarnings(request, lines, files, warnings);
    if (!checkStoredSize(request, files, error)) return false;

    // Write next to the output, then rename, so a failure leaves nothing behind.
    const fs::path temp = pathOf(request.outputPath + ".hux-partial");
    ShippedRuntime runtime(request, pathOf(request.outputPath));
    if (!runtime.prepare(lines, files, warnings, error)) return false;
    FileSink sink;
    errno = 0;
    if (!sink.open(textOf(temp))) {
        error = "cannot write '" + request.outputPath + "'" +
                (errno != 0 ? ": " + std::generic_category().message(errno) : std::string());
        return false;
    }
    checkOptionLines(lines,
                     runnableJavas(jvmHomes(request, runtime.image()), request.runtime.hostTarget == "windows-x64"),
                     textOf(temp) + ".options", warnings);
    uint64_t filesDone = 0;
    if (!writePayload(request, stub, block, files, runtime, sink, filesDone, warnings, error)) {
        sink.close();
        std::error_code ec;
        fs::remove(temp, ec);
        return false;
    }
    if (request.progress) request.progress(filesDone, sink.size());
    return publish(request, temp, runtime, sink.size(), error);
}

}  // namespace hux::tool
