// Storing a runtime image in the archive: each file under the runtime
// prefix, the larger ones for Linux as Zstandard frames, then the index.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <zlib.h>
#ifdef HUX_HAVE_ZSTD
#include <zstd.h>
#endif

#include "common/byte_string.h"
#include "common/runtime_index.h"
#include "common/zip_format.h"
#include "platform/private_tree.h"
#include "platform/user_cache.h"
#include "tool/payload/file_names.h"
#include "tool/runtime/runtime_image.h"
#include "tool/payload/zip_writer.h"

namespace hux::tool {

namespace fs = std::filesystem;

namespace {

// A file for the Linux launcher as one Zstandard frame in a stored entry,
// which the launcher decodes in one call into the file's own buffer. Level
// 17 without long-distance matching: about 6% smaller than level 12 with it
// and a fifth faster to decode (its window is 8 MiB, which stays in the
// caches), but about five times slower to make; the files are compressed on
// every core, and a frame made once is kept in the user's cache (below) for
// the next pack of the same file.
constexpr int kZstdLevel = 17;

struct Frame {
    std::vector<uint8_t> bytes;
    uint32_t crc = 0;
    std::string error;
};

#ifdef HUX_HAVE_ZSTD
// Where frames made before are kept: `frames/` in the user's hux cache (the
// launcher's, with its checks: the user's own, private, nobody else can
// change the folders above), by size, CRC-32 and level. A frame is used only
// when it decodes to exactly the file's bytes, so a stale or damaged one (or
// another file of the same size and CRC) is made again. None where that
// cache cannot be used: `sudo hux pack` thus leaves no folder of root's in
// the user's cache, where the launcher could then not write.
fs::path frameCacheDir() {
    const ByteString cache = platform::userCacheDirectory().value();
    if (cache.empty()) return {};
    const std::string dir = std::string(cache.c_str()) + "frames";
    if (!platform::makePrivateDirectory(dir.c_str())) return {};
    return pathOf(dir);
}

fs::path frameCachePath(const fs::path& dir, size_t size, uint32_t crc) {
    char name[64];
    std::snprintf(name, sizeof name, "%zu-%08x-%d.zst", size, static_cast<unsigned>(crc), kZstdLevel);
    return dir / name;
}

bool decodesTo(const std::vector<uint8_t>& frame, const std::vector<uint8_t>& data) {
    if (ZSTD_getFrameContentSize(frame.data(), frame.size()) != data.size()) return false;
    std::vector<uint8_t> out(data.size());
    const size_t n = ZSTD_decompress(out.data(), out.size(), frame.data(), frame.size());
    return !ZSTD_isError(n) && n == data.size() && out == data;
}

bool cachedFrame(const fs::path& file, const std::vector<uint8_t>& data, std::vector<uint8_t>& frame) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    frame.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (!decodesTo(frame, data)) return false;
    std::error_code ec;
    fs::last_write_time(file, fs::file_time_type::clock::now(), ec);  // recently used: kept
    return true;
}

// Written under a name of its own, then renamed: packs running side by side
// never read half a frame. Failing to keep it costs only the next pack's time.
void keepFrame(const fs::path& file, const std::vector<uint8_t>& frame) {
    const std::string temp = textOf(file) + "." + std::to_string(std::random_device()());
    if (!platform::writeNewPrivateFile(temp.c_str(), frame.data(), frame.size())) return;
    if (!platform::replaceFile(temp.c_str(), textOf(file).c_str())) platform::removeFile(temp.c_str());
}

// Frames not used for 60 days go, so the cache follows the runtimes packed.
void pruneFrameCache(const fs::path& dir) {
    std::error_code ec;
    const auto limit = fs::file_time_type::clock::now() - std::chrono::hours(24 * 60);
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        if (it->is_regular_file(ec) && it->last_write_time(ec) < limit) fs::remove(it->path(), ec);
}

bool compressFrame(const std::vector<uint8_t>& data, std::vector<uint8_t>& frame, std::string& error) {
    ZSTD_CCtx* cctx = ZSTD_createCCtx();
    if (!cctx) {
        error = "not enough memory";
        return false;
    }
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, kZstdLevel);
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1);
    // A file past one job's 32 MiB (a large module image) is split across
    // two workers; refused where the library has no threads: one then.
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_nbWorkers, 2);
    frame.resize(ZSTD_compressBound(data.size()));
    const size_t n = ZSTD_compress2(cctx, frame.data(), frame.size(), data.data(), data.size());
    ZSTD_freeCCtx(cctx);
    if (ZSTD_isError(n)) {
        error = ZSTD_getErrorName(n);
        return false;
    }
    frame.resize(n);
    return true;
}
#endif

// The frame of one file, from the cache or made anew (and kept).
void makeFrame(const std::string& path, uint64_t size, const fs::path& cache, Frame& frame) {
#ifdef HUX_HAVE_ZSTD
    std::ifstream in(pathOf(path), std::ios::binary);
    std::vector<uint8_t> data(static_cast<size_t>(size));
    in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size()));
    if (!in || in.peek() != std::char_traits<char>::eof()) {
        frame.error = "cannot read '" + path + "'";
        return;
    }
    frame.crc = static_cast<uint32_t>(crc32(crc32(0, nullptr, 0), data.data(), static_cast<uInt>(data.size())));
    const fs::path kept = cache.empty() ? fs::path() : frameCachePath(cache, data.size(), frame.crc);
    if (!kept.empty() && cachedFrame(kept, data, frame.bytes)) return;
    std::string why;
    if (!compressFrame(data, frame.bytes, why)) {
        frame.error = "cannot compress '" + path + "': " + why;
        return;
    }
    if (!kept.empty()) keepFrame(kept, frame.bytes);
#else
    (void)path;
    (void)size;
    (void)cache;
    frame.error = "this build has no Zstandard";
#endif
}

// Makes the frames of `files` on every core (at most four threads).
std::vector<Frame> makeFrames(const std::vector<std::pair<std::string, uint64_t>>& files) {
    std::vector<Frame> frames(files.size());
#ifdef HUX_HAVE_ZSTD
    const fs::path cache = frameCacheDir();
#else
    const fs::path cache;
#endif
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t i; (i = next++) < files.size();) makeFrame(files[i].first, files[i].second, cache, frames[i]);
    };
    const unsigned cores = std::max(1u, std::min(4u, std::thread::hardware_concurrency()));
    std::vector<std::thread> helpers;
    for (unsigned t = 1; t < cores && t < files.size(); ++t) helpers.emplace_back(work);
    work();
    for (std::thread& t : helpers) t.join();
#ifdef HUX_HAVE_ZSTD
    if (!cache.empty()) pruneFrameCache(cache);
#endif
    return frames;
}

// Whether a file of the image travels as a frame: small files gain nothing
// from another method; one past 2 GiB goes deflated, streamed; and a stored
// entry named like an archive is one the launcher opens as such.
bool asFrame(bool zstd, const RuntimeIndex::File& file) {
    return zstd && file.linkTo.empty() && file.size >= 64 * 1024 && file.size <= static_cast<uint64_t>(INT32_MAX) &&
           !zip::isArchiveName(file.path);
}

}  // namespace

bool zstdForTarget(const std::string& target) {
#ifdef HUX_HAVE_ZSTD
    return target == "linux-x64";
#else
    (void)target;
    return false;
#endif
}

bool addRuntimeImage(ZipWriter& zip, const std::string& dir, RuntimeIndex index, bool zstd, std::string& error) {
    std::vector<std::pair<std::string, uint64_t>> framed;
    for (const RuntimeIndex::File& file : index.files)
        if (asFrame(zstd, file)) framed.emplace_back(textOf(pathOf(dir) / pathOf(file.path)), file.size);
    const std::vector<Frame> frames = makeFrames(framed);
    size_t nextFrame = 0;
    for (RuntimeIndex::File& file : index.files) {
        if (!file.linkTo.empty()) continue;
        const std::string name = std::string(kRuntimeEntryPrefix) + file.path;
        const std::string path = textOf(pathOf(dir) / pathOf(file.path));
        if (!asFrame(zstd, file)) {
            if (!zip.addFile(name, path, ZipWriter::Method::Deflated, error)) return false;
            continue;
        }
        const Frame& frame = frames[nextFrame++];
        if (!frame.error.empty()) {
            error = frame.error;
            return false;
        }
        file.zstd = true;
        file.crc = frame.crc;
        if (!zip.add(name, frame.bytes, ZipWriter::Method::Stored, error)) return false;
    }
    const std::string text = formatRuntimeIndex(index);
    return zip.add(std::string(kRuntimeIndexName), reinterpret_cast<const uint8_t*>(text.data()), text.size(),
                   ZipWriter::Method::Deflated, error);
}

}  // namespace hux::tool
