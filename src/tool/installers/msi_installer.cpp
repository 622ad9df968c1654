// The Windows Installer package: the WiX source for the executable (signed
// first when asked), its jre/, a Start-menu shortcut, file associations and
// the Apps entry, built by wixl and signed after.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <map>

#include "platform/run_program.h"
#include "tool/payload/file_names.h"
#include "tool/installers/installer.h"
#include "tool/runtime/runtime_image.h"
#include "tool/windows/signing.h"

namespace fs = std::filesystem;

namespace hux::tool {

namespace {

uint32_t rotl(uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

std::vector<uint8_t> sha1(const std::vector<uint8_t>& message) {
    uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    std::vector<uint8_t> m = message;
    const uint64_t bits = static_cast<uint64_t>(message.size()) * 8;
    m.push_back(0x80);
    while (m.size() % 64 != 56) m.push_back(0);
    for (int shift = 56; shift >= 0; shift -= 8) m.push_back(static_cast<uint8_t>(bits >> shift));
    for (size_t block = 0; block < m.size(); block += 64) {
        uint32_t w[80];
        for (int i = 0; i < 16; ++i)
            w[i] = (uint32_t{m[block + 4 * i]} << 24) | (m[block + 4 * i + 1] << 16) | (m[block + 4 * i + 2] << 8) |
                   m[block + 4 * i + 3];
        for (int i = 16; i < 80; ++i) w[i] = rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
        for (int i = 0; i < 80; ++i) {
            const uint32_t f = i < 20   ? (b & c) | (~b & d)
                               : i < 40 ? b ^ c ^ d
                               : i < 60 ? (b & c) | (b & d) | (c & d)
                                        : b ^ c ^ d;
            const uint32_t k = i < 20 ? 0x5A827999 : i < 40 ? 0x6ED9EBA1 : i < 60 ? 0x8F1BBCDC : 0xCA62C1D6;
            const uint32_t t = rotl(a, 5) + f + e + k + w[i];
            e = d;
            d = c;
            c = rotl(b, 30);
            b = a;
            a = t;
        }
        h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e;
    }
    std::vector<uint8_t> out;
    for (const uint32_t v : h)
        for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
    return out;
}

// The hux namespace for the installers' name-based identifiers.
constexpr uint8_t kNamespace[16] = {0x6b, 0x1f, 0x3e, 0x52, 0x8d, 0x4a, 0x4c, 0x0e,
                                    0x9b, 0x27, 0x51, 0xd6, 0xa3, 0x80, 0x12, 0x7c};

}  // namespace

std::string nameBasedUuid(const std::string& name) {
    std::vector<uint8_t> input(kNamespace, kNamespace + 16);
    input.insert(input.end(), name.begin(), name.end());
    std::vector<uint8_t> hash = sha1(input);
    hash[6] = static_cast<uint8_t>((hash[6] & 0x0F) | 0x50);  // version 5
    hash[8] = static_cast<uint8_t>((hash[8] & 0x3F) | 0x80);  // RFC 4122 variant
    char text[37];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", hash[0],
                  hash[1], hash[2], hash[3], hash[4], hash[5], hash[6], hash[7], hash[8], hash[9], hash[10], hash[11],
                  hash[12], hash[13], hash[14], hash[15]);
    return text;
}

namespace {

std::string xmlText(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else if (c == '"')
            out += "&quot;";
        else
            out += c;
    }
    return out;
}

// wixl takes source files by paths relative to the current folder.
std::string sourcePath(const fs::path& path) {
    std::error_code ec;
    const fs::path relative = fs::relative(path, fs::current_path(ec), ec);
    return xmlText(textOf(ec || relative.empty() ? path : relative));
}

std::string field(const InstallerRequest& request, const char* key, const std::string& fallback) {
    const std::string value = request.version.get(key);
    return value.empty() ? fallback : value;
}

// Windows Installer versions are three numbers: major and minor up to 255.
std::string msiVersion(const VersionInfo& info) {
    const uint16_t* v = info.productVersionSet ? info.productVersion : info.version;
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u", v[0] > 255 ? 255u : v[0], v[1] > 255 ? 255u : v[1], unsigned{v[2]});
    return text;
}

struct Source {
    std::string xml;
    std::vector<std::string> components;
    int ids = 0;
    std::string id(const char* prefix) { return prefix + std::to_string(++ids); }
};

// One component per folder of the runtime, its identifier derived from the
// folder's place so that every version names it alike.
void runtimeFolder(const InstallerRequest& request, const fs::path& dir, const std::string& relative, Source& out,
                   const std::string& indent) {
    std::error_code ec;
    std::vector<fs::path> files, dirs;
    for (const auto& entry : fs::directory_iterator(dir, ec))
        (entry.is_directory(ec) ? dirs : files).push_back(entry.path());
    std::sort(files.begin(), files.end());
    std::sort(dirs.begin(), dirs.end());
    // Folders inside first: a folder is removed once it is empty.
    for (const fs::path& sub : dirs) {
        out.xml += indent + "<Directory Id=\"" + out.id("D") + "\" Name=\"" + xmlText(textOf(sub.filename())) + "\">\n";
        runtimeFolder(request, sub, relative + "/" + textOf(sub.filename()), out, indent + "  ");
        out.xml += indent + "</Directory>\n";
    }
    // A folder that holds only folders comes and goes with them.
    if (files.empty() && !dirs.empty()) return;
    const std::string component = out.id("Runtime");
    out.xml += indent + "<Component Id=\"" + component + "\" Win64=\"yes\" Guid=\"" +
               nameBasedUuid(request.name + "|" + (request.perMachine ? "machine|" : "user|") + relative) + "\">\n";
    if (files.empty()) out.xml += indent + "  <CreateFolder/>\n";
    out.xml += indent + "  <RemoveFolder Id=\"" + out.id("R") + "\" On=\"uninstall\"/>\n";
    for (const fs::path& file : files)
        out.xml += indent + "  <File Id=\"" + out.id("F") + "\" Name=\"" + xmlText(textOf(file.filename())) +
                   "\" Source=\"" + sourcePath(file) + "\"/>\n";
    out.xml += indent + "</Component>\n";
    out.components.push_back(component);
}

}  // namespace

std::string wixSource(const InstallerRequest& request, const std::string& exePath) {
    const std::string product = xmlText(field(request, "ProductName", request.name));
    const std::string publisher = xmlText(field(request, "CompanyName", field(request, "ProductName", request.name)));
    const std::string exeName = xmlText(textOf(pathOf(request.executablePath).filename()));
    const std::string scope = request.perMachine ? "machine|" : "user|";
    Source s;
    s.xml =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
        "<Wix xmlns=\"http://schemas.microsoft.com/wix/2006/wi\">\n"
        "  <Product Id=\"*\" Name=\"" +
        product + "\" Language=\"1033\" Version=\"" + msiVersion(request.version) + "\" Manufacturer=\"" + publisher +
        "\" UpgradeCode=\"" + nameBasedUuid(request.name + "|" + publisher) +
        "\">\n"
        "    <Package InstallerVersion=\"500\" Compressed=\"yes\" InstallScope=\"" +
        (request.perMachine ? "perMachine" : "perUser") + "\" Description=\"" +
        xmlText(field(request, "FileDescription", product)) + "\" Manufacturer=\"" + publisher +
        "\"/>\n"
        "    <MajorUpgrade DowngradeErrorMessage=\"A newer version of " +
        product +
        " is already installed.\"/>\n"
        "    <Media Id=\"1\" Cabinet=\"app.cab\" EmbedCab=\"yes\"/>\n"
        "    <Icon Id=\"AppIcon.exe\" SourceFile=\"" +
        sourcePath(pathOf(exePath)) +
        "\"/>\n"
        "    <Property Id=\"ARPPRODUCTICON\" Value=\"AppIcon.exe\"/>\n"
        "    <Directory Id=\"TARGETDIR\" Name=\"SourceDir\">\n";
    s.xml +=
        request.perMachine
            ? "      <Directory Id=\"ProgramFiles64Folder\">\n        <Directory Id=\"Programs\">\n"
            : "      <Directory Id=\"LocalAppDataFolder\">\n        <Directory Id=\"Programs\" Name=\"Programs\">\n";
    s.xml += "          <Directory Id=\"INSTALLDIR\" Name=\"" + xmlText(request.name) + "\">\n";
    std::error_code ec;
    const fs::path jre = pathOf(request.executablePath).parent_path() / "jre";
    if (fs::is_directory(jre, ec)) {
        s.xml += "            <Directory Id=\"Jre\" Name=\"jre\">\n";
        runtimeFolder(request, jre, "jre", s, "              ");
        s.xml += "            </Directory>\n";
    }
    s.xml += "            <Component Id=\"Main\" Win64=\"yes\" Guid=\"" +
             nameBasedUuid(request.name + "|" + scope + "main") +
             "\">\n"
             "              <File Id=\"MainExe\" Name=\"" +
             exeName + "\" Source=\"" + sourcePath(pathOf(exePath)) +
             "\" KeyPath=\"yes\">\n"
             "                <Shortcut Id=\"StartMenu\" Directory=\"ProgramMenuFolder\" Name=\"" +
             product + "\" WorkingDirectory=\"INSTALLDIR\" Icon=\"AppIcon.exe\"/>\n";
    if (request.desktopShortcut)
        s.xml += "                <Shortcut Id=\"Desktop\" Directory=\"DesktopFolder\" Name=\"" + product +
                 "\" WorkingDirectory=\"INSTALLDIR\" Icon=\"AppIcon.exe\"/>\n";
    s.xml += "              </File>\n              <RemoveFolder Id=\"RemoveInstallDir\" On=\"uninstall\"/>\n";
    for (const FileAssociation& a : request.associations)
        s.xml += "              <ProgId Id=\"" + xmlText(request.name + "." + a.extension) + "\" Description=\"" +
                 xmlText(a.description) +
                 "\">\n"
                 "                <Extension Id=\"" +
                 xmlText(a.extension) + "\" ContentType=\"" + xmlText(mimeTypeOf(request.name, a)) +
                 "\">\n"
                 "                  <Verb Id=\"open\" Command=\"Open\" TargetFile=\"MainExe\" "
                 "Argument=\"&quot;%1&quot;\"/>\n"
                 "                </Extension>\n              </ProgId>\n"
                 "              <RegistryValue Root=\"HKCR\" Key=\"" +
                 xmlText(request.name + "." + a.extension) +
                 "\\DefaultIcon\" Type=\"string\" Value=\"[#MainExe],0\"/>\n";
    s.xml += "            </Component>\n";
    s.components.push_back("Main");
    s.xml +=
        "          </Directory>\n        </Directory>\n      </Directory>\n"
        "      <Directory Id=\"ProgramMenuFolder\"/>\n      <Directory Id=\"DesktopFolder\"/>\n"
        "    </Directory>\n    <Feature Id=\"Application\" Level=\"1\">\n";
    for (const std::string& c : s.components) s.xml += "      <ComponentRef Id=\"" + c + "\"/>\n";
    return s.xml + "    </Feature>\n  </Product>\n</Wix>\n";
}

std::vector<MsiStep> msiBuildSteps(const std::string& hostTarget, const std::function<bool(const std::string&)>& found,
                                   const std::string& wxs, const std::string& object, const std::string& output,
                                   std::string& error) {
    const bool windows = hostTarget == "windows-x64";
    // The source is the version 3 schema that wixl reads; `wix convert`
    // rewrites it in place for version 4 and later. The per-user components
    // keep their files as key paths, which wixl takes and the validation
    // that needs the Windows Installer service (-sval) would refuse.
    if (windows && found("wix"))
        return {{{"wix", "convert", "-nologo", wxs}, false},
                {{"wix", "build", "-nologo", "-arch", "x64", "-sval", "-o", output, wxs}}};
    if (windows && found("candle") && found("light"))
        return {{{"candle", "-nologo", "-arch", "x64", "-out", object, wxs}},
                {{"light", "-nologo", "-sval", "-out", output, object}}};
    if (found("wixl")) return {{{"wixl", "-a", "x64", "-o", output, wxs}}};
    error = windows ? "writing a .msi needs the WiX toolset on PATH (dotnet tool install --global wix), or wixl "
                      "(msitools from MSYS2)"
                    : "writing a .msi needs wixl (apt install wixl)";
    return {};
}

bool writeMsi(const InstallerRequest& request, std::string& error) {
    std::error_code ec;
    const fs::path source = pathOf(request.executablePath);
    if (!fs::is_regular_file(source, ec)) {
        error = "cannot read the executable '" + request.executablePath + "'";
        return false;
    }
    const fs::path output = pathOf(request.outputPath);
    const fs::path work = fs::path(output).concat(".hux-stage");
    const fs::path partial = fs::path(output).concat(".hux-partial");
    fs::remove_all(work, ec);
    fs::create_directories(work, ec);
    // The executable that goes in is a copy, signed when asked.
    const fs::path exe = work / textOf(source.filename());
    bool ok = fs::copy_file(source, exe, fs::copy_options::overwrite_existing, ec);
    if (!ok) error = "cannot copy '" + request.executablePath + "': " + ec.message();
    const bool sign = request.sign.wanted();
    if (ok && sign) ok = signExecutable(textOf(exe), request.sign, error);
    std::string wxs;
    if (ok) {
        wxs = wixSource(request, textOf(exe));
        std::ofstream out(work / "installer.wxs", std::ios::binary);
        out << wxs;
        out.close();
        if (!out) {
            error = "cannot write the installer's source in '" + textOf(work) + "'";
            ok = false;
        }
    }
    if (ok) {
        const std::string log = textOf(work / "build.log");
        auto found = [](const std::string& program) { return !findOnPath(program).empty(); };
        const std::vector<MsiStep> steps = msiBuildSteps(request.hostTarget, found, textOf(work / "installer.wxs"),
                                                         textOf(work / "installer.wixobj"), textOf(partial), error);
        ok = !steps.empty();
        for (const MsiStep& step : steps) {
            // What a step whose exit code does not count says is no failure.
            const platform::Result<int> run = step.checked ? platform::runProgramToFile(step.argv, log)
                                                           : platform::runProgramCapturing(step.argv, log);
            if (step.checked && (!run || run.value() != 0)) {
                error =
                    !run ? run.status().message()
                         : step.argv[0] + " could not write the installer (exit " + std::to_string(run.value()) + ")";
                ok = false;
                break;
            }
        }
    }
    if (ok && sign) ok = signExecutable(textOf(partial), request.sign, error);
    if (ok) {
        fs::rename(partial, output, ec);
        if (ec) {
            error = "cannot write '" + request.outputPath + "': " + ec.message();
            ok = false;
        }
    }
    fs::remove(exe, ec);
    fs::remove(partial, ec);
    fs::remove_all(work, ec);
    return ok;
}

}  // namespace hux::tool
