#include "tool/runtime/aot_training.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/payload_format.h"
#include "common/utf.h"
#include "common/trained_cache.h"
#include "platform/private_tree.h"
#include "platform/run_program.h"
#include "tool/config_checks.h"
#include "tool/payload/file_names.h"
#include "tool/packer.h"
#include "tool/runtime/runtime_image.h"

namespace fs = std::filesystem;

namespace hux::tool {

namespace {

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// The option lines the training run passes on to its virtual machine: those
// that shape what it loads and how (properties, memory, module options),
// without references the launcher expands at run time and without logging,
// archives or agents, which would write files or need the launcher's paths.
std::vector<std::string> trainingOptions(const std::vector<std::string>& lines) {
    std::vector<std::string> options;
    for (const std::string& line : lines) {
        if (!equalsIgnoreCase(lineKey(line), "option")) continue;
        std::string option = lineValue(line);
        if (option.empty() || option.find_first_of("%$") != std::string::npos) continue;
        const bool shapes = startsWith(option, "-D") || startsWith(option, "-X") || startsWith(option, "--add-") ||
                            startsWith(option, "--enable-native-access");
        if (!shapes || startsWith(option, "-Xlog") || startsWith(option, "-Xshare") ||
            startsWith(option, "-XX:SharedArchiveFile") || startsWith(option, "-XX:ArchiveClassesAtExit") ||
            startsWith(option, "-XX:AOT") || startsWith(option, "-Xbootclasspath") ||
            startsWith(option, "-XstartOnFirstThread"))
            continue;
        // "--add-opens a/b=C" reaches `java` as one argument: its "=" form.
        const size_t blank = option.find_first_of(" \t");
        if (startsWith(option, "--") && blank != std::string::npos) {
            const size_t value = option.find_first_not_of(" \t", blank);
            option = option.substr(0, blank) + "=" + option.substr(value == std::string::npos ? blank : value);
        }
        options.push_back(option);
    }
    return options;
}

// The last lines of the training run's output, for a warning.
std::string lastLines(const std::string& path, size_t count) {
    std::ifstream in(pathOf(path), std::ios::binary);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        lines.push_back(line);
        if (lines.size() > count) lines.erase(lines.begin());
    }
    std::string text;
    for (const std::string& l : lines) text += (text.empty() ? "" : " | ") + l;
    return text;
}

}  // namespace

std::string trainingProblem(const PackRequest& request) {
    if (!request.runtime.train) return {};
    if (!request.runtime.embed)
        return "--train makes the cache of a runtime stored in the executable: use it with --jlink --embed or "
               "--embed-runtime DIR";
    if (request.target != request.runtime.hostTarget)
        return "--train runs the application on the runtime it carries, so it packs for this machine's target (" +
               request.runtime.hostTarget + ") only";
    return {};
}

bool splitTrainingArguments(const std::string& text, std::vector<std::string>& args) {
    return splitArgumentFile(text, args);
}

bool checkTrainingRuntime(const std::string& image, std::string& error) {
    const int version = multiReleaseVersion("", image);
    if (version >= 24) return true;
    error = "--train needs a runtime of Java 24 or later, for its ahead-of-time cache; '" + image + "' is " +
            (version > 0 ? "Java " + std::to_string(version) : "of no known version");
    return false;
}

namespace {

// The class-path jar of the training run: the application flattened as in
// the executable, after a prefix that holds only the archive-length record
// the packer needs in a stub (the runtime's zip reader reads past it).
bool writeTrainingJar(const PackRequest& request, const std::string& jar, std::string& error) {
    const std::string stub = request.outputPath + ".hux-training-stub";
    {
        std::ofstream out(pathOf(stub), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(kArchiveLengthMagic), sizeof kArchiveLengthMagic);
        out.write("\0\0\0\0", 4);
        if (!out.flush()) {
            error = "cannot write '" + stub + "'";
            return false;
        }
    }
    PackRequest jarRequest = request;
    jarRequest.target = "linux-x64";
    jarRequest.stubPath = stub;
    jarRequest.outputPath = jar;
    jarRequest.archiveComment.clear();
    jarRequest.flatten = true;
    jarRequest.fast = false;
    jarRequest.look = WindowsLook{};
    jarRequest.sign = SignRequest{};
    jarRequest.runtime = RuntimeRequest{};
    jarRequest.runtime.hostTarget = request.runtime.hostTarget;
    jarRequest.progress = nullptr;
    jarRequest.report = nullptr;
    std::vector<std::string> ignored;  // the executable's own packing tells them
    const bool packed = pack(jarRequest, error, ignored);
    std::error_code ec;
    fs::remove(pathOf(stub), ec);
    if (!packed) {
        error = "cannot make the class-path jar for the training run: " + error;
        return false;
    }
    fs::permissions(pathOf(jar), fs::perms(0644), ec);
    if (const platform::Status set = platform::setFileSeconds(jar.c_str(), kTrainedJarTime); !set) {
        error = set.message();
        return false;
    }
    return true;
}

// The JVM runs that make the cache: one on JDK 25 and later, which writes it
// at exit; a recording run and a creating one before.
std::vector<std::vector<std::string>> trainingRuns(const PackRequest& request, const std::vector<std::string>& lines,
                                                   const std::string& image, const std::string& jar,
                                                   const std::string& cache, int version) {
    std::string mainClass;
    for (const std::string& line : lines)
        if (equalsIgnoreCase(lineKey(line), "mainclass")) {
            mainClass = lineValue(line);
            break;
        }
    const std::string java =
        textOf(pathOf(image) / "bin" / (request.runtime.hostTarget == "windows-x64" ? "java.exe" : "java"));
    std::vector<std::string> common = trainingOptions(lines);
    common.insert(common.begin(), "-Djava.awt.headless=true");
    common.push_back("-cp");
    common.push_back(jar);
    const std::string configuration = cache + "conf";
    std::vector<std::vector<std::string>> runs;
    std::vector<std::string> run = {java};
    if (version >= 25) {
        run.push_back("-XX:AOTCacheOutput=" + cache);
    } else {
        run.push_back("-XX:AOTMode=record");
        run.push_back("-XX:AOTConfiguration=" + configuration);
    }
    run.insert(run.end(), common.begin(), common.end());
    run.push_back(mainClass);
    run.insert(run.end(), request.runtime.trainArgs.begin(), request.runtime.trainArgs.end());
    runs.push_back(run);
    if (version < 25) {
        run = {java, "-XX:AOTMode=create", "-XX:AOTConfiguration=" + configuration, "-XX:AOTCache=" + cache};
        run.insert(run.end(), common.begin(), common.end());
        runs.push_back(run);
    }
    return runs;
}

// Runs them in turn, each within the time limit; what went wrong with the
// last, or nothing.
std::string runTraining(const std::vector<std::vector<std::string>>& runs, const std::string& log,
                        std::vector<std::string>& warnings) {
    std::string problem;
    for (size_t i = 0; i < runs.size() && problem.empty(); ++i) {
        bool timedOut = false;
        const platform::Result<int> run =
            platform::runProgramCapturingWithin(runs[i], log, kTrainingSeconds, kTrainingGraceSeconds, timedOut);
        const int code = run ? run.value() : -1;
        if (timedOut)
            warnings.push_back("the training run had not ended after " + std::to_string(kTrainingSeconds) +
                               " s and was asked to end; the cache holds what it had loaded by then");
        else if (code != 0 && i == 0)
            warnings.push_back("the training run ended with exit code " + std::to_string(code) +
                               (!run ? " (" + run.status().message() + ")" : std::string()) + ": " + lastLines(log, 3));
        if (i > 0 && code != 0) problem = lastLines(log, 3);
    }
    return problem;
}

}  // namespace

bool trainRuntime(const PackRequest& request, const std::vector<std::string>& lines, const std::string& image,
                  std::vector<std::string>& warnings, std::string& error) {
    if (!checkTrainingRuntime(image, error)) return false;
    const fs::path folder = pathOf(image) / pathOf(std::string(kTrainedJarPath)).parent_path();
    const std::string jar = textOf(pathOf(image) / pathOf(std::string(kTrainedJarPath)));
    const std::string cache = textOf(pathOf(image) / pathOf(std::string(kTrainedCachePath)));
    std::error_code ec;
    fs::remove_all(folder, ec);
    if (!fs::create_directories(folder, ec)) {
        error = "cannot create '" + textOf(folder) + "' for the training run";
        return false;
    }
    if (!writeTrainingJar(request, jar, error)) return false;
    const std::string log = request.outputPath + ".hux-training.log";
    std::string problem =
        runTraining(trainingRuns(request, lines, image, jar, cache, multiReleaseVersion("", image)), log, warnings);
    const bool made = fs::is_regular_file(pathOf(cache), ec) && fs::file_size(pathOf(cache), ec) > 0;
    if (!made && problem.empty()) problem = lastLines(log, 3);
    fs::remove(pathOf(log), ec);
    // Only the jar and the cache stay in the image.
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        if ((made && problem.empty()) && (entry.path() == pathOf(jar) || entry.path() == pathOf(cache))) continue;
        fs::remove_all(entry.path(), ec);
    }
    if (!made || !problem.empty()) {
        fs::remove_all(folder, ec);
        warnings.push_back("the training run made no ahead-of-time cache; the executable starts without one" +
                           (problem.empty() ? std::string() : " (" + problem + ")"));
    }
    return true;
}

}  // namespace hux::tool
