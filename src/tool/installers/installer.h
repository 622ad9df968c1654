// Installers for a packed executable: a Debian package (.deb, written with
// dpkg-deb) and a Windows Installer package (.msi, written with wixl or the
// WiX toolset), each with a menu entry, the icon and file associations.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "tool/windows/signing.h"
#include "tool/windows/win_resources.h"

namespace hux::tool {

struct FileAssociation {
    std::string extension;    // without the dot: "hxd"
    std::string description;  // "Hux document"; empty: "<ext> document"
};

struct InstallerRequest {
    std::string format;          // "deb" or "msi"
    std::string executablePath;  // the packed executable; a jre/ beside it goes in too
    std::string outputPath;
    std::string name;      // the package, folder and command name
    VersionInfo version;   // product name, version, publisher (company), description, copyright
    std::string iconPath;  // .png or .ico; empty: none (msi: the executable's own icon)
    std::vector<FileAssociation> associations;
    std::string maintainer;      // deb: "Name <address>"
    bool dependsOnJava = false;  // deb: depend on a Java runtime when none is carried
    bool perMachine = false;     // msi: Program Files for every user instead of the user's own folder
    bool desktopShortcut = false;
    SignRequest sign;        // msi: sign the executable, then the package
    std::string hostTarget;  // the system the tool runs on: windows-x64 builds a .msi with the WiX toolset
};

// Parses one --associate value, ".ext" or ".ext=description"; false with
// `error` when the extension is empty or holds characters a file name
// pattern or registry key cannot carry.
bool parseAssociation(const std::string& text, FileAssociation& out, std::string& error);

// The name a package gets when none is given: the executable's file name
// without ".exe", lower-case, with characters a Debian package name cannot
// hold replaced by '-'.
std::string defaultPackageName(const std::string& executablePath);

// The installer's file name when none is given: name_version_amd64.deb or name.msi.
std::string defaultInstallerName(const InstallerRequest& request);

// What the request got wrong before anything is read (empty when nothing).
std::string installerRequestProblem(const InstallerRequest& request);

// Writes the installer; false with one line in `error`, and nothing left at
// the output path.
bool writeDeb(const InstallerRequest& request, std::string& error);
bool writeMsi(const InstallerRequest& request, std::string& error);

// The pieces of the Debian package, for tests and for writeDeb.
std::string debControl(const InstallerRequest& request, uint64_t installedKiB);
std::string desktopEntry(const InstallerRequest& request, bool hasIcon);
std::string mimePackage(const InstallerRequest& request);
std::string mimeTypeOf(const std::string& name, const FileAssociation& association);

// The WiX source for the package, with the executable's file read from
// `exePath` (a signed copy of request.executablePath); and
// the name-based identifier (a version 5 UUID) that gives the upgrade code
// and the components their stable identity.
std::string wixSource(const InstallerRequest& request, const std::string& exePath);
std::string nameBasedUuid(const std::string& name);

// One step of building the package from its WiX source: a command, and
// whether its exit code counts (`wix convert` reports each change it made
// as an error).
struct MsiStep {
    std::vector<std::string> argv;
    bool checked = true;
};

// The steps that build `wxs` into `output` on `hostTarget`, with the first
// builder `found` says is on PATH: on Windows the WiX toolset (`wix`, version 4
// and later, else version 3's candle and light, with `object` as the compiled
// file between them), else wixl; elsewhere wixl. Empty with `error` naming
// what to install when none is there.
std::vector<MsiStep> msiBuildSteps(const std::string& hostTarget, const std::function<bool(const std::string&)>& found,
                                   const std::string& wxs, const std::string& object, const std::string& output,
                                   std::string& error);

// Converts an icon (.png, or the largest image of an .ico) to PNG bytes and
// its size in pixels; false with `error` for an image it cannot convert.
bool iconAsPng(const std::vector<uint8_t>& iconFile, std::vector<uint8_t>& png, unsigned& size, std::string& error);

}  // namespace hux::tool
