// Files, directories and path normalisation on POSIX systems.
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
#include "platform/files.h"

namespace hux::platform {

void usePathsInUtf8() {}

std::FILE* openStdioFile(const char* path, const char* mode) { return std::fopen(path, mode); }

bool isReadable(const char* path) { return path && path[0] && access(path, R_OK) == 0; }

bool pathExists(const char* path) {
    struct stat st {};
    return path && path[0] && stat(path, &st) == 0;
}

bool isDirectory(const char* path) {
    struct stat st {};
    return path && path[0] && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

namespace {

// "cannot read N bytes at O: why", with the system's text when `why` is null.
Status readFailure(int64_t offset, size_t count, const char* why, int code) {
    std::string what = "cannot read " + std::to_string(count) + " bytes at " + std::to_string(offset);
    if (!why) return errorStatus(what, code);
    return Status::failure(what + ": " + why, code);
}

}  // namespace

InputFile::~InputFile() { close(); }

Status InputFile::open(const char* path) {
    close();
    // Opening without blocking: a FIFO (or a device) in the place of a file
    // would otherwise wait for a writer forever. Only regular files are read.
    int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return lastErrorStatus(describe("cannot open", path));
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        Status failed = lastErrorStatus(describe("cannot open", path));
        ::close(fd);
        return failed;
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        return Status::failure(describe("cannot open", path) + ": not a regular file");
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    handle_ = fd;
    return {};
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

Status InputFile::readAt(int64_t offset, void* buffer, size_t count) const {
    if (handle_ == -1 || offset < 0) return readFailure(offset, count, "no file open or a negative offset", EBADF);
    auto* p = static_cast<char*>(buffer);
    const int64_t start = offset;
    const size_t wanted = count;
    while (count > 0) {
        ssize_t n = pread(static_cast<int>(handle_), p, count, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return readFailure(start, wanted, nullptr, errno);
        if (n == 0) return readFailure(start, wanted, "the file ends first", 0);
        p += n;
        offset += n;
        count -= static_cast<size_t>(n);
    }
    return {};
}

FileView::~FileView() { unmap(); }

Status FileView::map(const InputFile& file) {
    unmap();
    int64_t size = file.size();
    if (size <= 0) return Status::failure("cannot map the file: it is empty or unreadable");
    void* p =
        mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_PRIVATE, static_cast<int>(file.nativeHandle()), 0);
    if (p == MAP_FAILED) return lastErrorStatus("cannot map the file");
    data_ = static_cast<const uint8_t*>(p);
    size_ = size;
    return {};
}

void FileView::unmap() {
    if (data_) munmap(const_cast<uint8_t*>(data_), static_cast<size_t>(size_));
    data_ = nullptr;
    size_ = 0;
}

Result<ByteString> currentDirectory() {
    char buffer[kPathMax];
    if (!getcwd(buffer, sizeof buffer)) return lastErrorStatus("cannot read the current directory");
    return ByteString(buffer);
}

Status setCurrentDirectory(const char* path) {
    if (!path || !path[0]) return errorStatus("cannot change to ''", ENOENT);
    if (chdir(path) != 0) return lastErrorStatus(describe("cannot change to", path));
    return {};
}

// Linux paths have no drives: only a leading '/' makes a path absolute, and a
// backslash is an ordinary file-name character.
bool usesDrivePaths() { return false; }

char pathListSeparator() { return ':'; }

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

// A name as a sequence of characters, each folded to its case-folding form.
// A byte that starts no well-formed UTF-8 sequence stands for itself (as a
// value past the last code point), so two different stray bytes never match
// each other and '?' takes exactly one of them.
std::u32string foldedCharacters(std::string_view text) {
    std::u32string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const Utf8Step step = readUtf8OrReplacement(text, i, false);
        if (step.valid) {
            out.push_back(foldCase(step.codePoint));
            i += step.length;
        } else {
            out.push_back(0x110000 + static_cast<unsigned char>(text[i]));
            ++i;
        }
    }
    return out;
}

}  // namespace

bool wildcardMatches(std::string_view patternText, std::string_view nameText) {
    // '*' and '?' over characters, without regard to case, with backtracking
    // on the last '*'. "*.*" keeps its plain meaning here: a dot is required.
    const std::u32string pattern = foldedCharacters(patternText);
    const std::u32string name = foldedCharacters(nameText);
    size_t p = 0, n = 0;
    size_t star = std::u32string::npos, resume = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == U'?' || (pattern[p] != U'*' && pattern[p] == name[n]))) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == U'*') {
            star = p++;
            resume = n;
        } else if (star != std::u32string::npos) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == U'*') ++p;
    return p == pattern.size();
}

namespace {

struct ListState {
    DIR* dir = nullptr;
    std::string directory;  // with its trailing '/', or empty for the current directory
    std::string pattern;
};

}  // namespace

DirLister::~DirLister() { close(); }

Status DirLister::open(const char* pattern) {
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
        return Status::failure(describe("cannot list", p) + ": no name to match");
    }
    st->dir = opendir(st->directory.empty() ? "." : st->directory.c_str());
    if (!st->dir) {
        Status failed = lastErrorStatus(describe("cannot list", p));
        delete st;
        return failed;
    }
    state_ = st;
    return {};
}

bool DirLister::next(DirEntry& entry) {
    auto* st = static_cast<ListState*>(state_);
    if (!st) return false;
    while (dirent* d = readdir(st->dir)) {
        if (!wildcardMatches(st->pattern, d->d_name)) continue;
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
