// hux: packs Java applications into launcher executables and inspects them.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "platform/console.h"
#include "platform/files.h"
#include "platform/process.h"
#include "tool/aot_training.h"
#include "tool/payload_listing.h"
#include "tool/installer_command.h"
#include "tool/packer.h"
#include "tool/file_names.h"

namespace fs = std::filesystem;

namespace {

// Data shipped with the tool: <bin>/../share/hux, in the build tree and after
// installation alike.
fs::path dataDirectory() {
    const hux::ByteString self = hux::platform::moduleFileName();
    return hux::tool::pathOf(self.c_str()).parent_path().parent_path() / "share" / "hux";
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
                      seconds > 0 ? static_cast<double>(bytes) / 1e6 / seconds : 0.0,
                      done ? "\n" : "   ");
        std::cerr << line << std::flush;
    }

    using Clock = std::chrono::steady_clock;
    bool terminal_;
    uint64_t files_ = 0, bytes_ = 0;
    bool shown_ = false;
    Clock::time_point start_, last_;
};

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"hux: turns a Java application into one executable", "hux"};
    app.require_subcommand(0, 1);
    app.set_version_flag("--version", "hux " HUX_VERSION);

    // Paths are UTF-8 text throughout; on Windows the arguments are read from
    // the wide command line, so that any file name comes through.
    hux::platform::usePathsInUtf8();
    std::vector<std::string> given;
    if (!hux::platform::utf8Arguments(given)) given.assign(argv + 1, argv + argc);

    // @FILE arguments: the arguments that FILE holds.
    std::vector<std::string> args;
    for (const std::string& arg : given) {
        if (arg.size() < 2 || arg[0] != '@') {
            args.push_back(arg);
            continue;
        }
        std::ifstream in(hux::tool::pathOf(arg.substr(1)), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        if (!in || !hux::tool::splitArgumentFile(text.str(), args)) {
            std::cerr << "hux: " << (in ? "an argument in '" : "cannot read the argument file '") << arg.substr(1)
                      << (in ? "' has no closing quote\n" : "'\n");
            return 2;
        }
    }
    std::reverse(args.begin(), args.end());  // as CLI11 takes them

    hux::tool::PackRequest request;
    std::vector<std::string> inputs;
    std::string dataDir;
    auto* pack = app.add_subcommand("pack", "Pack a Java application (its jars and settings) into one executable for Linux or Windows");
    request.target = HUX_HOST_TARGET;
    pack->add_option("-t,--target", request.target, "linux-x64 or windows-x64 (default: this host's, " HUX_HOST_TARGET ")");
    pack->add_option("-o,--output", request.outputPath,
                     "The executable to write (default: the first jar's name without .jar, .exe added for "
                     "windows-x64, in the current directory)");
    pack->add_option("-c,--config", request.configPath, "A file of 'key value' configuration lines");
    pack->add_option("-l,--line", request.extraLines, "A further configuration line, e.g. \"mainclass app.Main\"")
        ->allow_extra_args(false);
    pack->add_option("--stub", request.stubPath, "Use this launcher stub instead of the shipped one");
    pack->add_option("--data-dir", dataDir, "Where the stubs and support classes are (default: <bin>/../share/hux)");
    pack->add_option("--archive-comment", request.archiveComment, "A zip comment after the archive's end record");
    bool noMain = false, noCompatible = false, keepSharingNote = false;
    pack->add_flag("--no-main", noMain, "Allow a configuration without 'mainclass'");
    pack->add_flag("--no-compatible", noCompatible,
                   "Do not add 'compatible true' (class files are then not readable as resources)");
    pack->add_flag("--keep-sharing-note", keepSharingNote,
                   "Do not add the options that silence the JVM's class-data sharing note");
    pack->add_flag("--flatten", request.flatten,
                   "Store the entries of the .jar files at the top level of the archive instead of the jars "
                   "(for libraries that need a plain jar layout)");
    pack->add_flag("--fast", request.fast,
                   "The fastest start with java -cp's class loading: --flatten, the JDK's own class loader and "
                   "a class-data archive (cds auto)");
    pack->add_flag("--verbose", request.verbose, "List every absent jar that a manifest's Class-Path names");
    bool noClassPathJars = false;
    pack->add_flag("--no-class-path-jars", noClassPathJars,
                   "Do not add the jars that the jars' manifests name in Class-Path");
    // Windows executables: how the application looks in the shell.
    std::string versionInfoPath;
    std::vector<std::pair<std::string, std::string>> versionFields;
    auto versionOption = [&](const char* name, const char* what) {
        pack->add_option_function<std::string>(
            std::string("--") + name,
            [&versionFields, name](const std::string& v) { versionFields.emplace_back(name, v); }, what);
    };
    pack->add_option("--icon", request.look.iconPath,
                     "windows-x64: the application icon (.ico, or .png up to 256x256)");
    pack->add_option("--manifest", request.look.manifestPath, "windows-x64: the application manifest (default: hux's)");
    pack->add_flag("--gui", request.look.gui, "windows-x64: no console window (GUI subsystem)");
    versionOption("product-name", "windows-x64: the product name shown by Explorer and Task Manager");
    versionOption("file-description", "windows-x64: the file description (default: the product name)");
    versionOption("company", "windows-x64: the company name");
    versionOption("copyright", "windows-x64: the copyright notice");
    versionOption("version", "windows-x64: the file version, 1.2.3.4 or text after it (2.1-beta)");
    versionOption("product-version", "windows-x64: the product version (default: the file version)");
    versionOption("language", "windows-x64: the version information's language, 0x0407 or de-DE (default: en-US)");
    pack->add_option("--version-info", versionInfoPath, "windows-x64: a file of key=value version fields");
    pack->add_option("--sign-key", request.sign.key,
                     "windows-x64: sign with this private key, PEM or PKCS#12 (.pfx, .p12; needs osslsigncode, "
                     "or signtool on Windows)");
    pack->add_option("--sign-cert", request.sign.cert, "windows-x64: the certificate for a PEM --sign-key");
    pack->add_option("--sign-pass-file", request.sign.passFile,
                     "windows-x64: read the key's pass phrase from this file");
    pack->add_option("--sign-pass-env", request.sign.passEnv,
                     "windows-x64: take the key's pass phrase from this environment variable");
    pack->add_option("--timestamp", request.sign.timestampUrl,
                     "windows-x64: time-stamp the signature at this RFC 3161 server (URL)");
    request.sign.hostTarget = HUX_HOST_TARGET;
    // The runtime shipped with the application.
    std::string runtimeDir, embedRuntimeDir;
    bool embed = false;
    pack->add_option("--runtime", runtimeDir,
                     "Copy this runtime image (a JDK or a jlink output) beside the "
                     "executable as its private jre/ folder");
    pack->add_option("--embed-runtime", embedRuntimeDir,
                     "Store this runtime image inside the executable (unpacked once per user into the cache)");
    pack->add_flag("--jlink", request.runtime.jlink,
                   "Make a small runtime with jdeps and jlink (modules the packed jars need) as jre/ beside the "
                   "executable");
    pack->add_flag("--embed", embed, "With --jlink: store that runtime inside the executable instead");
    pack->add_option("--jdk", request.runtime.jdk,
                     "With --jlink: the JDK whose modules are linked (default: JAVA_HOME, else the javac on PATH); "
                     "for windows-x64 from another system, a Windows JDK's folder");
    pack->add_option("--add-modules", request.runtime.addModules,
                     "With --jlink: modules to add to those jdeps finds, comma-separated")
        ->allow_extra_args(false);
    std::string trainText;
    pack->add_option("--train", trainText,
                     "With --jlink --embed or --embed-runtime of Java 24+: run the application once at pack time "
                     "with these arguments (one text, split as a command line) and store its ahead-of-time cache")
        ->allow_extra_args(false);
    pack->add_option("files", inputs,
                     "Files for the archive: PATH (stored under its file name) or NAME=PATH "
                     "(stored as NAME, e.g. lib/app.jar=build/app.jar)");

    std::string inspectPath;
    auto* insp = app.add_subcommand("inspect", "Show what a packed executable holds: its configuration and the files in it");
    insp->add_option("file", inspectPath, "A packed executable")->required();
    hux::tool::InstallerCommand installer(app);

    try {
        app.parse(args);
    } catch (const CLI::ParseError& e) {
        // Help and version requests print as usual; a mistake on the command
        // line is one line, like every other refusal.
        if (e.get_exit_code() == 0) return app.exit(e);
        const std::string command = *pack ? "hux pack: " : *insp ? "hux inspect: " : installer.given() ? "hux installer: " : "hux: ";
        std::cerr << command << e.what() << " (see --help)\n";
        return 2;
    }

    if (!*pack && !*insp && !installer.given()) {
        std::cerr << "hux: name a command: pack, inspect or installer (see --help)\n";
        return 2;
    }
    if (installer.given()) return installer.run();
    std::string error;
    if (*insp) {
        if (!hux::tool::inspect(inspectPath, std::cout, error)) {
            std::cerr << "hux inspect: " << error << "\n";
            return 1;
        }
        return 0;
    }

    if (!runtimeDir.empty() + !embedRuntimeDir.empty() + request.runtime.jlink > 1) {
        std::cerr << "hux pack: --runtime, --embed-runtime and --jlink each name the runtime: use one\n";
        return 2;
    }
    if (embed && !request.runtime.jlink) {
        std::cerr << "hux pack: --embed goes with --jlink (to store a runtime you have, use --embed-runtime DIR)\n";
        return 2;
    }
    if (!request.runtime.jlink && (!request.runtime.jdk.empty() || !request.runtime.addModules.empty())) {
        std::cerr << "hux pack: --jdk and --add-modules go with --jlink\n";
        return 2;
    }
    request.runtime.imageDir = runtimeDir.empty() ? embedRuntimeDir : runtimeDir;
    request.runtime.embed = embed || !embedRuntimeDir.empty();
    request.runtime.hostTarget = HUX_HOST_TARGET;
    request.runtime.train = pack->count("--train") > 0;
    if (request.runtime.train && !hux::tool::splitTrainingArguments(trainText, request.runtime.trainArgs)) {
        std::cerr << "hux pack: --train: an argument has no closing quote\n";
        return 2;
    }
    request.report = [](const std::string& line) { std::cout << "hux pack: " << line << std::endl; };
    if (!hux::tool::knownTarget(request.target)) {
        std::cerr << "hux pack: unknown target '" << request.target << "' (use linux-x64 or windows-x64)\n";
        return 2;
    }
    if (!versionInfoPath.empty()) {
        std::vector<uint8_t> bytes;
        if (!hux::tool::readFile(versionInfoPath, bytes)) {
            std::cerr << "hux pack: cannot read the version information '" << versionInfoPath << "'\n";
            return 1;
        }
        std::vector<std::string> lines;
        if (!hux::tool::readConfigLines(bytes, lines, error)) {
            std::cerr << "hux pack: " << versionInfoPath << ": " << error << "\n";
            return 1;
        }
        for (const std::string& line : lines)
            if (!hux::tool::applyVersionInfoLine(request.look.version, line, error)) {
                std::cerr << "hux pack: " << versionInfoPath << ": " << error << "\n";
                return 1;
            }
    }
    for (const auto& [name, value] : versionFields)
        if (!hux::tool::applyVersionInfoLine(request.look.version, name + "=" + value, error)) {
            std::cerr << "hux pack: --" << name << ": " << error << "\n";
            return 2;
        }
    std::error_code ec;
    for (const std::string& input : inputs) {
        const size_t eq = input.find('=');
        if (eq != std::string::npos && eq > 0 && !fs::exists(hux::tool::pathOf(input), ec)) {
            request.files.emplace_back(input.substr(0, eq), input.substr(eq + 1));
        } else {
            request.files.emplace_back(hux::tool::textOf(hux::tool::pathOf(input).filename()), input);
        }
    }
    if (request.files.empty() && request.configPath.empty() && request.extraLines.empty()) {
        std::cerr << "hux pack: nothing to pack: name the jar (hux pack app.jar; see --help)\n";
        return 2;
    }
    if (request.outputPath.empty()) request.outputPath = hux::tool::defaultOutputName(request.files, request.target);
    if (request.outputPath.empty()) {
        std::cerr << "hux pack: name the executable to write with -o (no jar to name it after)\n";
        return 2;
    }
    request.look.fileName = hux::tool::textOf(hux::tool::pathOf(request.outputPath).filename());
    const fs::path data = dataDir.empty() ? dataDirectory() : hux::tool::pathOf(dataDir);
    if (request.stubPath.empty())
        request.stubPath = hux::tool::textOf(data / "stubs" / request.target / stubFileName(request.target));
    request.javaClassesDir = hux::tool::textOf(data / "java");
    request.requireMain = !noMain;
    request.classResources = !noCompatible;
    request.quietSharingNote = !keepSharingNote;
    request.classPathJars = !noClassPathJars;
    const std::string mistake = hux::tool::commandLineProblem(request);
    if (!mistake.empty()) {
        std::cerr << "hux pack: " << mistake << "\n";
        return 2;
    }
    ProgressLine progress(hux::platform::standardErrorIsTerminal());
    request.progress = [&progress](uint64_t files, uint64_t bytes) { progress.update(files, bytes); };
    std::vector<std::string> warnings;
    const bool packed = hux::tool::pack(request, error, warnings);
    progress.finish();
    // A refusal is its one line: the warnings are about a file not written.
    if (packed)
        for (const std::string& warning : warnings) std::cerr << "hux pack: warning: " << warning << "\n";
    if (!packed) {
        std::cerr << "hux pack: " << error << "\n";
        return 1;
    }
    return 0;
}
