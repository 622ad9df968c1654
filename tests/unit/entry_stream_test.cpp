// Entries read a piece at a time: the native side of a hux: URL's stream.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "archive/archive_store.h"
#include "archive/entry_reader.h"
#include "archive/zip_reader.h"
#include "support/zip_builder.h"

using namespace hux;
using hux::test::buildZip;
using hux::test::ZipItem;

namespace {

// Bytes in memory that count what streams read through streamAt.
class CountingSource final : public ZipSource {
public:
    explicit CountingSource(std::string bytes) : bytes_(std::move(bytes)) {}
    int64_t size() const override { return static_cast<int64_t>(bytes_.size()); }
    bool readAt(int64_t offset, void* buffer, size_t count) override {
        if (offset < 0 || static_cast<uint64_t>(offset) + count > bytes_.size()) return false;
        std::memcpy(buffer, bytes_.data() + offset, count);
        return true;
    }
    const uint8_t* bytes() const override { return reinterpret_cast<const uint8_t*>(bytes_.data()); }
    bool streamAt(int64_t offset, void* buffer, size_t count) override {
        streamed += count;
        return readAt(offset, buffer, count);
    }
    size_t streamed = 0;

private:
    std::string bytes_;
};

std::string noise(size_t n) {
    std::string s(n, '\0');
    uint32_t x = 2463534242u;
    for (char& c : s) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    return s;
}

// Reads entry `i` in steps of `step` bytes: the bytes, or "<damaged>" when a
// read failed (and every later read fails too).
std::string readInSteps(ZipReader& reader, int32_t i, size_t step, bool passOnce) {
    EntryStream stream;
    if (!stream.open(reader, i, passOnce)) return "<unopened>";
    std::string out;
    std::vector<uint8_t> buffer(step);
    for (;;) {
        const int64_t n = stream.read(buffer.data(), step);
        if (n < 0) return stream.read(buffer.data(), step) == -1 ? "<damaged>" : "<recovered>";
        if (n == 0) break;
        if (static_cast<size_t>(n) > step) return "<overrun>";
        out.append(reinterpret_cast<char*>(buffer.data()), static_cast<size_t>(n));
        if (stream.position() != out.size()) return "<position>";
    }
    return stream.read(buffer.data(), step) == 0 ? out : "<end moved>";
}

}  // namespace

TEST(EntryStream, PiecesOfEveryLengthMakeTheWholeEntry) {
    const std::string data = noise(200000) + std::string(150000, 'z');
    const std::string zip = buildZip({{"stored", data, 0}, {"deflated", data, 8}, {"empty", "", 8}});
    ZipReader reader;
    ASSERT_TRUE(reader.open(std::make_unique<CountingSource>(zip)));
    for (int32_t i = 0; i < 2; ++i) {
        for (size_t step : {size_t{1}, size_t{7}, size_t{4096}, size_t{65536}, data.size() - 1, data.size() + 10}) {
            SCOPED_TRACE(std::to_string(i) + " in steps of " + std::to_string(step));
            if (step == 1 && i == 0) continue;  // byte by byte is slow and the same as 7
            EXPECT_EQ(readInSteps(reader, i, step, false), data);
            EXPECT_EQ(readInSteps(reader, i, step, true), data);
        }
    }
    EXPECT_EQ(readInSteps(reader, 2, 16, true), "");
}

TEST(EntryStream, DamagedEntriesFailInsteadOfEndingWrong) {
    const std::string data = noise(100000) + std::string(100000, 'q');
    const std::string deflated = buildZip({{"d", data, 8}});
    std::string corrupt = deflated;
    // Flip bytes in the middle of the deflate stream.
    for (size_t at = 30 + 1 + 500; at < 30 + 1 + 520; ++at) corrupt[at] = static_cast<char>(corrupt[at] ^ 0x5a);
    struct Case {
        const char* what;
        std::string zip;
    } cases[] = {
        {"corrupted deflate stream", corrupt},
        {"stored, wrong CRC", buildZip({{"s", data, 0, 0, 1}})},
        {"deflated, wrong CRC", buildZip({{"d", data, 8, 0, 0x100}})},
        {"stream longer than declared", buildZip({{"d", data, 8, 0, 0, static_cast<int64_t>(data.size() - 1)}})},
        {"stream shorter than declared", buildZip({{"d", data, 8, 0, 0, static_cast<int64_t>(data.size() + 1)}})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ZipReader reader;
        ASSERT_TRUE(
            reader.open(std::make_unique<MemorySource>(reinterpret_cast<const uint8_t*>(c.zip.data()), c.zip.size())));
        EXPECT_EQ(readInSteps(reader, 0, 4096, true), "<damaged>");
        EXPECT_EQ(readInSteps(reader, 0, 1 << 20, false), "<damaged>");
        std::vector<uint8_t> whole(reader.entry(0).size);
        EXPECT_FALSE(reader.readEntry(0, whole.data()));
    }
}

TEST(EntryReader, FillsAcrossChunksAndSaysWhereTheEntryEnds) {
    const std::string data = noise(3 * EntryReader::kChunk + 123);
    const std::string zip = buildZip({{"d", data, 8}, {"bad", data, 8, 0, 7}});
    ZipReader reader;
    ASSERT_TRUE(reader.open(std::make_unique<MemorySource>(reinterpret_cast<const uint8_t*>(zip.data()), zip.size())));
    auto streamOf = [&](int32_t i) {
        auto s = std::make_unique<EntryStream>();
        EXPECT_TRUE(s->open(reader, i, true));
        return s;
    };
    EntryReader good(streamOf(0), ByteString("a"));
    std::string out;
    size_t callStart = 0;
    int deliveries = 0;
    auto deliver = [&](const uint8_t* bytes, size_t count, int64_t at) {
        EXPECT_EQ(static_cast<size_t>(at), out.size() - callStart);
        EXPECT_LE(count, EntryReader::kChunk);
        out.append(reinterpret_cast<const char*>(bytes), count);
        ++deliveries;
        return true;
    };
    // Lengths that end inside a chunk, on its end, and beyond the entry.
    EXPECT_EQ(good.fill(EntryReader::kChunk + 1000, deliver), EntryReader::kChunk + 1000);
    EXPECT_EQ(deliveries, 2);
    callStart = out.size();
    EXPECT_EQ(good.fill(EntryReader::kChunk - 1000, deliver), EntryReader::kChunk - 1000);
    callStart = out.size();
    EXPECT_EQ(good.fill(10 * EntryReader::kChunk, deliver), EntryReader::kChunk + 123);
    EXPECT_EQ(out, data);
    EXPECT_EQ(good.fill(100, deliver), -1);
    EXPECT_EQ(good.fill(0, deliver), 0);

    EntryReader bad(streamOf(1), ByteString("b"));
    int64_t last = 0;
    for (int k = 0; k < 10 && last >= 0; ++k)
        last = bad.fill(EntryReader::kChunk, [](const uint8_t*, size_t, int64_t) { return true; });
    EXPECT_EQ(last, -2);

    EntryReader refused(streamOf(0), ByteString("c"));
    EXPECT_EQ(refused.fill(100, [](const uint8_t*, size_t, int64_t) { return false; }), -3);
}

TEST(ArchiveStore, StreamsOfNestedStoredJarsReadFromTheFileBeneath) {
    const std::string inner = noise(50000);
    const std::string zip =
        buildZip({{"lib/a.jar", buildZip({{"x.bin", inner, 0}, {"y.txt", inner, 8}}), 0}, {"top.bin", inner, 0}});
    auto source = std::make_unique<CountingSource>(zip);
    CountingSource* counting = source.get();
    ArchiveStore store;
    store.openInPlace(std::move(source));
    ASSERT_NE(store.child(0), nullptr);
    for (const char* name : {"lib/a.jar!x.bin", "lib/a.jar!y.txt", "top.bin"}) {
        SCOPED_TRACE(name);
        const size_t before = counting->streamed;
        std::unique_ptr<EntryStream> stream = store.openStream(name, false);
        ASSERT_NE(stream, nullptr);
        std::string out(inner.size(), '\0');
        EXPECT_EQ(stream->read(reinterpret_cast<uint8_t*>(&out[0]), out.size() + 5),
                  static_cast<int64_t>(inner.size()));
        EXPECT_EQ(out, inner);
        EXPECT_GE(counting->streamed - before, name[0] == 'l' && name[10] == 'y' ? 1u : inner.size());
    }
    EXPECT_EQ(store.openStream("lib/a.jar!missing", false), nullptr);
    EXPECT_EQ(store.openStream("x.bin", false), nullptr);
    EXPECT_NE(store.openStream("x.bin", true), nullptr);
}

TEST(ArchiveStore, NestedJarsThatStayClosedAreNamedWithTheirReason) {
    const std::string jar = buildZip({{"a/B.class", noise(3000), 8}});
    struct Case {
        std::vector<ZipItem> items;
        const char* name;
        const char* reason;  // part of it; null: the jar opens
    } cases[] = {
        {{{"fits.jar", jar, 8}}, "fits.jar", nullptr},
        {{{"big.jar", jar + std::string(5000, 'x'), 8}},
         "big.jar",
         "it is compressed and inflates to 1 MiB, more than the 1 MiB"},
        {{{"stored.jar", jar + std::string(5000, 'x'), 0}}, "stored.jar", nullptr},
        {{{"secret.jar", jar, 8, 1}}, "secret.jar", "it is encrypted"},
        {{{"odd.jar", jar, 12}}, "odd.jar", "method 12"},
        {{{"outer.jar", buildZip({{"inner.jar", jar + std::string(5000, 'x'), 8}}), 0}},
         "outer.jar!inner.jar",
         "inflates to"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ArchiveStore store;
        store.setResidentLimit(4000);
        const std::string zip = buildZip(c.items);
        auto* bytes = static_cast<uint8_t*>(std::malloc(zip.size()));
        std::memcpy(bytes, zip.data(), zip.size());
        store.openFromMemory(bytes, static_cast<int32_t>(zip.size()));
        std::vector<std::string> reported;
        store.forEachUnopened([&](std::string_view name, std::string_view reason) {
            reported.push_back(std::string(name) + ": " + std::string(reason));
        });
        if (!c.reason) {
            EXPECT_TRUE(reported.empty()) << reported[0];
            continue;
        }
        ASSERT_EQ(reported.size(), 1u);
        EXPECT_EQ(reported[0].rfind(std::string(c.name) + ": ", 0), 0u) << reported[0];
        EXPECT_NE(reported[0].find(c.reason), std::string::npos) << reported[0];
    }
}

// A stored nested jar past 2 GiB is read in place: its directory, a class
// behind the first 2 GiB and the size of its large entry. The bytes are a
// zeroed block the system does not back until written; only headers are.
TEST(ArchiveStore, AStoredNestedJarPastTwoGibibytesOpensInPlace) {
    const uint64_t filler = (uint64_t{1} << 31) + 4096;
    const std::string cls = "cafebabe";
    auto header = [](std::string name, uint32_t size, uint32_t crc) {
        std::string h;
        hux::test::put32(h, 0x04034b50);
        hux::test::put16(h, 10);
        hux::test::put16(h, 0);
        hux::test::put16(h, 0);
        hux::test::put32(h, 0);
        hux::test::put32(h, crc);
        hux::test::put32(h, size);
        hux::test::put32(h, size);
        hux::test::put16(h, static_cast<uint32_t>(name.size()));
        hux::test::put16(h, 0);
        return h + name;
    };
    auto central = [](std::string name, uint32_t size, uint32_t crc, uint32_t offset) {
        std::string h;
        hux::test::put32(h, 0x02014b50);
        hux::test::put16(h, 20);
        hux::test::put16(h, 10);
        hux::test::put16(h, 0);
        hux::test::put16(h, 0);
        hux::test::put32(h, 0);
        hux::test::put32(h, crc);
        hux::test::put32(h, size);
        hux::test::put32(h, size);
        hux::test::put16(h, static_cast<uint32_t>(name.size()));
        for (int k = 0; k < 4; ++k) hux::test::put16(h, 0);
        hux::test::put32(h, 0);
        hux::test::put32(h, offset);
        return h + name;
    };
    auto end = [](uint32_t count, uint32_t dirSize, uint32_t dirOffset) {
        std::string h;
        hux::test::put32(h, 0x06054b50);
        for (int k = 0; k < 2; ++k) hux::test::put16(h, 0);
        hux::test::put16(h, count);
        hux::test::put16(h, count);
        hux::test::put32(h, dirSize);
        hux::test::put32(h, dirOffset);
        hux::test::put16(h, 0);
        return h;
    };
    const uint32_t clsCrc =
        static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(cls.data()), static_cast<uInt>(cls.size())));
    // The nested jar: filler.bin (zeros), then a/Main.class, directory, end.
    const std::string fillerHeader = header("filler.bin", static_cast<uint32_t>(filler), 0);
    const uint64_t clsAt = fillerHeader.size() + filler;
    const std::string clsPart = header("a/Main.class", static_cast<uint32_t>(cls.size()), clsCrc) + cls;
    const uint64_t innerDirAt = clsAt + clsPart.size();
    const std::string innerDir =
        central("filler.bin", static_cast<uint32_t>(filler), 0, 0) +
        central("a/Main.class", static_cast<uint32_t>(cls.size()), clsCrc, static_cast<uint32_t>(clsAt));
    const std::string innerEnd = end(2, static_cast<uint32_t>(innerDir.size()), static_cast<uint32_t>(innerDirAt));
    const uint64_t innerSize = innerDirAt + innerDir.size() + innerEnd.size();
    // The outer archive: big.jar stored, directory, end.
    const std::string outerHeader = header("big.jar", static_cast<uint32_t>(innerSize), 0);
    const uint64_t outerDirAt = outerHeader.size() + innerSize;
    const std::string outerDir = central("big.jar", static_cast<uint32_t>(innerSize), 0, 0);
    const std::string outerEnd = end(1, static_cast<uint32_t>(outerDir.size()), static_cast<uint32_t>(outerDirAt));
    const uint64_t total = outerDirAt + outerDir.size() + outerEnd.size();
    auto* block = static_cast<uint8_t*>(std::calloc(total, 1));
    if (!block) GTEST_SKIP() << "no address space for a block past 2 GiB";
    auto put = [&](uint64_t at, const std::string& s) { std::memcpy(block + at, s.data(), s.size()); };
    const uint64_t base = outerHeader.size();
    put(0, outerHeader);
    put(base, fillerHeader);
    put(base + clsAt, clsPart);
    put(base + innerDirAt, innerDir + innerEnd);
    put(outerDirAt, outerDir + outerEnd);
    {
        ArchiveStore store;
        store.openInPlace(block, static_cast<int64_t>(total));
        ASSERT_EQ(store.nestedCount(), 1);
        ASSERT_NE(store.child(0), nullptr);
        std::unique_ptr<EntryStream> stream = store.openStream("big.jar!a/Main.class", false);
        ASSERT_NE(stream, nullptr);
        std::string out(cls.size(), '\0');
        EXPECT_EQ(stream->read(reinterpret_cast<uint8_t*>(&out[0]), 64), static_cast<int64_t>(cls.size()));
        EXPECT_EQ(out, cls);
        ByteString full;
        EXPECT_TRUE(store.locateResource("a/Main.class", "", full));
        EXPECT_EQ(full.view(), "big.jar!a/Main.class");
        const ZipEntry* large = store.statEntry("big.jar!filler.bin", false);
        ASSERT_NE(large, nullptr);
        EXPECT_EQ(large->size, filler);
        int unopened = 0;
        store.forEachUnopened([&](std::string_view, std::string_view) { ++unopened; });
        EXPECT_EQ(unopened, 0);
    }
    std::free(block);
}
