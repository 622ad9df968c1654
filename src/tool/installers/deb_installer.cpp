// The Debian package: the executable under /opt/<name>/ with its jre/, a
// command in /usr/bin, a desktop entry, the icon in the hicolor theme and a
// MIME type per associated extension. The package's triggers (desktop
// database, MIME database, icon cache) run from the system's own packages,
// so the package carries no maintainer scripts.
#include <zlib.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "platform/run_program.h"
#include "tool/payload/file_names.h"
#include "tool/installers/installer.h"
#include "tool/packer.h"

namespace fs = std::filesystem;

namespace hux::tool {

namespace {

std::string productName(const InstallerRequest& request) {
    const std::string product = request.version.get("ProductName");
    return product.empty() ? request.name : product;
}

std::string summary(const InstallerRequest& request) {
    const std::string description = request.version.get("FileDescription");
    return description.empty() ? productName(request) : description;
}

std::string publisher(const InstallerRequest& request) {
    const std::string company = request.version.get("CompanyName");
    return company.empty() ? productName(request) : company;
}

bool writeText(const fs::path& path, const std::string& text, std::string& error) {
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
        error = "cannot write '" + textOf(path) + "'";
        return false;
    }
    return true;
}

// Files 0644 (0755 when the owner may run them), folders 0755, as dpkg-deb
// and lintian expect whatever the umask was.
void normaliseModes(const fs::path& root) {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (it->is_symlink(ec)) continue;
        const bool run =
            it->is_directory(ec) || (it->status(ec).permissions() & fs::perms::owner_exec) != fs::perms::none;
        fs::permissions(it->path(), run ? fs::perms(0755) : fs::perms(0644), ec);
    }
}

// gzip at the best compression, without a time stamp, as Debian wants its
// documentation files.
std::string gzipped(const std::string& text) {
    z_stream zs{};
    if (deflateInit2(&zs, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) != Z_OK) return "";
    std::string out(deflateBound(&zs, static_cast<uLong>(text.size())) + 32, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    zs.avail_in = static_cast<uInt>(text.size());
    zs.next_out = reinterpret_cast<Bytef*>(&out[0]);
    zs.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return rc == Z_STREAM_END ? out : "";
}

// The time as a changelog's trailer line writes it, in any locale.
std::string changelogDate() {
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::time_t now = std::time(nullptr);
    const std::tm t = *std::gmtime(&now);  // the tool is one thread
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d +0000", kDays[t.tm_wday], t.tm_mday,
                  kMonths[t.tm_mon], t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
    return text;
}

std::string changelog(const InstallerRequest& request) {
    const std::string version = request.version.get("ProductVersion");
    return request.name + " (" + version + ") unstable; urgency=medium\n\n  * " + productName(request) + " " + version +
           ".\n\n -- " + request.maintainer + "  " + changelogDate() + "\n";
}

std::string manualPage(const InstallerRequest& request) {
    return ".TH " + request.name + " 1\n.SH NAME\n" + request.name + " \\- " + summary(request) +
           "\n.SH SYNOPSIS\n.B " + request.name + "\n[\\fIFILE\\fR]...\n.SH DESCRIPTION\n" + productName(request) +
           " " + request.version.get("ProductVersion") + ", a Java application from " + publisher(request) + ".\n";
}

std::string copyrightFile(const InstallerRequest& request) {
    const std::string notice = request.version.get("LegalCopyright");
    return "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
           "Upstream-Name: " +
           productName(request) +
           "\n\n"
           "Files: *\n"
           "Copyright: " +
           (notice.empty() ? "Copyright " + changelogDate().substr(12, 4) + " " + publisher(request) : notice) +
           "\n"
           "License: proprietary\n"
           " Distributed by " +
           publisher(request) + "; see the application for its terms.\n";
}

uint64_t treeKiB(const fs::path& root) {
    uint64_t bytes = 0;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        if (!it->is_symlink(ec) && it->is_regular_file(ec)) bytes += it->file_size(ec);
    return (bytes + 1023) / 1024;
}

// Every package under /opt meets this tag: the override says it is meant.
std::string lintianOverrides(const InstallerRequest& request) {
    return "# A third-party application installs under /opt/" + request.name + "/.\n" + request.name +
           ": dir-or-file-in-opt\n";
}

bool stage(const InstallerRequest& request, const fs::path& root, std::string& error) {
    std::error_code ec;
    const fs::path exe = pathOf(request.executablePath);
    const fs::path opt = root / "opt" / request.name;
    fs::create_directories(opt, ec);
    if (!fs::copy_file(exe, opt / exe.filename(), ec)) {
        error = "cannot copy '" + request.executablePath + "' into the package";
        return false;
    }
    fs::permissions(opt / exe.filename(), fs::perms(0755), ec);
    const fs::path jre = exe.parent_path() / "jre";
    if (fs::is_directory(jre, ec)) {
        fs::copy(jre, opt / "jre", fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
        if (ec) {
            error = "cannot copy the runtime '" + textOf(jre) + "' into the package: " + ec.message();
            return false;
        }
    }
    fs::create_directories(root / "usr" / "bin", ec);
    fs::create_symlink(fs::path("/opt") / request.name / exe.filename(), root / "usr" / "bin" / request.name, ec);
    if (ec) {
        error = "cannot make the command's link in the package: " + ec.message();
        return false;
    }
    const fs::path share = root / "usr" / "share";
    bool hasIcon = false;
    if (!request.iconPath.empty()) {
        std::vector<uint8_t> icon, png;
        unsigned size = 0;
        if (!readFile(request.iconPath, icon)) {
            error = "cannot read the icon '" + request.iconPath + "'";
            return false;
        }
        if (!iconAsPng(icon, png, size, error)) {
            error = request.iconPath + ": " + error;
            return false;
        }
        const std::string dir = std::to_string(size) + "x" + std::to_string(size);
        if (!writeText(share / "icons" / "hicolor" / dir / "apps" / (request.name + ".png"),
                       std::string(png.begin(), png.end()), error))
            return false;
        hasIcon = true;
    }
    if (!request.associations.empty() &&
        !writeText(share / "mime" / "packages" / (request.name + ".xml"), mimePackage(request), error))
        return false;
    const fs::path doc = share / "doc" / request.name;
    return writeText(share / "applications" / (request.name + ".desktop"), desktopEntry(request, hasIcon), error) &&
           writeText(doc / "changelog.gz", gzipped(changelog(request)), error) &&
           writeText(share / "man" / "man1" / (request.name + ".1.gz"), gzipped(manualPage(request)), error) &&
           writeText(doc / "copyright", copyrightFile(request), error) &&
           writeText(share / "lintian" / "overrides" / request.name, lintianOverrides(request), error);
}

}  // namespace

std::string mimeTypeOf(const std::string& name, const FileAssociation& association) {
    return "application/x-" + name + "-" + association.extension;
}

std::string debControl(const InstallerRequest& request, uint64_t installedKiB) {
    std::string control = "Package: " + request.name + "\nVersion: " + request.version.get("ProductVersion") +
                          "\nArchitecture: amd64\nMaintainer: " + request.maintainer +
                          "\nInstalled-Size: " + std::to_string(installedKiB) + "\nSection: misc\nPriority: optional\n";
    // The launcher itself needs the C library and zlib, which every system has.
    control += "Depends: libc6, zlib1g";
    if (request.dependsOnJava) control += ", default-jre-headless | java-runtime-headless";
    control += "\n";
    return control + "Description: " + summary(request) + "\n " + productName(request) + " " +
           request.version.get("ProductVersion") + " from " + publisher(request) + ", a Java application.\n";
}

std::string desktopEntry(const InstallerRequest& request, bool hasIcon) {
    std::string entry = "[Desktop Entry]\nType=Application\nName=" + productName(request) +
                        (summary(request) == productName(request) ? "" : "\nComment=" + summary(request)) +
                        "\nExec=" + request.name + (request.associations.empty() ? "" : " %F") + "\n";
    if (hasIcon) entry += "Icon=" + request.name + "\n";
    entry += "Terminal=false\nCategories=Utility;\n";
    if (!request.associations.empty()) {
        entry += "MimeType=";
        for (const FileAssociation& a : request.associations) entry += mimeTypeOf(request.name, a) + ";";
        entry += "\n";
    }
    return entry;
}

std::string mimePackage(const InstallerRequest& request) {
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<mime-info xmlns=\"http://www.freedesktop.org/standards/shared-mime-info\">\n";
    for (const FileAssociation& a : request.associations)
        xml += "  <mime-type type=\"" + mimeTypeOf(request.name, a) + "\">\n    <comment>" + a.description +
               "</comment>\n    <glob pattern=\"*." + a.extension + "\"/>\n  </mime-type>\n";
    return xml + "</mime-info>\n";
}

bool writeDeb(const InstallerRequest& request, std::string& error) {
    std::error_code ec;
    if (!fs::is_regular_file(pathOf(request.executablePath), ec)) {
        error = "cannot read the executable '" + request.executablePath + "'";
        return false;
    }
    const fs::path output = pathOf(request.outputPath);
    const fs::path root = fs::path(output).concat(".hux-stage");
    const std::string kNeeds =
        "writing a .deb needs dpkg-deb (Debian: apt install dpkg; macOS: brew install dpkg; Windows: run hux in WSL)";
    // Asked first, so that a host without it hears so before anything is laid out.
    const platform::Result<int> probe = platform::runProgramToFile({"dpkg-deb", "--version"}, textOf(root) + ".log");
    fs::remove(fs::path(root).concat(".log"), ec);
    if (!probe || probe.value() != 0) {
        error = kNeeds;
        return false;
    }
    const fs::path partial = fs::path(output).concat(".hux-partial");
    fs::remove_all(root, ec);
    bool ok = stage(request, root, error);
    if (ok) {
        normaliseModes(root);
        ok = writeText(root / "DEBIAN" / "control", debControl(request, treeKiB(root)), error);
    }
    if (ok) {
        fs::permissions(root / "DEBIAN" / "control", fs::perms(0644), ec);
        const platform::Result<int> built = platform::runProgramToFile(
            {"dpkg-deb", "--root-owner-group", "--build", textOf(root), textOf(partial)}, textOf(root) + ".log");
        if (!built || built.value() != 0) {
            if (!built || built.value() == 127 || built.value() < 0)
                error = kNeeds;
            else
                error = "dpkg-deb could not write the package (exit " + std::to_string(built.value()) + ")";
            ok = false;
        }
    }
    if (ok) {
        fs::rename(partial, output, ec);
        if (ec) {
            error = "cannot write '" + request.outputPath + "': " + ec.message();
            ok = false;
        }
    }
    fs::remove_all(root, ec);
    fs::remove(fs::path(root).concat(".log"), ec);
    fs::remove(partial, ec);
    return ok;
}

}  // namespace hux::tool
