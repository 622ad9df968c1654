// Multibyte text on Windows: the process's ANSI code page.
#include <climits>
#include <string>

#include "common/utf.h"
#include "platform/shared/text_bounds.h"
#include "platform/text.h"
#include "platform/win32/windows_support.h"

namespace hux::platform {

// Conversions follow the process's ANSI code page, which is UTF-8 when the
// executable's manifest asks for it; the C runtime's multibyte functions know
// nothing of that code page and would take each byte for a character.
std::u16string ansiToUtf16(const char* text, size_t length) {
    const std::string_view ansi = textBeforeNul(text, length);
    if (ansi.empty() || ansi.size() > static_cast<size_t>(INT_MAX)) return {};
    const int size = static_cast<int>(ansi.size());
    const int n = MultiByteToWideChar(CP_ACP, 0, ansi.data(), size, nullptr, 0);
    if (n <= 0) return {};
    std::u16string out(static_cast<size_t>(n), u'\0');
    MultiByteToWideChar(CP_ACP, 0, ansi.data(), size, reinterpret_cast<wchar_t*>(&out[0]), n);
    return out;
}

ByteString utf16ToAnsi(const char16_t* units, size_t count) {
    const std::u16string_view text = unitsBeforeNul(units, count);
    if (text.empty() || text.size() > static_cast<size_t>(INT_MAX)) return {};
    const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
    const int size = static_cast<int>(text.size());
    const int n = WideCharToMultiByte(CP_ACP, 0, wide, size, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return {};
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide, size, &out[0], n, nullptr, nullptr);
    return ByteString(out.data(), n);
}

// Configuration text is decoded by the launcher's own decoder, and every
// option is ANSI text the virtual machine reads back with the same code page.
std::u16string utf8TextToUtf16(std::string_view text) { return decodeUtf8WithQuestionMarks(text); }

bool localeDecodes(std::string_view) { return true; }
bool classPathOpensByName(std::string_view) { return true; }

}  // namespace hux::platform
