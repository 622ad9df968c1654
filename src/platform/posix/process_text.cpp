// Process identity, locale and multibyte conversions on Linux.
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <clocale>
#include <cstring>
#include <cwchar>

#include "platform/platform.h"

namespace hux::platform {

ByteString moduleFileName() {
    char buffer[kPathMax];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
    if (n <= 0) return {};
    // Like the module file name call, a longer path is cut to the buffer.
    if (n >= kPathMax) n = kPathMax - 1;
    return ByteString(buffer, static_cast<int32_t>(n));
}

uint32_t currentProcessId() { return static_cast<uint32_t>(getpid()); }

void setLocaleFromEnvironment() { std::setlocale(LC_ALL, ""); }

int lastErrorCode() { return errno; }

std::u16string ansiToUtf16(const char* text, size_t length) {
    std::u16string out;
    std::mbstate_t state{};
    size_t i = 0;
    while (i < length) {
        wchar_t wc = 0;
        size_t used = std::mbrtowc(&wc, text + i, length - i, &state);
        if (used == 0) break;  // a NUL ends the text
        if (used == static_cast<size_t>(-1) || used == static_cast<size_t>(-2)) break;
        i += used;
        auto cp = static_cast<uint32_t>(wc);
        if (cp >= 0x10000 && cp <= 0x10FFFF) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char16_t>(cp));
        } else {
            break;
        }
    }
    return out;
}

ByteString utf16ToAnsi(const char16_t* units, size_t count) {
    ByteString out;
    std::mbstate_t state{};
    char buffer[MB_LEN_MAX > 16 ? MB_LEN_MAX : 16];
    for (size_t i = 0; i < count; ++i) {
        uint32_t cp = units[i];
        if (cp == 0) break;
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        }
        size_t n = std::wcrtomb(buffer, static_cast<wchar_t>(cp), &state);
        if (n == static_cast<size_t>(-1)) break;
        out.append(buffer, static_cast<int32_t>(n));
    }
    return out;
}

// ---- dynamic libraries ----

namespace {
thread_local std::string lastLoadError;
}

bool DynamicLibrary::load(const char* path, bool global) {
    handle_ = dlopen(path, RTLD_NOW | (global ? RTLD_GLOBAL : RTLD_LOCAL));
    if (!handle_) {
        const char* e = dlerror();
        lastLoadError = e ? e : "cannot load library";
        return false;
    }
    return true;
}

void* DynamicLibrary::symbol(const char* name) const {
    return handle_ ? dlsym(handle_, name) : nullptr;
}

void DynamicLibrary::unload() {
    if (handle_) dlclose(handle_);
    handle_ = nullptr;
}

ByteString lastLoadErrorText() { return ByteString(lastLoadError); }

// ---- registry and resources ----

// There is no registry: every read fails, so a configured reference falls back
// to its '|' default.
bool readRegistryValue(RegistryRoot, const char*, const char*, uint32_t&, ByteBuffer&) { return false; }

// The message texts are compiled into the launcher instead of a resource.
bool stringResource(int, std::u16string&) { return false; }

}  // namespace hux::platform

namespace hux::platform {
void initCommonControls() {}
}  // namespace hux::platform
