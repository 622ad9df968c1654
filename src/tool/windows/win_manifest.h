// The Windows application manifest: checked as the system loader reads it,
// and the one written when none is given.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace hux::tool {

// Checks that `bytes` is a manifest the system loader will accept: UTF-8
// (optionally with a mark), well-formed XML elements, an <assembly> root.
bool checkManifest(const std::vector<uint8_t>& bytes, std::string& error);
// Whether a manifest checkManifest accepts sets the process's ANSI code page
// to UTF-8: an <activeCodePage> element (any namespace prefix) outside
// comments whose text is "UTF-8" (case and surrounding blanks ignored).
bool manifestSetsUtf8CodePage(const std::vector<uint8_t>& bytes);
// Whether it declares <longPathAware>true</longPathAware> (same reading).
bool manifestIsLongPathAware(const std::vector<uint8_t>& bytes);
// The manifest written when none is given.
const std::string& defaultManifest();

}  // namespace hux::tool
