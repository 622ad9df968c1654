// Files, directories and path normalisation on Linux.
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "common/utf.h"
#include "platform/platform.h"

namespace hux::platform {

bool isReadable(const char* path) { return path && path[0] && access(path, R_OK) == 0; }

bool pathExists(const char* path) {
    struct stat st {};
    return path && path[0] && stat(path, &st) == 0;
}

bool isDirectory(const char* path) {
    struct stat st {};
    return path && path[0] && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

InputFile::~InputFile() { close(); }

bool InputFile::open(const char* path) {
    close();
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        return false;
    }
    handle_ = fd;
    return true;
}

void InputFile::close() {
    if (handle_ != -1) ::close(static_cast<int>(handle_));
    handle_ = -1;
}

int64_t InputFile::size() const {
    struct stat st {};
    if (handle_ == -1 || fstat(static_cast<int>(handle_), &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

bool InputFile::readAt(int64_t offset, void* buffer, size_t count) const {
    if (handle_ == -1 || offset < 0) return false;
    auto* p = static_cast<char*>(buffer);
    while (count > 0) {
        ssize_t n = pread(static_cast<int>(handle_), p, count, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        offset += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

FileView::~FileView() { unmap(); }

bool FileView::map(const InputFile& file) {
    unmap();
    int64_t size = file.size();
    if (size <= 0) return false;
    void* p = mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_PRIVATE,
                   static_cast<int>(file.nativeHandle()), 0);
    if (p == MAP_FAILED) return false;
    data_ = static_cast<const uint8_t*>(p);
    size_ = size;
    return true;
}

void FileView::unmap() {
    if (data_) munmap(const_cast<uint8_t*>(data_), static_cast<size_t>(size_));
    data_ = nullptr;
    size_ = 0;
}

ByteString currentDirectory() {
    char buffer[kPathMax];
    if (!getcwd(buffer, sizeof buffer)) return {};
    return ByteString(buffer);
}

bool setCurrentDirectory(const char* path) { return path && path[0] && chdir(path) == 0; }

// Linux paths have no drives: only a leading '/' makes a path absolute, and a
// backslash is an ordinary file-name character.
bool usesDrivePaths() { return false; }

int32_t fullPathName(const char* path, char* buffer, int32_t size) {
    if (!path || !path[0]) return 0;
    std::string full;
    if (path[0] != '/') {
        char cwd[4096];
        if (!getcwd(cwd, sizeof cwd)) return 0;
        full = cwd;
        full += '/';
    }
    full += path;
    // Lexical normalisation: drop empty and "." segments, let ".." remove the
    // segment before it (never above the root).
    std::vector<std::string> parts;
    size_t i = 0;
    while (i <= full.size()) {
        size_t j = full.find('/', i);
        if (j == std::string::npos) j = full.size();
        std::string seg = full.substr(i, j - i);
        if (seg == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!seg.empty() && seg != ".") {
            parts.push_back(seg);
        }
        i = j + 1;
    }
    std::string out;
    for (const auto& p : parts) out += "/" + p;
    // A trailing separator of the input is kept, as the Windows function does.
    if (out.empty()) {
        out = "/";
    } else if (full.back() == '/') {
        out += '/';
    }
    const auto length = static_cast<int32_t>(out.size());
    if (length + 1 > size) return length + 1;
    std::memcpy(buffer, out.c_str(), out.size() + 1);
    return length;
}

// ---- directory listing ----

namespace {

bool wildcardMatch(const char* pattern, const char* name) {
    // Case-insensitive '*' / '?' matcher with backtracking on the last '*'.
    const char* star = nullptr;
    const char* resume = nullptr;
    while (*name) {
        if (*pattern == '?' || (*pattern && *pattern != '*' && asciiLower(*pattern) == asciiLower(*name))) {
            ++pattern;
            ++name;
        } else if (*pattern == '*') {
            star = pattern++;
            resume = name;
        } else if (star) {
            pattern = star + 1;
            name = ++resume;
        } else {
            return false;
        }
    }
    while (*pattern == '*') ++pattern;
    return *pattern == '\0';
}

struct ListState {
    DIR* dir = nullptr;
    std::string directory;  // with its trailing '/', or empty for the current directory
    std::string pattern;
};

}  // namespace

DirLister::~DirLister() { close(); }

bool DirLister::open(const char* pattern) {
    close();
    std::string p = pattern ? pattern : "";
    // Configured patterns may use either separator; the directory part is
    // opened with '/' only.
    size_t slash = p.find_last_of("/\\");
    auto* st = new ListState;
    if (slash == std::string::npos) {
        st->pattern = p;
    } else {
        st->directory = p.substr(0, slash + 1);
        for (char& c : st->directory)
            if (c == '\\') c = '/';
        st->pattern = p.substr(slash + 1);
    }
    if (st->pattern.empty()) {
        delete st;
        return false;
    }
    st->dir = opendir(st->directory.empty() ? "." : st->directory.c_str());
    if (!st->dir) {
        delete st;
        return false;
    }
    state_ = st;
    return true;
}

bool DirLister::next(DirEntry& entry) {
    auto* st = static_cast<ListState*>(state_);
    if (!st) return false;
    while (dirent* d = readdir(st->dir)) {
        if (!wildcardMatch(st->pattern.c_str(), d->d_name)) continue;
        entry.name = ByteString(d->d_name);
        bool dir = d->d_type == DT_DIR;
        if (d->d_type == DT_UNKNOWN || d->d_type == DT_LNK) {
            std::string full = st->directory + d->d_name;
            dir = isDirectory(full.c_str());
        }
        entry.isDirectory = dir;
        return true;
    }
    return false;
}

void DirLister::close() {
    auto* st = static_cast<ListState*>(state_);
    if (st) {
        if (st->dir) closedir(st->dir);
        delete st;
    }
    state_ = nullptr;
}

}  // namespace hux::platform
