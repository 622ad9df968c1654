#include "tool/runtime/aot_training.h"
#include "tool/pack_command.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>

#include "platform/console.h"
#include "platform/process.h"
#include "tool/payload/file_names.h"

namespace fs = std::filesystem;

namespace hux::tool {

namespace {

int refuse(const std::string& line, int code) {
    std::cerr << "hux pack: " << line << "\n";
    return code;
}

// Data shipped with the tool: <bin>/../share/hux, in the build tree and after
// installation alike.
fs::path dataDirectory() {
    const ByteString self = platform::moduleFileName().value();
    return pathOf(self.c_str()).parent_path().parent_path() / "share" / "hux";
}

std::string stubFileName(const std::string& target) { return target == "windows-x64" ? "hux-stub.exe" : "hux-stub"; }

// A line on a terminal that tells how far packing is, rewritten in place,
// shown once packing has taken a second.
class ProgressLine {
public:
    explicit ProgressLine(bool terminal) : terminal_(terminal), start_(Clock::now()) {}
    void update(uint64_t files, uint64_t bytes) {
        files_ = files;
        bytes_ = bytes;
        show(false);
    }
    // Ends the line when it was shown.
    void finish() { show(true); }

private:
    void show(bool done) {
        const uint64_t files = files_, bytes = bytes_;
        if (!terminal_) return;
        const auto now = Clock::now();
        const double seconds = std::chrono::duration<double>(now - start_).count();
        if (!done && (seconds < 1.0 || now - last_ < std::chrono::milliseconds(200))) return;
        if (done && !shown_) return;
        last_ = now;
        shown_ = true;
        char line[160];
        std::snprintf(line, sizeof line, "\rhux pack: %llu files, %.1f MB, %.1f MB/s%s",
                      static_cast<unsigned long long>(files), static_cast<double>(bytes) / 1e6,
                      seconds > 0 ? static_cast<double>(bytes) / 1e6 / seconds : 0.0, done ? "\n" : "   ");
        std::cerr << line << std::flush;
    }

    using Clock = std::chrono::steady_clock;
    bool terminal_;
    uint64_t files_ = 0, bytes_ = 0;
    bool shown_ = false;
    Clock::time_point start_, last_;
};

}  // namespace

PackCommand::PackCommand(CLI::App& app)
    : command_(app.add_subcommand(
          "pack", "Pack a Java application (its jars and settings) into one executable for Linux or Windows")) {
    addFileOptions();
    addWindowsOptions();
    addRuntimeOptions();
    command_->add_option("files", inputs_,
                         "Files for the archive: PATH (stored under its file name) or NAME=PATH "
                         "(stored as NAME, e.g. lib/app.jar=build/app.jar)");
}

void PackCommand::addFileOptions() {
    CLI::App* pack = command_;
    request_.target = HUX_HOST_TARGET;
    pack->add_option("-t,--target", request_.target,
                     "linux-x64 or windows-x64 (default: this host's, " HUX_HOST_TARGET ")");
    pack->add_option("-o,--output", request_.outputPath,
                     "The executable to write (default: the first jar's name without .jar, .exe added for "
                     "windows-x64, in the current directory)");
    pack->add_option("-c,--config", request_.configPath, "A file of 'key value' configuration lines");
    pack->add_option("-l,--line", request_.extraLines, "A further configuration line, e.g. \"mainclass app.Main\"")
        ->allow_extra_args(false);
    pack->add_option("--stub", request_.stubPath, "Use this launcher stub instead of the shipped one");
    pack->add_option("--data-dir", dataDir_, "Where the stubs and support classes are (default: <bin>/../share/hux)");
    pack->add_option("--archive-comment", request_.archiveComment, "A zip comment after the archive's end record");
    pack->add_flag("--no-main", noMain_, "Allow a configuration without 'mainclass'");
    pack->add_flag("--no-compatible", noCompatible_,
                   "Do not add 'compatible true' (class files are then not readable as resources)");
    pack->add_flag("--keep-sharing-note", keepSharingNote_,
                   "Do not add the options that silence the JVM's class-data sharing note");
    pack->add_flag("--flatten", request_.flatten,
                   "Store the entries of the .jar files at the top level of the archive instead of the jars "
                   "(for libraries that need a plain jar layout)");
    pack->add_flag("--fast", request_.fast,
                   "The fastest start with java -cp's class loading: --flatten, the JDK's own class loader and "
                   "a class-data archive (cds auto)");
    pack->add_flag("--verbose", request_.verbose, "List every absent jar that a manifest's Class-Path names");
    pack->add_flag("--no-class-path-jars", noClassPathJars_,
                   "Do not add the jars that the jars' manifests name in Class-Path");
}

// Windows executables: how the application looks in the shell, and its
// signature.
void PackCommand::addWindowsOptions() {
    CLI::App* pack = command_;
    auto versionOption = [this, pack](const char* name, const char* what) {
        pack->add_option_function<std::string>(
            std::string("--") + name, [this, name](const std::string& v) { versionFields_.emplace_back(name, v); },
            what);
    };
    pack->add_option("--icon", request_.look.iconPath,
                     "windows-x64: the application icon (.ico, or .png up to 256x256)");
    pack->add_option("--manifest", request_.look.manifestPath,
                     "windows-x64: the application manifest (default: hux's)");
    pack->add_flag("--gui", request_.look.gui, "windows-x64: no console window (GUI subsystem)");
    versionOption("product-name", "windows-x64: the product name shown by Explorer and Task Manager");
    versionOption("file-description", "windows-x64: the file description (default: the product name)");
    versionOption("company", "windows-x64: the company name");
    versionOption("copyright", "windows-x64: the copyright notice");
    versionOption("version", "windows-x64: the file version, 1.2.3.4 or text after it (2.1-beta)");
    versionOption("product-version", "windows-x64: the product version (default: the file version)");
    versionOption("language", "windows-x64: the version information's language, 0x0407 or de-DE (default: en-US)");
    pack->add_option("--version-info", versionInfoPath_, "windows-x64: a file of key=value version fields");
    pack->add_option("--sign-key", request_.sign.key,
                     "windows-x64: sign with this private key, PEM or PKCS#12 (.pfx, .p12; needs osslsigncode, "
                     "or signtool on Windows)");
    pack->add_option("--sign-cert", request_.sign.cert, "windows-x64: the certificate for a PEM --sign-key");
    pack->add_option("--sign-pass-file", request_.sign.passFile,
                     "windows-x64: read the key's pass phrase from this file");
    pack->add_option("--sign-pass-env", request_.sign.passEnv,
                     "windows-x64: take the key's pass phrase from this environment variable");
    pack->add_option("--timestamp", request_.sign.timestampUrl,
                     "windows-x64: time-stamp the signature at this RFC 3161 server (URL)");
    request_.sign.hostTarget = HUX_HOST_TARGET;
}

// The runtime shipped with the application.
void PackCommand::addRuntimeOptions() {
    CLI::App* pack = command_;
    pack->add_option("--runtime", runtimeDir_,
                     "Copy this runtime image (a JDK or a jlink output) beside the "
                     "executable as its private jre/ folder");
    pack->add_option("--embed-runtime", embedRuntimeDir_,
                     "Store this runtime image inside the executable (unpacked once per user into the cache)");
    pack->add_flag("--jlink", request_.runtime.jlink,
                   "Make a small runtime with jdeps and jlink (modules the packed jars need) as jre/ beside the "
                   "executable");
    pack->add_flag("--embed", embed_, "With --jlink: store that runtime inside the executable instead");
    pack->add_option("--jdk", request_.runtime.jdk,
                     "With --jlink: the JDK whose modules are linked (default: JAVA_HOME, else the javac on PATH); "
                     "for windows-x64 from another system, a Windows JDK's folder");
    pack->add_option("--add-modules", request_.runtime.addModules,
                     "With --jlink: modules to add to those jdeps finds, comma-separated")
        ->allow_extra_args(false);
    train_ = pack->add_option("--train", trainText_,
                              "With --jlink --embed or --embed-runtime of Java 24+: run the application once at pack "
                              "time with these arguments (one text, split as a command line) and store its "
                              "ahead-of-time cache")
                 ->allow_extra_args(false);
}

int PackCommand::takeRuntime() {
    if (!runtimeDir_.empty() + !embedRuntimeDir_.empty() + request_.runtime.jlink > 1)
        return refuse("--runtime, --embed-runtime and --jlink each name the runtime: use one", 2);
    if (embed_ && !request_.runtime.jlink)
        return refuse("--embed goes with --jlink (to store a runtime you have, use --embed-runtime DIR)", 2);
    if (!request_.runtime.jlink && (!request_.runtime.jdk.empty() || !request_.runtime.addModules.empty()))
        return refuse("--jdk and --add-modules go with --jlink", 2);
    request_.runtime.imageDir = runtimeDir_.empty() ? embedRuntimeDir_ : runtimeDir_;
    request_.runtime.embed = embed_ || !embedRuntimeDir_.empty();
    request_.runtime.hostTarget = HUX_HOST_TARGET;
    request_.runtime.train = train_ && train_->count() > 0;
    if (request_.runtime.train && !splitTrainingArguments(trainText_, request_.runtime.trainArgs))
        return refuse("--train: an argument has no closing quote", 2);
    return 0;
}

int PackCommand::takeVersionInformation() {
    std::string error;
    if (!versionInfoPath_.empty()) {
        std::vector<uint8_t> bytes;
        if (!readFile(versionInfoPath_, bytes))
            return refuse("cannot read the version information '" + versionInfoPath_ + "'", 1);
        std::vector<std::string> lines;
        if (!readConfigLines(bytes, lines, error)) return refuse(versionInfoPath_ + ": " + error, 1);
        for (const std::string& line : lines)
            if (!applyVersionInfoLine(request_.look.version, line, error))
                return refuse(versionInfoPath_ + ": " + error, 1);
    }
    for (const auto& [name, value] : versionFields_)
        if (!applyVersionInfoLine(request_.look.version, name + "=" + value, error))
            return refuse("--" + name + ": " + error, 2);
    return 0;
}

// PATH is stored under its file name, NAME=PATH as NAME (unless a file is
// named so).
void PackCommand::takeInputs() {
    std::error_code ec;
    for (const std::string& input : inputs_) {
        const size_t eq = input.find('=');
        if (eq != std::string::npos && eq > 0 && !fs::exists(pathOf(input), ec)) {
            request_.files.emplace_back(input.substr(0, eq), input.substr(eq + 1));
        } else {
            request_.files.emplace_back(textOf(pathOf(input).filename()), input);
        }
    }
}

int PackCommand::takeOutputAndData() {
    if (request_.files.empty() && request_.configPath.empty() && request_.extraLines.empty())
        return refuse("nothing to pack: name the jar (hux pack app.jar; see --help)", 2);
    if (request_.outputPath.empty()) request_.outputPath = defaultOutputName(request_.files, request_.target);
    if (request_.outputPath.empty()) return refuse("name the executable to write with -o (no jar to name it after)", 2);
    request_.look.fileName = textOf(pathOf(request_.outputPath).filename());
    const fs::path data = dataDir_.empty() ? dataDirectory() : pathOf(dataDir_);
    if (request_.stubPath.empty())
        request_.stubPath = textOf(data / "stubs" / request_.target / stubFileName(request_.target));
    request_.javaClassesDir = textOf(data / "java");
    request_.requireMain = !noMain_;
    request_.classResources = !noCompatible_;
    request_.quietSharingNote = !keepSharingNote_;
    request_.classPathJars = !noClassPathJars_;
    return 0;
}

int PackCommand::run() {
    if (const int code = takeRuntime()) return code;
    request_.report = [](const std::string& line) { std::cout << "hux pack: " << line << std::endl; };
    if (const std::string problem = targetProblem(request_.target); !problem.empty()) return refuse(problem, 2);
    if (const int code = takeVersionInformation()) return code;
    takeInputs();
    if (const int code = takeOutputAndData()) return code;
    const std::string mistake = commandLineProblem(request_);
    if (!mistake.empty()) return refuse(mistake, 2);
    ProgressLine progress(platform::standardErrorIsTerminal());
    request_.progress = [&progress](uint64_t files, uint64_t bytes) { progress.update(files, bytes); };
    std::vector<std::string> warnings;
    std::string error;
    const bool packed = pack(request_, error, warnings);
    progress.finish();
    // A refusal is its one line: the warnings are about a file not written.
    if (!packed) return refuse(error, 1);
    for (const std::string& warning : warnings) std::cerr << "hux pack: warning: " << warning << "\n";
    return 0;
}

}  // namespace hux::tool
