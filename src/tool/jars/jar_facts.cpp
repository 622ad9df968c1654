#include "tool/jars/jar_facts.h"

#include <zlib.h>

#include <memory>

#include "common/utf.h"

namespace hux::tool {

namespace {

constexpr std::string_view kManifestName = "META-INF/MANIFEST.MF";

// Reads big-endian values from a class file, failing softly at its end.
class ClassReader {
public:
    ClassReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool ok() const { return ok_; }
    uint32_t u1() { return need(1) ? data_[at_++] : 0; }
    uint32_t u2() {
        if (!need(2)) return 0;
        at_ += 2;
        return static_cast<uint32_t>(data_[at_ - 2] << 8 | data_[at_ - 1]);
    }
    uint32_t u4() { return u2() << 16 | u2(); }
    void skip(size_t n) {
        if (need(n)) at_ += n;
    }
    std::string_view bytes(size_t n) {
        if (!need(n)) return {};
        at_ += n;
        return {reinterpret_cast<const char*>(data_ + at_ - n), n};
    }

private:
    bool need(size_t n) {
        if (size_ - at_ < n) ok_ = false;
        return ok_;
    }
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
    bool ok_ = true;
};

}  // namespace

bool Jar::open(const std::string& path) {
    auto source = std::make_unique<FileSource>();
    if (!source->open(path.c_str())) return false;
    source_ = source.get();
    return reader_.open(std::move(source));
}

int32_t Jar::find(std::string_view wanted) const {
    for (int32_t i = 0; i < count(); ++i)
        if (name(i) == wanted) return i;
    if (wanted == kManifestName)
        for (int32_t i = 0; i < count(); ++i)
            if (equalsIgnoreCase(name(i), wanted)) return i;
    return -1;
}

bool Jar::read(int32_t i, std::vector<uint8_t>& out) {
    if (!reader_.canRead(i)) return false;
    out.resize(reader_.entry(i).size);
    return reader_.readEntry(i, out.data());
}

bool Jar::manifest(std::vector<uint8_t>& out) {
    const int32_t i = find(kManifestName);
    return i >= 0 && read(i, out);
}

const uint8_t* Jar::rawData(int32_t i) const {
    const uint8_t* base = source_ ? source_->bytes() : nullptr;
    if (!base || !reader_.canRead(i)) return nullptr;
    const ZipEntry& e = reader_.entry(i);
    const auto size = static_cast<uint64_t>(source_->size());
    const uint64_t header = static_cast<uint64_t>(reader_.archiveStart()) + e.localHeaderOffset;
    if (header + zip::kLocalHeaderSize > size) return nullptr;
    const int64_t offset = zip::localDataOffset(base + header);
    if (offset < 0 || header + static_cast<uint64_t>(offset) + e.compressedSize > size) return nullptr;
    return base + header + offset;
}

bool Jar::head(int32_t i, uint8_t* out, size_t count, size_t& produced) const {
    produced = 0;
    const uint8_t* raw = rawData(i);
    if (!raw) return false;
    const ZipEntry& e = reader_.entry(i);
    const size_t want = static_cast<size_t>(std::min<uint64_t>(count, e.size));
    if (e.method == 0) {
        std::copy(raw, raw + want, out);
        produced = want;
        return true;
    }
    z_stream zs{};
    if (inflateInit2(&zs, -15) != Z_OK) return false;
    zs.next_in = const_cast<Bytef*>(raw);
    zs.avail_in = static_cast<uInt>(e.compressedSize);
    zs.next_out = out;
    zs.avail_out = static_cast<uInt>(want);
    const int rc = inflate(&zs, Z_SYNC_FLUSH);
    produced = want - zs.avail_out;
    inflateEnd(&zs);
    return (rc == Z_OK || rc == Z_STREAM_END || rc == Z_BUF_ERROR) && produced == want;
}

MainMethod mainMethodOf(const uint8_t* data, size_t size, std::string& super) {
    ClassReader r(data, size);
    if (r.u4() != 0xCAFEBABE) return MainMethod::NotAClass;
    r.skip(4);  // minor, major
    const uint32_t poolCount = r.u2();
    std::vector<std::string_view> utf8(poolCount);
    std::vector<uint32_t> classNames(poolCount);
    for (uint32_t i = 1; i < poolCount && r.ok(); ++i) {
        const uint32_t tag = r.u1();
        switch (tag) {
            case 1: utf8[i] = r.bytes(r.u2()); break;
            case 7: classNames[i] = r.u2(); break;
            case 8:
            case 16:
            case 19:
            case 20: r.skip(2); break;
            case 15: r.skip(3); break;
            case 3:
            case 4:
            case 9:
            case 10:
            case 11:
            case 12:
            case 17:
            case 18: r.skip(4); break;
            case 5:
            case 6:
                r.skip(8);
                ++i;
                break;  // takes two slots
            default: return MainMethod::NotAClass;
        }
    }
    r.skip(2);  // access flags
    r.u2();     // this class
    const uint32_t superIndex = r.u2();
    super.clear();
    if (superIndex > 0 && superIndex < poolCount && classNames[superIndex] < poolCount)
        super = std::string(utf8[classNames[superIndex]]);
    r.skip(2 * static_cast<size_t>(r.u2()));  // interfaces
    auto skipMembers = [&](bool methods) {
        const uint32_t count = r.u2();
        for (uint32_t m = 0; m < count && r.ok(); ++m) {
            const uint32_t flags = r.u2();
            const uint32_t name = r.u2();
            const uint32_t descriptor = r.u2();
            if (methods && (flags & 0x0009) == 0x0009 && name < poolCount && descriptor < poolCount &&
                utf8[name] == "main" && utf8[descriptor] == "([Ljava/lang/String;)V")
                return true;
            const uint32_t attributes = r.u2();
            for (uint32_t a = 0; a < attributes && r.ok(); ++a) {
                r.skip(2);
                r.skip(r.u4());
            }
        }
        return false;
    };
    skipMembers(false);
    if (skipMembers(true)) return MainMethod::Runnable;
    return r.ok() ? MainMethod::Missing : MainMethod::NotAClass;
}

int classMajor(const uint8_t* head, size_t size) {
    if (size < 8 || head[0] != 0xCA || head[1] != 0xFE || head[2] != 0xBA || head[3] != 0xBE) return 0;
    return head[6] << 8 | head[7];
}

int javaReleaseOfVersion(const std::string& version) {
    size_t i = 0;
    while (i < version.size() && (version[i] < '0' || version[i] > '9')) ++i;
    int first = 0, second = 0;
    for (; i < version.size() && version[i] >= '0' && version[i] <= '9' && first < 1000; ++i)
        first = first * 10 + (version[i] - '0');
    if (first == 1 && i + 1 < version.size() && version[i] == '.')
        for (++i; i < version.size() && version[i] >= '0' && version[i] <= '9' && second < 1000; ++i)
            second = second * 10 + (version[i] - '0');
    return first == 1 && second > 0 ? second : first;
}

}  // namespace hux::tool
