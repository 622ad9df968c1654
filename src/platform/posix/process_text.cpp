// Process identity, locale and multibyte conversions on Linux.
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <clocale>
#include <cstring>
#include <cwchar>
#include <langinfo.h>
#include <string>

#include "common/utf.h"

#include "platform/platform.h"

namespace hux::platform {

ByteString moduleFileName() {
    // No fixed limit: the buffer grows until the whole link fits. The kernel
    // cannot spell a path longer than a page; the link itself still opens the
    // executable then, so it stands in for the path.
    std::string buffer(256, '\0');
    for (;;) {
        const ssize_t n = readlink("/proc/self/exe", &buffer[0], buffer.size());
        if (n <= 0) return ByteString(kSelfExecutable);
        if (static_cast<size_t>(n) < buffer.size()) return ByteString(buffer.data(), static_cast<int32_t>(n));
        if (buffer.size() >= (size_t{1} << 20)) return {};
        buffer.resize(buffer.size() * 2);
    }
}

uint32_t currentProcessId() { return static_cast<uint32_t>(getpid()); }

void setLocaleFromEnvironment() { std::setlocale(LC_ALL, ""); }

int lastErrorCode() { return errno; }

// The launcher's multibyte text is UTF-8 whatever the locale says: a locale
// that is not installed, or "C", must not cost the user any character.
std::u16string ansiToUtf16(const char* text, size_t length) {
    const void* nul = std::memchr(text, 0, length);
    if (nul) length = static_cast<size_t>(static_cast<const char*>(nul) - text);
    return decodeUtf8(std::string_view(text, length), false);
}

ByteString utf16ToAnsi(const char16_t* units, size_t count) {
    ByteString out;
    appendUtf8Standard(out, std::u16string_view(units, count));
    return out;
}

std::u16string utf8TextToUtf16(std::string_view text) { return decodeUtf8(text, true); }

bool localeDecodes(std::string_view text) {
    if (!hasHighByte(text)) return true;
    const char* codeset = nl_langinfo(CODESET);
    if (!codeset || (std::strcmp(codeset, "UTF-8") != 0 && std::strcmp(codeset, "utf8") != 0)) return false;
    // Well-formed exactly when it survives a round trip.
    ByteString again;
    appendUtf8Standard(again, decodeUtf8(text, false));
    return again.view() == text;
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

void* DynamicLibrary::symbol(const char* name) const { return handle_ ? dlsym(handle_, name) : nullptr; }

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
