#include "tool/installers/installer.h"

#include <zlib.h>

#include <cctype>
#include <cstring>

#include "tool/payload/file_names.h"

namespace hux::tool {

namespace {

void putBe32(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

void pngChunk(std::vector<uint8_t>& out, const char* type, const std::vector<uint8_t>& data) {
    putBe32(out, static_cast<uint32_t>(data.size()));
    const size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    putBe32(out, static_cast<uint32_t>(crc32(0, out.data() + start, static_cast<uInt>(out.size() - start))));
}

uint32_t le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }

// A 32-bit icon bitmap (BGRA rows from the bottom, then the AND mask, which
// the alpha channel makes redundant) as an RGBA PNG.
bool dibAsPng(const std::vector<uint8_t>& dib, unsigned size, std::vector<uint8_t>& png, std::string& error) {
    if (dib.size() < 40 || le32(dib.data()) < 40 || (dib[14] | (dib[15] << 8)) != 32 || le32(dib.data() + 16) != 0 ||
        dib.size() < le32(dib.data()) + size_t{size} * size * 4) {
        error = "the icon's largest image is not a 32-bit image: convert the icon to PNG";
        return false;
    }
    const uint8_t* pixels = dib.data() + le32(dib.data());
    std::vector<uint8_t> raw;
    raw.reserve((size * 4 + 1) * size);
    for (unsigned y = 0; y < size; ++y) {
        raw.push_back(0);  // no filter
        const uint8_t* row = pixels + size_t{size - 1 - y} * size * 4;
        for (unsigned x = 0; x < size; ++x)
            raw.insert(raw.end(), {row[x * 4 + 2], row[x * 4 + 1], row[x * 4], row[x * 4 + 3]});
    }
    uLongf packedSize = compressBound(static_cast<uLong>(raw.size()));
    std::vector<uint8_t> packed(packedSize);
    if (compress2(packed.data(), &packedSize, raw.data(), static_cast<uLong>(raw.size()), 9) != Z_OK) {
        error = "cannot compress the icon";
        return false;
    }
    packed.resize(packedSize);
    static const uint8_t kSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    png.assign(kSignature, kSignature + sizeof kSignature);
    std::vector<uint8_t> header;
    putBe32(header, size);
    putBe32(header, size);
    header.insert(header.end(), {8, 6, 0, 0, 0});  // 8 bits, RGBA, deflate, no filter, no interlace
    pngChunk(png, "IHDR", header);
    pngChunk(png, "IDAT", packed);
    pngChunk(png, "IEND", {});
    return true;
}

}  // namespace

bool parseAssociation(const std::string& text, FileAssociation& out, std::string& error) {
    const size_t eq = text.find('=');
    std::string ext = text.substr(0, eq);
    if (!ext.empty() && ext[0] == '.') ext.erase(0, 1);
    bool plain = !ext.empty();
    for (const char c : ext)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') plain = false;
    if (!plain) {
        error =
            "--associate '" + text + "': give an extension of letters, digits, '-' or '_', as .ext or .ext=description";
        return false;
    }
    out.extension = ext;
    out.description = eq == std::string::npos ? "" : text.substr(eq + 1);
    if (out.description.find_first_of("<>&\"\r\n") != std::string::npos) {
        error = "--associate '" + text + "': the description cannot hold < > & \" or a line break";
        return false;
    }
    if (out.description.empty()) out.description = ext + " document";
    return true;
}

std::string defaultPackageName(const std::string& executablePath) {
    std::string name = textOf(pathOf(executablePath).filename());
    if (name.size() > 4 &&
        (name.compare(name.size() - 4, 4, ".exe") == 0 || name.compare(name.size() - 4, 4, ".EXE") == 0))
        name.resize(name.size() - 4);
    for (char& c : name) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '+' && c != '-') c = '-';
    }
    return name;
}

std::string defaultInstallerName(const InstallerRequest& request) {
    if (request.format == "msi") return request.name + ".msi";
    return request.name + "_" + request.version.get("ProductVersion") + "_amd64.deb";
}

std::string installerRequestProblem(const InstallerRequest& request) {
    if (request.format != "deb" && request.format != "msi")
        return "unknown installer format '" + request.format + "' (use deb or msi)";
    const std::string& name = request.name;
    bool good = name.size() >= 2 && std::isalnum(static_cast<unsigned char>(name[0]));
    for (const char c : name)
        if (!(std::islower(static_cast<unsigned char>(c)) || std::isdigit(static_cast<unsigned char>(c)) || c == '.' ||
              c == '+' || c == '-'))
            good = false;
    if (!good)
        return "the name '" + name +
               "' is not a package name: lower-case letters, digits, '.', '+' and '-', at least two, "
               "starting with a letter or digit (give one with --name)";
    const std::string version = request.version.get("ProductVersion");
    if (version.empty() || !std::isdigit(static_cast<unsigned char>(version[0])))
        return "name the version with --version (1.2.3)";
    if (version.find_first_of(" _/\\:") != std::string::npos)
        return "the version '" + version + "' cannot hold blanks, '_', '/', '\\' or ':' in a package";
    if (request.format == "deb" && (request.sign.wanted() || request.perMachine))
        return "--sign-key and --per-machine go with Windows installers (--format msi)";
    const std::string& m = request.maintainer;
    const size_t at = m.find('@'), open = m.find('<');
    if (request.format == "deb" && (open == std::string::npos || open == 0 || at < open || at == std::string::npos ||
                                    m.back() != '>' || m.find_first_of("\r\n") != std::string::npos))
        return "name the package's maintainer with --maintainer \"Name <address>\"";
    if (std::string problem = signRequestProblem(request.sign); !problem.empty()) return problem;
    return "";
}

bool iconAsPng(const std::vector<uint8_t>& iconFile, std::vector<uint8_t>& png, unsigned& size, std::string& error) {
    std::vector<IconImage> images;
    if (!parseIconFile(iconFile, images, error)) return false;
    const IconImage* best = nullptr;
    for (const IconImage& image : images)
        if (image.width == image.height && (!best || image.width > best->width)) best = &image;
    if (!best) {
        error = "the icon holds no square image";
        return false;
    }
    size = best->width;
    if (best->data.size() >= 8 && std::memcmp(best->data.data(), "\x89PNG", 4) == 0) {
        png = best->data;
        return true;
    }
    return dibAsPng(best->data, size, png, error);
}

}  // namespace hux::tool
