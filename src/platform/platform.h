// The only operating-system-facing API of the launcher. Portable code calls
// these functions; CMake compiles exactly one of posix/ or win32/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/byte_string.h"

namespace hux::platform {

// Size of the launcher's path buffers: a path has at most kPathMax - 1 bytes
// (the module-name buffer of Windows; the system's PATH_MAX on Linux, whose
// paths have no shorter limit).
#if defined(_WIN32)
constexpr int32_t kPathMax = 260;
#else
constexpr int32_t kPathMax = 4096;
#endif

// ---- process, locale, text ----

// Full path of the running executable, as the module file name gives it
// (at most kPathMax - 1 bytes on Windows, any length the system can report
// on Linux, else kSelfExecutable; empty when it cannot be read).
ByteString moduleFileName();
// What moduleFileName gives on Linux when the system cannot spell the path:
// a name that opens the running executable whatever its path.
constexpr const char kSelfExecutable[] = "/proc/self/exe";
uint32_t currentProcessId();
// Sets every locale category from the user's environment.
void setLocaleFromEnvironment();
// Multibyte (the user's ANSI code page / locale charset) <-> UTF-16, through the
// standard conversions under the current locale. Both convert as far as the
// conversion gets and stop at the first character they cannot convert.
std::u16string ansiToUtf16(const char* text, size_t length);
ByteString utf16ToAnsi(const char16_t* units, size_t count);
// Decodes the launcher's own UTF-8 text (configuration values, archive entry
// names) for Java and for utf16ToAnsi. Where the ANSI text is UTF-8 (Linux)
// every character comes through, also beyond the Basic Multilingual Plane in
// either of its two UTF-8 spellings, and ill-formed bytes become U+FFFD;
// elsewhere the launcher's own one- to three-byte decoder is used.
std::u16string utf8TextToUtf16(std::string_view text);
// Whether the virtual machine, decoding with the current locale's character
// set, reads `text` (a path handed over in an option) as the launcher means
// it. Always true where options are ANSI text anyway (Windows).
bool localeDecodes(std::string_view text);
// System error code of the last failed call (GetLastError / errno).
int lastErrorCode();
// Initialises the common controls library (nothing where there is none).
void initCommonControls();

// ---- files and directories ----

// Read-permission access test (directories pass too).
bool isReadable(const char* path);
// Existence test only.
bool pathExists(const char* path);
bool isDirectory(const char* path);

class InputFile {
public:
    InputFile() = default;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile();
    // Opens an existing file for reading, sharing read and write. On Linux
    // only a regular file opens, without ever waiting (a FIFO is refused).
    bool open(const char* path);
    void close();
    bool isOpen() const { return handle_ != -1; }
    int64_t size() const;
    // Reads exactly `count` bytes at `offset`; false on error or short read.
    bool readAt(int64_t offset, void* buffer, size_t count) const;
    intptr_t nativeHandle() const { return handle_; }

private:
    intptr_t handle_ = -1;
};

// Read-only view of a whole file.
class FileView {
public:
    FileView() = default;
    FileView(const FileView&) = delete;
    FileView& operator=(const FileView&) = delete;
    ~FileView();
    bool map(const InputFile& file);
    void unmap();
    const uint8_t* data() const { return data_; }
    int64_t size() const { return size_; }

private:
    const uint8_t* data_ = nullptr;
    int64_t size_ = 0;
    intptr_t mapping_ = 0;
};

// The current directory (empty when it cannot be read or does not fit kPathMax).
ByteString currentDirectory();
bool setCurrentDirectory(const char* path);
// Full-path normalisation of `path` into `buffer` of `size` bytes, with the
// contract of the platform's full-path function: returns the length written,
// 0 on failure, or the required size (greater than `size`) when it does not fit.
int32_t fullPathName(const char* path, char* buffer, int32_t size);

// A name under which this process can open `path` whatever its spelling:
// "/proc/self/fd/N" of a descriptor kept open for the life of the process.
// With `resolvable`, the name also survives being resolved to a canonical
// path (the descriptor is of a copy in memory; regular files only). Empty
// where there is none or the path does not open.
ByteString descriptorPath(const char* path, bool resolvable);

// True where paths may carry a drive ("D:\x", "D:x") and a leading backslash
// names the root of the current drive (Windows); false where only a leading
// '/' makes a path absolute (Linux).
bool usesDrivePaths();

// Directory listing of a pattern whose last component may hold '*' and '?'
// (matched without regard to case), in the order the system lists them.
struct DirEntry {
    ByteString name;
    bool isDirectory;
};
// The listing's matcher where the system offers none (Linux): '*' and '?'
// stand for characters, not bytes, and letters match without regard to case
// by simple case folding.
bool wildcardMatches(std::string_view pattern, std::string_view name);
class DirLister {
public:
    DirLister() = default;
    DirLister(const DirLister&) = delete;
    DirLister& operator=(const DirLister&) = delete;
    ~DirLister();
    // Starts listing `pattern` (for example "dir/*" or "src\\*.java").
    bool open(const char* pattern);
    bool next(DirEntry& entry);
    void close();

private:
    void* state_ = nullptr;
};

// ---- environment ----

// Looks a variable up; names compare without regard to case where the platform
// does (Windows) and exactly first, then without regard to case, elsewhere.
bool getEnv(const char* name, ByteString& value);
// "NAME=value" with the runtime library's semantics: an empty value removes it.
void putEnv(const char* assignment);

// ---- registry (read only) and resources ----

enum class RegistryRoot { ClassesRoot, CurrentUser, LocalMachine, Users, CurrentConfig };
// Value types as the registry reports them.
constexpr uint32_t kRegString = 1;          // REG_SZ
constexpr uint32_t kRegExpandString = 2;    // REG_EXPAND_SZ
constexpr uint32_t kRegDword = 4;           // REG_DWORD
constexpr uint32_t kRegDwordBigEndian = 5;  // REG_DWORD_BIG_ENDIAN
// Reads one value (an empty `valueName` reads the key's default value) of the
// key `keyPath` under `root`, opened for reading in the process's own view.
// False when the key or the value cannot be read; where there is no registry
// every read fails.
bool readRegistryValue(RegistryRoot root, const char* keyPath, const char* valueName, uint32_t& type, ByteBuffer& data);
// Entry `number` of the executable's string-table resource, in the default
// language. False when the block or the entry does not exist or is empty, and
// where executables carry no string table.
bool stringResource(int number, std::u16string& text);

// ---- threads and timing ----

using ThreadProc = int (*)(void* argument);
class Thread {
public:
    Thread() = default;
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    ~Thread();
    // Starts a thread through the runtime library's thread creation with the
    // given stack size (0: default). `reserveOnly` asks for a reservation only.
    bool start(ThreadProc proc, void* argument, size_t stackSize, bool reserveOnly);
    // Waits without limit and returns the thread's exit code.
    int join();
    // Lets the thread run on unwatched: nothing waits for it any more, and the
    // system frees it when it ends. The object becomes empty.
    void detach();
    bool started() const { return handle_ != 0; }

private:
    intptr_t handle_ = 0;
    void* state_ = nullptr;
};
void sleepMs(int milliseconds);

// ---- in-process lock ----

// A lock for the threads of this process (a critical section on Windows, a
// pthread mutex elsewhere). Not recursive.
class Mutex {
public:
    Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;
    ~Mutex();
    void lock();
    void unlock();

private:
    alignas(16) unsigned char storage_[64];
};

// Holds a Mutex for the lifetime of the guard.
class MutexLock {
public:
    explicit MutexLock(Mutex& mutex) : mutex_(mutex) { mutex_.lock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;
    ~MutexLock() { mutex_.unlock(); }

private:
    Mutex& mutex_;
};

// ---- single-instance lock ----

class NamedMutex {
public:
    enum class Result { Owned, TimedOut, CreateFailed };
    NamedMutex() = default;
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;
    ~NamedMutex();
    // Creates (or opens) the mutex named `name` and waits up to `timeoutMs` to
    // own it. An abandoned mutex counts as owned. On CreateFailed, `error` holds
    // the system error code. The lock stays held until the process ends.
    Result acquire(const char* name, int timeoutMs, int& error);

private:
    intptr_t handle_ = -1;
};

// ---- shared memory ----

// A block of memory shared by processes. A fresh block reads all zero.
class SharedArea {
public:
    SharedArea() = default;
    SharedArea(const SharedArea&) = delete;
    SharedArea& operator=(const SharedArea&) = delete;
    ~SharedArea();
    // A named mapping of `size` bytes shared by every process that opens the
    // same name (created when it does not exist yet).
    bool openNamed(const char* name, size_t size);
    // The executable's own shared block: shared by every process started from
    // the same executable file.
    bool openExecutableArea();
    void close();
    void* data() const { return data_; }
    size_t size() const { return size_; }
    bool isNamed() const { return named_; }

private:
    void* data_ = nullptr;
    size_t size_ = 0;
    bool named_ = false;
    intptr_t handle_ = -1;
    intptr_t lock_ = -1;
};

// Size of the executable's own shared block.
constexpr size_t kExecutableAreaSize = 3072;

// ---- dynamic libraries ----

class DynamicLibrary {
public:
    DynamicLibrary() = default;
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;
    ~DynamicLibrary() = default;  // libraries stay loaded unless unload() is called
    bool load(const char* path, bool global);
    void* symbol(const char* name) const;
    void unload();
    bool loaded() const { return handle_ != nullptr; }
    void* handle() const { return handle_; }

private:
    void* handle_ = nullptr;
};
// The system's text for the last library-loading failure, without a trailing
// line break (dlerror on Linux; the system message table on Windows).
ByteString lastLoadErrorText();

// ---- Java runtime location, command line, privileges ----

// File name of the runtime's virtual-machine library ("jvm.dll", "libjvm.so").
const char* runtimeLibraryName();
// Directories below a runtime directory that may hold the library (each empty
// or ending in a separator), in the order they are probed; nullptr ends the list.
const char* const* runtimeProbePrefixes();
// Separator between the elements of a path list, PATH as well as a class path
// (";" on Windows, ":" elsewhere).
char pathListSeparator();
// Runtime homes the system itself names as its default runtime, in order of
// preference (none where the registry registrations serve that purpose).
void systemRuntimeHomes(StringList& out);
// Reads a text value (at most kPathMax - 1 bytes) of a key under the registry
// root `root`. False when the key or value is missing, is not text or does not
// fit; always false where there is no registry.
constexpr int kRegistryLocalMachine = 2;
bool readRegistryString(int root, const char* keyPath, const char* valueName, ByteString& out);
// Whether the system has a registry at all (runtime registrations live there).
bool hasRegistry();
// The command line as the process received it, as one text; false where the
// system hands over an argument vector only.
bool rawCommandLine(ByteString& out);
// Whether the process runs with elevated (administrator / root) rights.
bool isProcessElevated();

}  // namespace hux::platform
