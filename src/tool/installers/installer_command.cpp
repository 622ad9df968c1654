#include "tool/installers/installer_command.h"

#include <filesystem>
#include <iostream>

#include "platform/process.h"
#include "tool/payload/file_names.h"
#include "tool/packer.h"

namespace fs = std::filesystem;

namespace hux::tool {

namespace {

int refuse(const std::string& line, int code) {
    std::cerr << "hux installer: " << line << "\n";
    return code;
}

}  // namespace

InstallerCommand::InstallerCommand(CLI::App& app)
    : command_(app.add_subcommand(
          "installer", "Make an installer (.deb or .msi) for a packed executable, or for jars packed first")) {
    CLI::App* c = command_;
    c->add_option("inputs", inputs_,
                  "The packed executable (a jre/ folder beside it goes into the installer too), or the jars "
                  "and files hux pack takes (PATH or NAME=PATH), packed first for the installer's system")
        ->required();
    c->add_option("-o,--output", request_.outputPath,
                  "The installer to write (default: NAME_VERSION_amd64.deb, or NAME.msi for a .exe)");
    c->add_option("--format", request_.format, "deb or msi (default: from the output's name, else the executable's)");
    c->add_option("--name", request_.name,
                  "The package, folder and command name (default: the executable's name in lower case)");
    auto field = [this, c](const char* name, const char* what) {
        c->add_option_function<std::string>(
            std::string("--") + name, [this, name](const std::string& v) { versionFields_.emplace_back(name, v); },
            what);
    };
    field("product-name", "The name shown in menus and the list of installed programs");
    field("version", "The version, 1.2.3 (a newer one replaces an older one on install)");
    field("company", "The publisher");
    field("file-description", "The one-line description (default: the product name)");
    field("copyright", "The copyright notice");
    c->add_option("--version-info", versionInfoPath_, "A file of key=value version fields, as hux pack reads it");
    c->add_option("--icon", request_.iconPath, "The icon (.png, or .ico)");
    c->add_option("--associate", associations_,
                  "Open files of this extension with the application: .ext or .ext=description (repeatable)")
        ->allow_extra_args(false);
    c->add_option("--maintainer", request_.maintainer, "deb: the Maintainer field, \"Name <address>\"");
    c->add_flag("--depends-java", request_.dependsOnJava, "deb: depend on a Java runtime package");
    c->add_flag("--per-machine", request_.perMachine, "msi: install for every user under Program Files");
    c->add_flag("--desktop-shortcut", request_.desktopShortcut, "msi: also put a shortcut on the desktop");
    c->add_option("-c,--config", configPath_, "With jars: a file of 'key value' configuration lines, as for hux pack");
    c->add_option("-l,--line", lines_, "With jars: a further configuration line, e.g. \"mainclass app.Main\"")
        ->allow_extra_args(false);
    c->add_flag("--jlink", runtime_.jlink, "With jars: make a small runtime with jdeps and jlink, installed as jre/");
    c->add_option("--jdk", runtime_.jdk, "With --jlink: the JDK whose modules are linked");
    c->add_option("--add-modules", runtime_.addModules, "With --jlink: modules to add, comma-separated")
        ->allow_extra_args(false);
    c->add_option("--runtime", runtimeDir_, "With jars: install this runtime image as jre/");
    c->add_flag("--flatten", flatten_, "With jars: store the jars' entries at the top level, as hux pack --flatten");
    c->add_flag("--gui", gui_, "With jars, msi: no console window");
    request_.sign.hostTarget = request_.hostTarget = runtime_.hostTarget = HUX_HOST_TARGET;
    c->add_option("--sign-key", request_.sign.key,
                  "msi: sign the executable and the package with this key, PEM or PKCS#12 (.pfx, .p12)");
    c->add_option("--sign-cert", request_.sign.cert, "msi: the certificate for a PEM --sign-key");
    c->add_option("--sign-pass-file", request_.sign.passFile, "msi: the key's pass phrase is this file's first line");
    c->add_option("--sign-pass-env", request_.sign.passEnv,
                  "msi: the key's pass phrase is in this environment variable");
    c->add_option("--timestamp", request_.sign.timestampUrl, "msi: time-stamp the signatures at this RFC 3161 server");
}

namespace {

bool isJar(const std::string& input) {
    const std::string ext = textOf(pathOf(input).extension());
    return ext == ".jar" || ext == ".JAR";
}

// Data shipped with the tool: <bin>/../share/hux.
fs::path dataDirectory() {
    const ByteString self = platform::moduleFileName().value();
    return pathOf(self.c_str()).parent_path().parent_path() / "share" / "hux";
}

}  // namespace

int InstallerCommand::packFirst(const std::string& folder) {
    PackRequest job;
    job.target = request_.format == "msi" ? "windows-x64" : "linux-x64";
    std::error_code ec;
    for (const std::string& input : inputs_) {
        const size_t eq = input.find('=');
        if (eq != std::string::npos && eq > 0 && !fs::exists(pathOf(input), ec))
            job.files.emplace_back(input.substr(0, eq), input.substr(eq + 1));
        else
            job.files.emplace_back(textOf(pathOf(input).filename()), input);
    }
    job.configPath = configPath_;
    job.extraLines = lines_;
    job.flatten = flatten_;
    job.runtime = runtime_;
    job.runtime.imageDir = runtimeDir_;
    const bool windows = job.target == "windows-x64";
    const std::string fileName = request_.name + (windows ? ".exe" : "");
    job.outputPath = textOf(pathOf(folder) / fileName);
    if (windows) {
        // The executable carries the icon and the version the installer shows;
        // the installer signs its copy.
        job.look.iconPath = request_.iconPath;
        job.look.version = request_.version;
        job.look.gui = gui_;
        job.look.fileName = fileName;
    } else if (gui_) {
        return refuse("--gui goes with Windows installers (--format msi)", 2);
    }
    const fs::path data = dataDirectory();
    job.stubPath = textOf(data / "stubs" / job.target / (windows ? "hux-stub.exe" : "hux-stub"));
    job.javaClassesDir = textOf(data / "java");
    job.report = [](const std::string& line) { std::cout << "hux installer: " << line << std::endl; };
    if (const std::string mistake = commandLineProblem(job); !mistake.empty()) return refuse(mistake, 2);
    fs::create_directories(pathOf(folder), ec);
    std::string error;
    std::vector<std::string> warnings;
    if (!pack(job, error, warnings)) return refuse(error, 1);
    for (const std::string& warning : warnings) std::cerr << "hux installer: warning: " << warning << "\n";
    request_.executablePath = job.outputPath;
    return 0;
}

int InstallerCommand::run() {
    std::string error;
    const bool fromJars = inputs_.size() > 1 || isJar(inputs_[0]) || inputs_[0].find('=') != std::string::npos;
    if (!fromJars) request_.executablePath = inputs_[0];
    if (!fromJars &&
        (!configPath_.empty() || !lines_.empty() || runtime_.jlink || !runtimeDir_.empty() || flatten_ || gui_))
        return refuse("-c, --line, --jlink, --runtime, --flatten and --gui go with jars (hux installer app.jar ...)",
                      2);
    if (!versionInfoPath_.empty()) {
        std::vector<uint8_t> bytes;
        std::vector<std::string> lines;
        if (!readFile(versionInfoPath_, bytes))
            return refuse("cannot read the version information '" + versionInfoPath_ + "'", 1);
        if (!readConfigLines(bytes, lines, error)) return refuse(versionInfoPath_ + ": " + error, 1);
        for (const std::string& line : lines)
            if (!applyVersionInfoLine(request_.version, line, error)) return refuse(versionInfoPath_ + ": " + error, 1);
    }
    for (const auto& [name, value] : versionFields_)
        if (!applyVersionInfoLine(request_.version, name + "=" + value, error))
            return refuse("--" + name + ": " + error, 2);
    if (request_.version.get("ProductVersion").empty() && !request_.version.get("FileVersion").empty())
        request_.version.set("ProductVersion", request_.version.get("FileVersion"));
    for (const std::string& text : associations_) {
        FileAssociation association;
        if (!parseAssociation(text, association, error)) return refuse(error, 2);
        request_.associations.push_back(association);
    }
    auto endsWith = [](const std::string& s, const char* tail) {
        const std::string t = tail;
        return s.size() >= t.size() && s.compare(s.size() - t.size(), t.size(), t) == 0;
    };
    if (request_.format.empty())
        request_.format = endsWith(request_.outputPath, ".msi") ||
                                  (request_.outputPath.empty() && endsWith(request_.executablePath, ".exe"))
                              ? "msi"
                              : "deb";
    // From jars, the first one's name (the path of a NAME=PATH input).
    if (request_.name.empty())
        request_.name = defaultPackageName(fromJars ? textOf(pathOf(inputs_[0].substr(inputs_[0].find('=') + 1)).stem())
                                                    : request_.executablePath);
    const std::string mistake = installerRequestProblem(request_);
    if (!mistake.empty()) return refuse(mistake, 2);
    if (request_.outputPath.empty()) request_.outputPath = defaultInstallerName(request_);
    // From jars: the executable (and its jre/) is packed beside the output,
    // and goes once the installer holds it.
    const std::string packed = request_.outputPath + ".hux-pack";
    struct Cleanup {
        std::string folder;
        ~Cleanup() {
            std::error_code ec;
            if (!folder.empty()) fs::remove_all(pathOf(folder), ec);
        }
    } cleanup{fromJars ? packed : ""};
    if (fromJars)
        if (const int code = packFirst(packed); code != 0) return code;
    const bool written = request_.format == "msi" ? writeMsi(request_, error) : writeDeb(request_, error);
    if (!written) return refuse(error, 1);
    std::cout << "hux installer: wrote " << request_.outputPath << std::endl;
    return 0;
}

}  // namespace hux::tool
