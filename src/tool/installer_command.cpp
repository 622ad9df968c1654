#include "tool/installer_command.h"

#include <iostream>

#include "tool/file_names.h"
#include "tool/packer.h"

namespace hux::tool {

namespace {

int refuse(const std::string& line, int code) {
    std::cerr << "hux installer: " << line << "\n";
    return code;
}

}  // namespace

InstallerCommand::InstallerCommand(CLI::App& app)
    : command_(app.add_subcommand("installer", "Make an installer (.deb or .msi) for a packed executable")) {
    CLI::App* c = command_;
    c->add_option("executable", request_.executablePath,
                  "The packed executable (a jre/ folder beside it goes into the installer too)")
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
    request_.sign.hostTarget = request_.hostTarget = HUX_HOST_TARGET;
    c->add_option("--sign-key", request_.sign.key,
                  "msi: sign the executable and the package with this key, PEM or PKCS#12 (.pfx, .p12)");
    c->add_option("--sign-cert", request_.sign.cert, "msi: the certificate for a PEM --sign-key");
    c->add_option("--sign-pass-file", request_.sign.passFile, "msi: the key's pass phrase is this file's first line");
    c->add_option("--sign-pass-env", request_.sign.passEnv,
                  "msi: the key's pass phrase is in this environment variable");
    c->add_option("--timestamp", request_.sign.timestampUrl, "msi: time-stamp the signatures at this RFC 3161 server");
}

int InstallerCommand::run() {
    std::string error;
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
    if (request_.name.empty()) request_.name = defaultPackageName(request_.executablePath);
    const std::string mistake = installerRequestProblem(request_);
    if (!mistake.empty()) return refuse(mistake, 2);
    if (request_.outputPath.empty()) request_.outputPath = defaultInstallerName(request_);
    const bool written = request_.format == "msi" ? writeMsi(request_, error) : writeDeb(request_, error);
    if (!written) return refuse(error, 1);
    std::cout << "hux installer: wrote " << request_.outputPath << std::endl;
    return 0;
}

}  // namespace hux::tool
