// A runtime image carried inside an executable's payload: its files are
// entries under kRuntimeEntryPrefix, and one small index entry describes them
// (the image's content hash, each file's size and whether it is executable).
// The packer writes the index and the launcher reads it; both use this format.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace hux {

// Archive names: the image's files below the prefix, the index beside it.
constexpr std::string_view kRuntimeEntryPrefix = "hux-runtime/";
constexpr std::string_view kRuntimeIndexName = "hux-runtime.index";
// The file an unpacked image holds once every other file is whole.
constexpr std::string_view kRuntimeCompleteName = ".hux-complete";
// Length of the content hash in hexadecimal digits.
constexpr size_t kRuntimeHashDigits = 32;

struct RuntimeIndex {
    struct File {
        std::string path;  // relative, '/'-separated
        uint64_t size = 0;
        bool executable = false;
        // A link inside the image: the path of the stored file whose bytes
        // this one has. The archive holds no entry of its own for it; the
        // launcher writes a copy of the target under `path`.
        std::string linkTo;
        // Whether the entry holds the file as one Zstandard frame (stored, so
        // that the JDK's own zip reader still opens the executable), and the
        // CRC-32 of the file itself, which such an entry's header cannot carry.
        bool zstd = false;
        uint32_t crc = 0;
    };
    std::string hash;  // kRuntimeHashDigits lower-case hexadecimal digits
    std::vector<File> files;
    uint64_t totalBytes = 0;
};

// The index as text: a header line, "hash <hex>", "files <count> <bytes>",
// then one "<x|-> <size> <path>" line per stored file ("zx" or "z-" and
// "<size> <crc> <path>" for a Zstandard frame, the CRC-32 as 8 hexadecimal
// digits) and one "= <size> <path>\t<target>" line per link to a stored file.
std::string formatRuntimeIndex(const RuntimeIndex& index);

// Reads an index; false with `error` when a line is malformed, a path is not
// a plain relative name (see isPlainRelativePath), a link's target is not a
// stored file of the index, the counts disagree with the lines or the hash is
// not kRuntimeHashDigits hexadecimal digits.
bool parseRuntimeIndex(std::string_view text, RuntimeIndex& index, std::string& error);

// A relative path every system can create below a directory: '/'-separated
// non-empty components, none "." or "..", no backslash, colon or control
// character, and not the completion file's name at the top.
bool isPlainRelativePath(std::string_view path);

// The completion file's text for an image unpacked from `index`.
std::string runtimeCompletionText(const RuntimeIndex& index);

}  // namespace hux
