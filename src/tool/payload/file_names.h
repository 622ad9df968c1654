// The tool's paths are UTF-8 text, as its command line, its configuration and
// its messages have them. These turn them into std::filesystem paths and back
// on every system (on Windows a path built straight from a std::string would
// be read in the ANSI code page, and one shown with string() written in it).
#pragma once

#include <filesystem>
#include <string>

namespace hux::tool {

inline std::filesystem::path pathOf(const std::string& text) { return std::filesystem::u8path(text); }
inline std::string textOf(const std::filesystem::path& path) { return path.u8string(); }
inline std::string genericTextOf(const std::filesystem::path& path) { return path.generic_u8string(); }

}  // namespace hux::tool
