// Win32 implementation of the platform layer.
#include <windows.h>
#include <io.h>
#include <process.h>

#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include "common/utf.h"
#include "platform/platform.h"

namespace hux::platform {

// ---- process, locale, text ----

ByteString moduleFileName() {
    char buffer[kPathMax];
    DWORD n = GetModuleFileNameA(nullptr, buffer, kPathMax);
    if (n == 0) return {};
    if (n >= static_cast<DWORD>(kPathMax)) n = kPathMax - 1;
    return ByteString(buffer, static_cast<int32_t>(n));
}

uint32_t currentProcessId() { return GetCurrentProcessId(); }

void setLocaleFromEnvironment() { std::setlocale(LC_ALL, ""); }

int lastErrorCode() { return static_cast<int>(GetLastError()); }

void initCommonControls() {
    // InitCommonControlsEx with a size-8 structure and no classes; the result is
    // not needed, and the library may be missing.
    HMODULE comctl = LoadLibraryA("comctl32.dll");
    if (!comctl) return;
    struct {
        DWORD size;
        DWORD classes;
    } init = {8, 0};
    using InitFn = BOOL(WINAPI*)(void*);
    auto fn = reinterpret_cast<InitFn>(reinterpret_cast<void*>(GetProcAddress(comctl, "InitCommonControlsEx")));
    if (fn) fn(&init);
}

// Conversions follow the process's ANSI code page, which is UTF-8 when the
// executable's manifest asks for it; the C runtime's multibyte functions know
// nothing of that code page and would take each byte for a character.
std::u16string ansiToUtf16(const char* text, size_t length) {
    const void* nul = std::memchr(text, 0, length);
    if (nul) length = static_cast<size_t>(static_cast<const char*>(nul) - text);
    if (length == 0 || length > static_cast<size_t>(INT_MAX)) return {};
    const int n = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0);
    if (n <= 0) return {};
    std::u16string out(static_cast<size_t>(n), u'\0');
    MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), reinterpret_cast<wchar_t*>(&out[0]), n);
    return out;
}

ByteString utf16ToAnsi(const char16_t* units, size_t count) {
    size_t length = 0;
    while (length < count && units[length] != 0) ++length;
    if (length == 0 || length > static_cast<size_t>(INT_MAX)) return {};
    const auto* wide = reinterpret_cast<const wchar_t*>(units);
    const int n = WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    if (n <= 0) return {};
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(length), &out[0], n, nullptr, nullptr);
    return ByteString(out.data(), n);
}

// Configuration text is decoded by the launcher's own decoder, and every
// option is ANSI text the virtual machine reads back with the same code page.
std::u16string utf8TextToUtf16(std::string_view text) { return utf8ToUtf16(text); }

bool localeDecodes(std::string_view) { return true; }

// ---- files and directories ----

// Options are ANSI text, which the virtual machine reads as it was written.
ByteString descriptorPath(const char*, bool) { return {}; }

bool isReadable(const char* path) {
    if (!path || !path[0]) return false;
    return _access(path, 4) == 0;  // read permission; directories pass too
}

bool pathExists(const char* path) { return path && path[0] && GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

bool isDirectory(const char* path) {
    if (!path || !path[0]) return false;
    DWORD a = GetFileAttributesA(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

InputFile::~InputFile() { close(); }

bool InputFile::open(const char* path) {
    close();
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    handle_ = reinterpret_cast<intptr_t>(h);
    return true;
}

void InputFile::close() {
    if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
    handle_ = -1;
}

int64_t InputFile::size() const {
    LARGE_INTEGER s;
    if (handle_ == -1 || !GetFileSizeEx(reinterpret_cast<HANDLE>(handle_), &s)) return -1;
    return s.QuadPart;
}

bool InputFile::readAt(int64_t offset, void* buffer, size_t count) const {
    if (handle_ == -1 || offset < 0) return false;
    auto* p = static_cast<char*>(buffer);
    while (count > 0) {
        OVERLAPPED ov{};
        ov.Offset = static_cast<DWORD>(offset);
        ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD chunk = count > 0x40000000 ? 0x40000000 : static_cast<DWORD>(count);
        DWORD got = 0;
        if (!ReadFile(reinterpret_cast<HANDLE>(handle_), p, chunk, &got, &ov) || got == 0) return false;
        p += got;
        offset += got;
        count -= got;
    }
    return true;
}

FileView::~FileView() { unmap(); }

bool FileView::map(const InputFile& file) {
    unmap();
    int64_t size = file.size();
    if (size <= 0) return false;
    HANDLE m = CreateFileMappingA(reinterpret_cast<HANDLE>(file.nativeHandle()), nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (!m) return false;
    void* p = MapViewOfFile(m, FILE_MAP_READ, 0, 0, 0);
    if (!p) {
        CloseHandle(m);
        return false;
    }
    mapping_ = reinterpret_cast<intptr_t>(m);
    data_ = static_cast<const uint8_t*>(p);
    size_ = size;
    return true;
}

void FileView::unmap() {
    if (data_) UnmapViewOfFile(data_);
    if (mapping_) CloseHandle(reinterpret_cast<HANDLE>(mapping_));
    data_ = nullptr;
    size_ = 0;
    mapping_ = 0;
}

ByteString currentDirectory() {
    char buffer[kPathMax];
    DWORD n = GetCurrentDirectoryA(kPathMax, buffer);
    if (n == 0 || n >= static_cast<DWORD>(kPathMax)) return {};
    return ByteString(buffer, static_cast<int32_t>(n));
}

bool setCurrentDirectory(const char* path) { return path && path[0] && SetCurrentDirectoryA(path); }

bool usesDrivePaths() { return true; }

int32_t fullPathName(const char* path, char* buffer, int32_t size) {
    return static_cast<int32_t>(GetFullPathNameA(path, static_cast<DWORD>(size), buffer, nullptr));
}

namespace {
struct FindState {
    HANDLE handle = INVALID_HANDLE_VALUE;
    WIN32_FIND_DATAA data{};
    bool pending = false;
};
}  // namespace

DirLister::~DirLister() { close(); }

bool DirLister::open(const char* pattern) {
    close();
    auto* st = new FindState;
    st->handle = FindFirstFileA(pattern, &st->data);
    if (st->handle == INVALID_HANDLE_VALUE) {
        delete st;
        return false;
    }
    st->pending = true;
    state_ = st;
    return true;
}

bool DirLister::next(DirEntry& entry) {
    auto* st = static_cast<FindState*>(state_);
    if (!st) return false;
    if (!st->pending && !FindNextFileA(st->handle, &st->data)) return false;
    st->pending = false;
    entry.name = ByteString(st->data.cFileName);
    entry.isDirectory = (st->data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return true;
}

void DirLister::close() {
    auto* st = static_cast<FindState*>(state_);
    if (st) {
        FindClose(st->handle);
        delete st;
    }
    state_ = nullptr;
}

// ---- environment ----

bool getEnv(const char* name, ByteString& value) {
    if (!name || !name[0]) return false;
    const char* v = std::getenv(name);
    if (!v) return false;
    value = ByteString(v);
    return true;
}

void putEnv(const char* assignment) {
    if (assignment && std::strchr(assignment, '=')) _putenv(assignment);
}

// ---- threads ----

namespace {
struct ThreadState {
    ThreadProc proc;
    void* argument;
};
unsigned __stdcall threadEntry(void* p) {
    auto* st = static_cast<ThreadState*>(p);
    ThreadProc proc = st->proc;
    void* argument = st->argument;
    delete st;
    return static_cast<unsigned>(proc(argument));
}
}  // namespace

Thread::~Thread() {
    if (handle_) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

bool Thread::start(ThreadProc proc, void* argument, size_t stackSize, bool reserveOnly) {
    auto* st = new ThreadState{proc, argument};
    uintptr_t h = _beginthreadex(nullptr, static_cast<unsigned>(stackSize), threadEntry, st,
                                 reserveOnly ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0, nullptr);
    if (!h) {
        delete st;
        return false;
    }
    handle_ = static_cast<intptr_t>(h);
    return true;
}

int Thread::join() {
    if (!handle_) return 0;
    HANDLE h = reinterpret_cast<HANDLE>(handle_);
    DWORD code = 0;
    WaitForSingleObject(h, INFINITE);
    GetExitCodeThread(h, &code);
    CloseHandle(h);
    handle_ = 0;
    return static_cast<int>(code);
}

void Thread::detach() {
    if (!handle_) return;
    CloseHandle(reinterpret_cast<HANDLE>(handle_));
    handle_ = 0;
}

void sleepMs(int milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }

// ---- single-instance lock ----

NamedMutex::~NamedMutex() {
    // The handle stays open and the mutex owned until the process ends.
}

NamedMutex::Result NamedMutex::acquire(const char* name, int timeoutMs, int& error) {
    HANDLE h = CreateMutexA(nullptr, FALSE, name);
    if (!h) {
        error = static_cast<int>(GetLastError());
        return Result::CreateFailed;
    }
    handle_ = reinterpret_cast<intptr_t>(h);
    DWORD w = WaitForSingleObject(h, static_cast<DWORD>(timeoutMs));
    if (w == WAIT_OBJECT_0 || w == WAIT_ABANDONED) return Result::Owned;
    return Result::TimedOut;
}

// ---- shared memory ----

// The executable's shared data section: one copy for every process started from
// the same executable file.
__attribute__((section(".SHMMESS"), shared)) unsigned char executableArea[kExecutableAreaSize] = {};

SharedArea::~SharedArea() { close(); }

bool SharedArea::openNamed(const char* name, size_t size) {
    close();
    HANDLE m = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, static_cast<DWORD>(size), name);
    if (!m) return false;
    void* p = MapViewOfFile(m, FILE_MAP_ALL_ACCESS, 0, 0, size);
    if (!p) {
        CloseHandle(m);
        return false;
    }
    handle_ = reinterpret_cast<intptr_t>(m);
    data_ = p;
    size_ = size;
    named_ = true;
    return true;
}

bool SharedArea::openExecutableArea() {
    close();
    data_ = executableArea;
    size_ = kExecutableAreaSize;
    named_ = false;
    return true;
}

void SharedArea::close() {
    if (named_ && data_) UnmapViewOfFile(data_);
    if (named_ && handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
    data_ = nullptr;
    size_ = 0;
    handle_ = -1;
    named_ = false;
}

// ---- dynamic libraries ----

bool DynamicLibrary::load(const char* path, bool /*global*/) {
    handle_ = LoadLibraryA(path);
    return handle_ != nullptr;
}

void* DynamicLibrary::symbol(const char* name) const {
    return handle_ ? reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name)) : nullptr;
}

void DynamicLibrary::unload() {
    if (handle_) FreeLibrary(static_cast<HMODULE>(handle_));
    handle_ = nullptr;
}

ByteString lastLoadErrorText() {
    char* text = nullptr;
    DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        GetLastError(), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text), 0, nullptr);
    ByteString out;
    if (n && text) {
        while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ')) --n;
        out.assign(text, static_cast<int32_t>(n));
    }
    if (text) LocalFree(text);
    return out;
}

// ---- registry and resources ----

bool readRegistryValue(RegistryRoot root, const char* keyPath, const char* valueName, uint32_t& type,
                       ByteBuffer& data) {
    HKEY rootKey = HKEY_CURRENT_USER;
    switch (root) {
        case RegistryRoot::ClassesRoot: rootKey = HKEY_CLASSES_ROOT; break;
        case RegistryRoot::CurrentUser: rootKey = HKEY_CURRENT_USER; break;
        case RegistryRoot::LocalMachine: rootKey = HKEY_LOCAL_MACHINE; break;
        case RegistryRoot::Users: rootKey = HKEY_USERS; break;
        case RegistryRoot::CurrentConfig: rootKey = HKEY_CURRENT_CONFIG; break;
    }
    HKEY key = nullptr;
    if (RegOpenKeyExA(rootKey, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    DWORD kind = 0;
    DWORD size = 0;
    bool ok = RegQueryValueExA(key, valueName, nullptr, &kind, nullptr, &size) == ERROR_SUCCESS && size <= 0x7FFFFFF0;
    if (ok) {
        // One spare byte so a string without its terminator still ends.
        data.resize(static_cast<int32_t>(size) + 1);
        DWORD got = size;
        ok = RegQueryValueExA(key, valueName, nullptr, &kind, data.data(), &got) == ERROR_SUCCESS && got <= size;
        if (ok) data.resize(static_cast<int32_t>(got));
    }
    RegCloseKey(key);
    if (!ok) return false;
    type = kind;
    return true;
}

bool stringResource(int number, std::u16string& text) {
    // Block number / 16 + 1 holds the strings 16 (block - 1) to 16 (block - 1) + 15,
    // each a 16-bit length followed by that many UTF-16 units.
    if (number < 0 || number / 16 + 1 > 0xFFFF) return false;
    const int block = number / 16 + 1;
    HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(block), MAKEINTRESOURCEA(6) /* RT_STRING */);
    if (!found) return false;
    HGLOBAL loaded = LoadResource(nullptr, found);
    const DWORD size = SizeofResource(nullptr, found);
    const auto* units = loaded ? static_cast<const uint16_t*>(LockResource(loaded)) : nullptr;
    if (!units) return false;
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

}  // namespace hux::platform
