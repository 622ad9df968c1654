// Files, directories and the conventions of paths: tests, reading and
// mapping, the current directory, full paths and directory listings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "common/byte_string.h"
#include "platform/status.h"

namespace hux::platform {

// Size of the launcher's path buffers: a path has at most kPathMax - 1 bytes
// (the module-name buffer of Windows; the system's PATH_MAX on Linux, whose
// paths have no shorter limit).
#if defined(_WIN32)
constexpr int32_t kPathMax = 260;
#else
constexpr int32_t kPathMax = 4096;
#endif

// Makes the paths this layer takes and gives (files, the arguments of
// programs it runs, the executable's own name) UTF-8 text whatever the
// system's ANSI code page, and a console show UTF-8 output while the process
// runs: the hux tool's choice, which reads its arguments as UTF-8. Nothing
// where paths are bytes anyway (Linux). Called once, before other calls.
void usePathsInUtf8();

// std::fopen for a path in this layer's path text.
std::FILE* openStdioFile(const char* path, const char* mode);

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
    Status open(const char* path);
    void close();
    bool isOpen() const { return handle_ != -1; }
    int64_t size() const;
    // Reads exactly `count` bytes at `offset`; a short read fails too.
    Status readAt(int64_t offset, void* buffer, size_t count) const;
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
    // Fails on an empty file too.
    Status map(const InputFile& file);
    void unmap();
    const uint8_t* data() const { return data_; }
    int64_t size() const { return size_; }

private:
    const uint8_t* data_ = nullptr;
    int64_t size_ = 0;
    intptr_t mapping_ = 0;
};

// The current directory (failing when it cannot be read or does not fit kPathMax).
Result<ByteString> currentDirectory();
Status setCurrentDirectory(const char* path);

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

// Separator between the elements of a path list, PATH as well as a class path
// (";" on Windows, ":" elsewhere).
char pathListSeparator();

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
    // Starts listing `pattern` (for example "dir/*" or "src\\*.java"). Where
    // nothing matches, Windows fails (ERROR_FILE_NOT_FOUND) and Linux lists
    // nothing.
    Status open(const char* pattern);
    // The next entry; false at the end.
    bool next(DirEntry& entry);
    void close();

private:
    void* state_ = nullptr;
};

}  // namespace hux::platform
