#include "tool/packer.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

#include "common/byte_string.h"
#include "common/payload_format.h"
#include "common/utf.h"
#include "tool/class_path_jars.h"
#include "tool/config_checks.h"
#include "tool/flatten.h"
#include "common/zip_format.h"
#include "tool/signing.h"
#include "tool/zip_writer.h"

namespace fs = std::filesystem;

namespace hux::tool {

namespace {

// 16 reserved bytes: the launcher ignores them; they name the payload format.
constexpr char kReserved[kReservedSize + 1] = "hux-payload-v1\0\0";

bool validUtf8(const std::string& s) {
    size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        if (n == 0 || i + n > s.size() || (n == 2 && c < 0xC2)) return false;
        for (size_t j = 1; j < n; ++j)
            if ((static_cast<unsigned char>(s[i + j]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

}  // namespace

bool readFile(const std::string& path, std::vector<uint8_t>& out) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) return false;
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    in.seekg(0, std::ios::end);
    const auto size = static_cast<std::streamoff>(in.tellg());
    if (size < 0) return false;
    in.seekg(0);
    out.resize(static_cast<size_t>(size));
    if (size > 0) in.read(reinterpret_cast<char*>(out.data()), size);
    return static_cast<bool>(in) || in.eof();
}

bool readConfigLines(const std::vector<uint8_t>& bytes, std::vector<std::string>& lines, std::string& error) {
    std::string text;
    if (bytes.size() >= 2 && ((bytes[0] == 0xFF && bytes[1] == 0xFE) || (bytes[0] == 0xFE && bytes[1] == 0xFF))) {
        const bool big = bytes[0] == 0xFE;
        if (bytes.size() % 2 != 0) {
            error = "the configuration file is UTF-16 with an odd number of bytes";
            return false;
        }
        std::u16string units;
        for (size_t i = 2; i + 1 < bytes.size(); i += 2)
            units.push_back(
                static_cast<char16_t>(big ? (bytes[i] << 8) | bytes[i + 1] : bytes[i] | (bytes[i + 1] << 8)));
        if (units.find(u'\0') != std::u16string::npos) {
            error = "the configuration file holds a NUL character";
            return false;
        }
        ByteString utf8;
        appendUtf8FromUtf16(utf8, units.data(), units.size(), false);
        text.assign(utf8.data(), static_cast<size_t>(utf8.length()));
    } else {
        size_t start = bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF ? 3 : 0;
        text.assign(reinterpret_cast<const char*>(bytes.data()) + start, bytes.size() - start);
    }
    size_t lineNumber = 0;
    size_t i = 0;
    while (i <= text.size()) {
        size_t j = text.find_first_of("\r\n", i);
        if (j == std::string::npos) j = text.size();
        std::string line = text.substr(i, j - i);
        ++lineNumber;
        if (line.find('\0') != std::string::npos) {
            error = "configuration line " + std::to_string(lineNumber) + " holds a NUL character";
            return false;
        }
        if (!validUtf8(line)) {
            error = "configuration line " + std::to_string(lineNumber) + " is not valid UTF-8";
            return false;
        }
        if (line.find_first_not_of(" \t") != std::string::npos) lines.push_back(line);
        if (j == text.size()) break;
        i = j + ((text[j] == '\r' && j + 1 < text.size() && text[j + 1] == '\n') ? 2 : 1);
    }
    return true;
}

int64_t findArchiveLengthField(const std::vector<uint8_t>& stub, int& count) {
    count = 0;
    int64_t found = -1;
    const auto* magic = kArchiveLengthMagic;
    auto it = stub.begin();
    while (true) {
        it = std::search(it, stub.end(), magic, magic + sizeof kArchiveLengthMagic);
        if (it == stub.end()) break;
        ++count;
        found = (it - stub.begin()) + static_cast<int64_t>(sizeof kArchiveLengthMagic);
        ++it;
    }
    if (count != 1 || found + 4 > static_cast<int64_t>(stub.size())) return -1;
    return found;
}

bool knownTarget(const std::string& target) { return target == "linux-x64" || target == "windows-x64"; }

bool normaliseEntryName(const std::string& name, std::string& normalised, std::string& error) {
    normalised.clear();
    const char* why = nullptr;
    if (name.empty() || name[0] == '/') {
        why = "it must be a relative path";
    } else if (name.find('\\') != std::string::npos) {
        why = "use '/' between folders";
    } else if (name.back() == '/') {
        why = "it names a folder, not a file";
    }
    size_t i = 0;
    while (!why && i <= name.size()) {
        size_t j = name.find('/', i);
        if (j == std::string::npos) j = name.size();
        const std::string part = name.substr(i, j - i);
        if (part == "..") {
            why = "'..' would leave the archive";
        } else if (!part.empty() && part != ".") {
            if (!normalised.empty()) normalised += '/';
            normalised += part;
        }
        i = j + 1;
    }
    if (!why && normalised.empty()) why = "it names no file";
    if (why) {
        error = "invalid archive name '" + name + "': " + why;
        return false;
    }
    return true;
}

bool checkArchiveComment(const std::vector<uint8_t>& endRecordAndComment, uint64_t fileSize, std::string& error) {
    // The launcher looks for the end record from 22 bytes before the file's end
    // back over max(size / 100, 51200) bytes and takes the first one it meets.
    // Signing may add up to 7 bytes of padding before the certificate table.
    constexpr uint64_t kSigningPadding = 8;
    const uint64_t reach = std::max<uint64_t>(fileSize / 100, 51200);
    const uint64_t comment = endRecordAndComment.size() - zip::kEndRecordSize;
    if (comment + kSigningPadding > reach) {
        error = "the archive comment is " + std::to_string(comment) +
                " bytes; the launcher finds the archive only "
                "behind a comment of at most " +
                std::to_string(reach - kSigningPadding) + " bytes";
        return false;
    }
    for (size_t at = 1; at + 4 <= endRecordAndComment.size(); ++at)
        if (readLe32(endRecordAndComment.data() + at) == zip::kEndSignature) {
            error = "the archive comment holds an end-of-archive signature (PK 05 06), which would hide the archive";
            return false;
        }
    return true;
}

bool pack(const PackRequest& request, std::string& error, std::vector<std::string>& warnings) {
    if (!knownTarget(request.target)) {
        error = "unknown target '" + request.target + "' (use linux-x64 or windows-x64)";
        return false;
    }
    const bool windows = request.target == "windows-x64";
    if (!windows && asksForWindowsLook(request.look)) {
        error = "--icon, --manifest, --gui and the version options apply to windows-x64 only";
        return false;
    }
    if (!windows && (!request.signKey.empty() || !request.signCert.empty())) {
        error = "signing applies to windows-x64 only";
        return false;
    }
    if (request.signKey.empty() != request.signCert.empty()) {
        error = "signing needs both --sign-key and --sign-cert";
        return false;
    }
    // Configuration block.
    std::vector<std::string> lines;
    if (!request.configPath.empty()) {
        std::vector<uint8_t> bytes;
        if (!readFile(request.configPath, bytes)) {
            error = "cannot read the configuration file '" + request.configPath + "'";
            return false;
        }
        if (!readConfigLines(bytes, lines, error)) {
            error = request.configPath + ": " + error;
            return false;
        }
    }
    for (const std::string& line : request.extraLines) {
        if (line.find_first_of("\r\n") != std::string::npos || line.find('\0') != std::string::npos ||
            !validUtf8(line)) {
            error = "the configuration line '" + line + "' cannot be encoded (line break, NUL or invalid UTF-8)";
            return false;
        }
        lines.push_back(line);
    }
    ConfigPolicy policy;
    policy.requireMain = request.requireMain;
    policy.classResources = request.classResources;
    policy.quietSharingNote = request.quietSharingNote;
    policy.windowsTarget = request.target == "windows-x64";
    policy.flatten = request.flatten;
    if (!checkConfiguration(lines, policy, warnings, error)) return false;
    if (!request.configPath.empty()) {
        const std::string twice =
            externalConfigWarning(request.configPath, request.outputPath, lines, policy.windowsTarget);
        if (!twice.empty()) warnings.push_back(twice);
    }
    // Every character is stored in the launcher's own form, one sequence per
    // UTF-16 unit (a character beyond the Basic Multilingual Plane as two
    // three-byte sequences): the same text gives the same block whether it
    // came as UTF-8 or as UTF-16, and the virtual machine reads it as it is.
    std::vector<uint8_t> block = {0xEF, 0xBB, 0xBF};
    for (const std::string& line : lines) {
        const ByteString stored = utf8ToPerUnitForm(line);
        block.insert(block.end(), stored.data(), stored.data() + stored.length());
        block.push_back('\r');
        block.push_back('\n');
    }
    block.push_back(0);

    // Stub.
    std::vector<uint8_t> stub;
    if (!readFile(request.stubPath, stub)) {
        error = "cannot read the launcher stub '" + request.stubPath + "'";
        return false;
    }
    int count = 0;
    const int64_t field = findArchiveLengthField(stub, count);
    if (field < 0) {
        error = count == 0 ? "'" + request.stubPath + "' is not a hux launcher stub (no archive-length marker)"
                           : "'" + request.stubPath + "' holds the archive-length marker more than once";
        return false;
    }

    // Archive: support classes first, then the application's files.
    ZipWriter zip;
    std::set<std::string> names;
    // Index files (service lists) of the support classes and of top-level
    // application files are merged with those of flattened jars.
    Flattener flattener(zip, names);
    std::set<std::string> hinted;  // libraries that may not work nested, each told once
    auto addEntry = [&](const std::string& given, const std::string& path) {
        std::string name;
        if (!normaliseEntryName(given, name, error)) return false;
        const bool index = Flattener::isIndex(name);
        if (!index && !names.insert(name).second) {
            error = "duplicate archive name '" + name + "'";
            return false;
        }
        std::vector<uint8_t> data;
        if (!readFile(path, data)) {
            error = "cannot read '" + path + "'";
            return false;
        }
        if (index) {
            flattener.addIndex(name, data);
            return true;
        }
        if (zip::isArchiveName(name)) {
            const std::string hint = nestedJarHint(data);
            if (!hint.empty() && hinted.insert(hint).second)
                warnings.push_back("'" + name + "': " + hint + "; pack with --flatten");
        }
        return zip.add(name, data, zip::isArchiveName(name) ? ZipWriter::Method::Stored : ZipWriter::Method::Deflated,
                       error);
    };
    std::error_code ec;
    if (!request.javaClassesDir.empty()) {
        if (!fs::is_directory(request.javaClassesDir, ec)) {
            error = "the Java support classes are missing at '" + request.javaClassesDir + "'";
            return false;
        }
        std::vector<std::pair<std::string, std::string>> classes;
        for (auto it = fs::recursive_directory_iterator(request.javaClassesDir, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
            if (!it->is_regular_file()) continue;
            classes.emplace_back(fs::relative(it->path(), request.javaClassesDir).generic_string(),
                                 it->path().string());
        }
        std::sort(classes.begin(), classes.end());
        for (const auto& [name, path] : classes)
            if (!addEntry(name, path)) return false;
    }
    std::vector<std::pair<std::string, std::string>> files = request.files;
    if (request.classPathJars) addClassPathJars(files, warnings);
    for (const auto& [name, path] : files) {
        if (request.flatten && zip::isArchiveName(name)) {
            if (!flattener.addJar(path, name, warnings, error)) return false;
        } else if (!addEntry(name, path)) {
            return false;
        }
    }
    if (!flattener.finish(error) || !zip.finish(error, request.archiveComment)) return false;

    // The launcher finds the archive through a 32-bit length in the stub.
    const uint64_t archiveLength = zip.lengthWithoutComment();
    if (archiveLength > 0xFFFFFFFFull) {
        error = "the archive would be larger than 4 GiB, more than the launcher can address";
        return false;
    }
    writeLe32(stub.data() + field, static_cast<uint32_t>(archiveLength));
    bool stubAtFault = false;
    if (windows && !applyWindowsLook(stub, request.look, error, &stubAtFault)) {
        if (stubAtFault) error = "'" + request.stubPath + "': " + error;
        return false;
    }

    // The whole executable, so that the Windows checksum covers all of it.
    std::vector<uint8_t> file = std::move(stub);
    file.insert(file.end(), block.begin(), block.end());
    uint8_t length[4];
    writeLe32(length, static_cast<uint32_t>(block.size()));
    file.insert(file.end(), length, length + 4);
    file.insert(file.end(), kReserved, kReserved + kReservedSize);
    file.insert(file.end(), zip.bytes().begin(), zip.bytes().end());
    const std::vector<uint8_t> endRecord(
        zip.bytes().begin() + static_cast<std::ptrdiff_t>(archiveLength - zip::kEndRecordSize), zip.bytes().end());
    if (!checkArchiveComment(endRecord, file.size(), error)) return false;
    if (windows) updatePeChecksum(file);

    // Write next to the output, then rename, so a failure leaves nothing behind.
    const fs::path out(request.outputPath);
    const fs::path temp = out.string() + ".hux-partial";
    {
        std::ofstream o(temp, std::ios::binary | std::ios::trunc);
        o.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
        o.close();
        if (!o) {
            fs::remove(temp, ec);
            error = "cannot write '" + request.outputPath + "'";
            return false;
        }
    }
    if (!request.signKey.empty() && !signExecutable(temp.string(), request.signKey, request.signCert, error)) {
        fs::remove(temp, ec);
        return false;
    }
    fs::permissions(temp,
                    fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read |
                        fs::perms::others_exec,
                    ec);
    fs::rename(temp, out, ec);
    if (ec) {
        fs::remove(temp, ec);
        error = "cannot write '" + request.outputPath + "'";
        return false;
    }
    return true;
}

}  // namespace hux::tool
