// The files and text the tool reads: whole files, configuration files in the
// encodings they come in, argument files, and the small text rules around
// them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace hux::tool {

bool readFile(const std::string& path, std::vector<uint8_t>& out);

// Whether the file at `path` can be read; false with the reason ("No such
// file or directory", "it is a folder") otherwise.
bool readableFile(const std::string& path, std::string& why);

// Decodes a configuration file (UTF-8 with or without a mark, UTF-16 with a
// mark) into its non-empty lines; false with `error` when a line cannot be
// carried in the block.
bool readConfigLines(const std::vector<uint8_t>& bytes, std::vector<std::string>& lines, std::string& error);

// Splits an argument file's text as javac and jar do: arguments between
// white space; single or double quotes around one with blanks (inside them a
// backslash takes the next character as it is). False when a quote is not
// closed.
bool splitArgumentFile(const std::string& text, std::vector<std::string>& out);

// Whether `s` is well-formed UTF-8 (no overlong form, surrogate or value
// beyond U+10FFFF).
bool validUtf8(const std::string& s);

// `s` without the blanks and tabs around it.
std::string trimmed(const std::string& s);

// The first value of `key` (any case) among configuration lines; false when
// none has it.
bool configValue(const std::vector<std::string>& lines, const char* key, std::string& value);

}  // namespace hux::tool
