// The executable's own resources on Windows: the string table and raw data.
#include "platform/resources.h"
#include "platform/win32/windows_support.h"

namespace hux::platform {

namespace {

// The bytes of resource `id` of `type` in the executable, in the default
// language; they stay valid for the rest of the process.
bool findResource(int id, int type, const void*& bytes, DWORD& size) {
    HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(type));
    if (!found) return false;
    HGLOBAL loaded = LoadResource(nullptr, found);
    bytes = loaded ? LockResource(loaded) : nullptr;
    if (!bytes) return false;
    size = SizeofResource(nullptr, found);
    return true;
}

constexpr int kStringTable = 6;  // RT_STRING
constexpr int kRawData = 10;     // RT_RCDATA

}  // namespace

bool stringResource(int number, std::u16string& text) {
    // Block number / 16 + 1 holds the strings 16 (block - 1) to 16 (block - 1) + 15,
    // each a 16-bit length followed by that many UTF-16 units.
    if (number < 0 || number / 16 + 1 > 0xFFFF) return false;
    const void* bytes = nullptr;
    DWORD size = 0;
    if (!findResource(number / 16 + 1, kStringTable, bytes, size)) return false;
    const auto* units = static_cast<const uint16_t*>(bytes);
    const size_t count = size / 2;
    size_t at = 0;
    for (int entry = 0; entry < number % 16; ++entry) {
        if (at >= count) return false;
        at += 1 + static_cast<size_t>(units[at]);
    }
    if (at >= count) return false;
    const size_t length = units[at];
    if (length == 0 || length > count - at - 1) return false;
    text.assign(reinterpret_cast<const char16_t*>(units + at + 1), length);
    return true;
}

bool rawDataResource(int id, const void*& data, uint32_t& size) {
    const void* bytes = nullptr;
    DWORD length = 0;
    if (!findResource(id, kRawData, bytes, length)) return false;
    data = bytes;
    size = length;
    return true;
}

}  // namespace hux::platform
