#include "tool/packer.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

#include "common/byte_string.h"
#include "common/payload_format.h"
#include "common/utf.h"
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

bool isArchiveName(const std::string& name) {
    return name.size() >= 5 && (equalsIgnoreCase(std::string_view(name).substr(name.size() - 4), ".jar") ||
                                equalsIgnoreCase(std::string_view(name).substr(name.size() - 4), ".zip"));
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
            units.push_back(static_cast<char16_t>(big ? (bytes[i] << 8) | bytes[i + 1] : bytes[i] | (bytes[i + 1] << 8)));
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

bool pack(const PackRequest& request, std::string& error) {
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
    auto addEntry = [&](const std::string& name, const std::string& path) {
        if (name.empty() || name[0] == '/' || name.find('\\') != std::string::npos) {
            error = "invalid archive name '" + name + "' (use '/' between folders, no leading '/')";
            return false;
        }
        if (!names.insert(name).second) {
            error = "duplicate archive name '" + name + "'";
            return false;
        }
        std::vector<uint8_t> data;
        if (!readFile(path, data)) {
            error = "cannot read '" + path + "'";
            return false;
        }
        return zip.add(name, data, isArchiveName(name) ? ZipWriter::Method::Stored : ZipWriter::Method::Deflated,
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
    for (const auto& [name, path] : request.files)
        if (!addEntry(name, path)) return false;
    if (!zip.finish(error, request.archiveComment)) return false;

    const uint64_t archiveLength = zip.lengthWithoutComment();
    writeLe32(stub.data() + field, static_cast<uint32_t>(archiveLength));

    // Write next to the output, then rename, so a failure leaves nothing behind.
    const fs::path out(request.outputPath);
    const fs::path temp = out.string() + ".hux-partial";
    {
        std::ofstream o(temp, std::ios::binary | std::ios::trunc);
        uint8_t length[4];
        writeLe32(length, static_cast<uint32_t>(block.size()));
        o.write(reinterpret_cast<const char*>(stub.data()), static_cast<std::streamsize>(stub.size()));
        o.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size()));
        o.write(reinterpret_cast<const char*>(length), 4);
        o.write(kReserved, kReservedSize);
        o.write(reinterpret_cast<const char*>(zip.bytes().data()), static_cast<std::streamsize>(zip.bytes().size()));
        o.close();
        if (!o) {
            fs::remove(temp, ec);
            error = "cannot write '" + request.outputPath + "'";
            return false;
        }
    }
    fs::permissions(temp, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec, ec);
    fs::rename(temp, out, ec);
    if (ec) {
        fs::remove(temp, ec);
        error = "cannot write '" + request.outputPath + "'";
        return false;
    }
    return true;
}

}  // namespace hux::tool
