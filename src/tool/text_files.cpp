#include "tool/text_files.h"

#include <cctype>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "common/byte_string.h"
#include "common/utf.h"
#include "tool/config_checks.h"
#include "tool/payload/file_names.h"

namespace fs = std::filesystem;

namespace hux::tool {

bool validUtf8(const std::string& s) {
    std::u16string ignored;
    return decodeUtf8OrReject(s, ignored);
}

bool readFile(const std::string& path, std::vector<uint8_t>& out) {
    std::error_code ec;
    if (!fs::is_regular_file(pathOf(path), ec)) return false;
    std::ifstream in(pathOf(path), std::ios::binary);
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
        for (size_t i = 0; i < units.size();) {
            const char32_t c = nextCodePoint(units, i);
            if (c >= 0xD800 && c <= 0xDFFF) {
                error = "the configuration file holds a lone UTF-16 surrogate";
                return false;
            }
        }
        const ByteString utf8 = utf16ToUtf8Standard(units, U'?');
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
            error = "configuration line " + std::to_string(lineNumber) + " is not valid UTF-8 (save the file as UTF-8)";
            return false;
        }
        if (line.find_first_not_of(" \t") != std::string::npos) lines.push_back(line);
        if (j == text.size()) break;
        i = j + ((text[j] == '\r' && j + 1 < text.size() && text[j + 1] == '\n') ? 2 : 1);
    }
    return true;
}

bool splitArgumentFile(const std::string& text, std::vector<std::string>& out) {
    size_t i = 0;
    while (true) {
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
        if (i >= text.size()) return true;
        std::string arg;
        while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i]))) {
            const char c = text[i++];
            if (c != '"' && c != '\'') {
                arg.push_back(c);
                continue;
            }
            while (i < text.size() && text[i] != c) {
                if (text[i] == '\\' && i + 1 < text.size()) ++i;
                arg.push_back(text[i++]);
            }
            if (i >= text.size()) return false;  // no closing quote
            ++i;
        }
        out.push_back(arg);
    }
}

bool readableFile(const std::string& path, std::string& why) {
    std::error_code ec;
    const fs::file_status status = fs::status(pathOf(path), ec);
    if (!fs::exists(status)) {
        why = ec && ec != std::errc::no_such_file_or_directory
                  ? ec.message()
                  : std::make_error_code(std::errc::no_such_file_or_directory).message();
        return false;
    }
    if (fs::is_directory(status)) {
        why = "it is a folder";
        return false;
    }
    errno = 0;
    std::ifstream in(pathOf(path), std::ios::binary);
    if (in) return true;
    why = errno != 0 ? std::generic_category().message(errno) : "it cannot be opened";
    return false;
}

std::string trimmed(const std::string& s) {
    const size_t first = s.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

bool configValue(const std::vector<std::string>& lines, const char* key, std::string& value) {
    for (const std::string& line : lines)
        if (equalsIgnoreCase(lineKey(line), key)) {
            value = lineValue(line);
            return true;
        }
    return false;
}

}  // namespace hux::tool
