// Resources the executable carries (Windows); elsewhere there are none.
#pragma once

#include <cstdint>
#include <string>

namespace hux::platform {

// Entry `number` of the executable's string-table resource, in the default
// language. False when the block or the entry does not exist or is empty, and
// where executables carry no string table.
bool stringResource(int number, std::u16string& text);

// The executable's raw-data resource `id` (RT_RCDATA), its bytes staying valid
// for the rest of the process. False when it does not exist, and where
// executables carry no resources.
bool rawDataResource(int id, const void*& data, uint32_t& size);

}  // namespace hux::platform
