// Storing a runtime image in the archive: each file under the runtime
// prefix, the larger ones for Linux as Zstandard frames, then the index.
#include <climits>
#include <fstream>
#include <string>
#include <vector>

#include <zlib.h>
#ifdef HUX_HAVE_ZSTD
#include <zstd.h>
#endif

#include "common/runtime_index.h"
#include "common/zip_format.h"
#include "tool/file_names.h"
#include "tool/runtime_image.h"
#include "tool/zip_writer.h"

namespace hux::tool {

namespace {

// A file for the Linux launcher as one Zstandard frame in a stored entry
// (long-distance matching, a window of at most 128 MiB, which the launcher's
// one-shot decoding needs no buffer for); `file` gets its CRC-32. Level 12
// packs a hello world's 57 MB image in about 3 s and a little smaller than
// deflate's best; decoding takes a quarter of inflating's time.
bool addZstdFile(ZipWriter& zip, const std::string& name, const std::string& path, RuntimeIndex::File& file,
                 std::string& error) {
#ifdef HUX_HAVE_ZSTD
    std::ifstream in(pathOf(path), std::ios::binary);
    std::vector<uint8_t> data(static_cast<size_t>(file.size));
    in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size()));
    ZSTD_CCtx* cctx = ZSTD_createCCtx();
    if (!in || in.peek() != std::char_traits<char>::eof() || !cctx) {
        ZSTD_freeCCtx(cctx);
        error = "cannot read '" + path + "'";
        return false;
    }
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, 12);
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_enableLongDistanceMatching, 1);
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_windowLog, 27);
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1);
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_nbWorkers, 2);  // refused where the library has no threads: one then
    std::vector<uint8_t> frame(ZSTD_compressBound(data.size()));
    const size_t n = ZSTD_compress2(cctx, frame.data(), frame.size(), data.data(), data.size());
    ZSTD_freeCCtx(cctx);
    if (ZSTD_isError(n)) {
        error = "cannot compress '" + name + "': " + ZSTD_getErrorName(n);
        return false;
    }
    frame.resize(n);
    file.zstd = true;
    file.crc = static_cast<uint32_t>(crc32(crc32(0, nullptr, 0), data.data(), static_cast<uInt>(data.size())));
    return zip.add(name, frame, ZipWriter::Method::Stored, error);
#else
    (void)file;
    return zip.addFile(name, path, ZipWriter::Method::Deflated, error);
#endif
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
    for (RuntimeIndex::File& file : index.files) {
        if (!file.linkTo.empty()) continue;
        const std::string name = std::string(kRuntimeEntryPrefix) + file.path;
        const std::string path = textOf(pathOf(dir) / pathOf(file.path));
        // Small files gain nothing from another method; one past 2 GiB goes
        // deflated, streamed; and a stored entry named like an archive is one
        // the launcher opens as such.
        const bool whole = zstd && file.size >= 64 * 1024 && file.size <= static_cast<uint64_t>(INT32_MAX) &&
                           !zip::isArchiveName(file.path);
        if (!(whole ? addZstdFile(zip, name, path, file, error)
                    : zip.addFile(name, path, ZipWriter::Method::Deflated, error)))
            return false;
    }
    const std::string text = formatRuntimeIndex(index);
    return zip.add(std::string(kRuntimeIndexName), reinterpret_cast<const uint8_t*>(text.data()), text.size(),
                   ZipWriter::Method::Deflated, error);
}

}  // namespace hux::tool
