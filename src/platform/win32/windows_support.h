// What the Win32 files of the platform layer share: the system header (only
// files under src/platform/win32/ include it, and they do so through here) and
// owners for the system's handles, so that no handle is closed by hand.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "common/byte_string.h"

namespace hux::platform::win32 {

// Owns one handle of a kind that `Kind::close` releases. Move-only: a moved
// handle has exactly one owner, which closes it when it goes.
template <typename Kind>
class Scoped {
public:
    using Value = typename Kind::Value;

    Scoped() = default;
    explicit Scoped(Value value) : value_(value) {}
    Scoped(Scoped&& other) noexcept : value_(other.release()) {}
    Scoped& operator=(Scoped&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    Scoped(const Scoped&) = delete;
    Scoped& operator=(const Scoped&) = delete;
    ~Scoped() { reset(); }

    Value get() const { return value_; }
    explicit operator bool() const { return Kind::valid(value_); }
    // Closes what is held and takes `value` instead.
    void reset(Value value = Kind::none()) {
        if (Kind::valid(value_)) Kind::close(value_);
        value_ = value;
    }
    // Gives the handle up without closing it.
    Value release() {
        const Value value = value_;
        value_ = Kind::none();
        return value;
    }
    // For a call that returns a handle through a pointer: closes what is held
    // and hands out the place for the new one.
    Value* receive() {
        reset();
        return &value_;
    }

private:
    Value value_ = Kind::none();
};

// Kernel objects: files, mappings, events, mutexes, processes, threads. Both
// null and INVALID_HANDLE_VALUE stand for "none", since the system's calls
// report failure with one or the other.
struct KernelHandleKind {
    using Value = HANDLE;
    static HANDLE none() { return nullptr; }
    static bool valid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) { CloseHandle(h); }
};

struct RegistryKeyKind {
    using Value = HKEY;
    static HKEY none() { return nullptr; }
    static bool valid(HKEY key) { return key != nullptr; }
    static void close(HKEY key) { RegCloseKey(key); }
};

// A directory search of FindFirstFileA.
struct FindHandleKind {
    using Value = HANDLE;
    static HANDLE none() { return INVALID_HANDLE_VALUE; }
    static bool valid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) { FindClose(h); }
};

using ScopedHandle = Scoped<KernelHandleKind>;
using ScopedRegistryKey = Scoped<RegistryKeyKind>;
using ScopedFindHandle = Scoped<FindHandleKind>;

// Handles kept in the portable headers' integer fields.
inline HANDLE asHandle(intptr_t value) { return reinterpret_cast<HANDLE>(value); }
inline intptr_t handleValue(HANDLE h) { return reinterpret_cast<intptr_t>(h); }

// A second reference to `h` in this process with the same access, not
// inherited by children; null when `h` is none or cannot be duplicated.
inline HANDLE duplicateHandle(HANDLE h) {
    HANDLE copy = nullptr;
    if (!KernelHandleKind::valid(h)) return nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return nullptr;
    return copy;
}

// Paths at full length (files.cpp). The launcher carries paths as ANSI
// text of any length; the plain ANSI calls stop at MAX_PATH, so every file
// call goes through the wide form.

// Path text (ANSI, or UTF-8 after usePathsInUtf8) in UTF-16, as it is.
std::wstring toWide(const char* text);
// `path` (ANSI) in UTF-16 for the wide calls: unchanged while it is short,
// else made absolute and given the "\\?\" (or "\\?\UNC\") prefix that lifts
// the MAX_PATH limit.
std::wstring widePath(const char* path);
// The same for a path in UTF-16.
std::wstring longForm(const std::wstring& path);
// UTF-16 text as ANSI (UTF-8 after usePathsInUtf8); false when a character has no ANSI form (the text
// would not name the same file).
bool narrowExactly(const std::wstring& wide, ByteString& out);
// The full path of `module` (null: the executable) in UTF-16, at any length;
// empty when the system does not give it whole.
std::wstring moduleFileNameWide(HMODULE module);

}  // namespace hux::platform::win32
