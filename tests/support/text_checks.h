// Text checks shared by the unit and end-to-end tests.
#pragma once

#include <string_view>

namespace hux::test {

// Whether `part` occurs anywhere in `text`.
inline bool has(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

}  // namespace hux::test
