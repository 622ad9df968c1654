// Archive store benchmark: an archive of 20 nested jars holding 5,000 deflated
// classes in all, behind a stand-in executable image. Measures the open, name
// lookups and entry reads through ArchiveStore, and the same reads done by a
// baseline in the same run (Python's zipfile when python3 exists, else
// `unzip -p`), and prints the ratios. Then the cost of a miss (a name no jar
// holds) when one more jar is multi-release, against the same misses before
// that jar serves its versions.
//
//   archive_bench [rounds]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "archive/archive_store.h"
#include "tool/payload/zip_writer.h"

namespace {

using Clock = std::chrono::steady_clock;
double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

constexpr int kJars = 20;
constexpr int kClasses = 5000;

struct Lcg {
    uint64_t s;
    uint32_t next() {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<uint32_t>(s >> 33);
    }
};

// Bytes that compress roughly like class files: a magic number, runs of
// identifiers from a small vocabulary, and noise.
std::vector<uint8_t> classBytes(Lcg& rng) {
    static const char* words[] = {"java/lang/Object", "<init>",         "()V",      "Code",
                                  "LineNumberTable",  "java/util/List", "toString", "(Ljava/lang/String;)V",
                                  "StackMapTable",    "hashCode",       "equals",   "com/example/app/Service",
                                  "SourceFile",       "Exceptions",     "value",    "this"};
    std::vector<uint8_t> out = {0xCA, 0xFE, 0xBA, 0xBE, 0, 0, 0, 52};
    const size_t size = 600 + rng.next() % 5400;
    while (out.size() < size) {
        if (rng.next() % 3 == 0) {
            for (int i = 0, n = 4 + rng.next() % 12; i < n; ++i) out.push_back(static_cast<uint8_t>(rng.next()));
        } else {
            const char* w = words[rng.next() % (sizeof words / sizeof *words)];
            out.push_back(1);
            out.insert(out.end(), w, w + std::char_traits<char>::length(w));
        }
    }
    out.resize(size);
    return out;
}

struct CountingSink : hux::ByteArraySink {
    std::vector<uint8_t> bytes;
    int64_t total = 0;
    bool create(int32_t size) override {
        bytes.resize(static_cast<size_t>(size));
        return true;
    }
    uint8_t* elements() override { return bytes.data(); }
    void commit(bool ok) override {
        if (ok) total += static_cast<int64_t>(bytes.size());
    }
};

bool writeFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary);
    f << text;
    return static_cast<bool>(f);
}

// Opens the archive, reads every jar and every class in it `rounds` times and
// prints "open <s>", "read <s> <bytes>", "lookup <ns>".
const char* kPythonBaseline = R"PY(
import io, sys, time, zipfile
path, rounds = sys.argv[1], int(sys.argv[2])
t = time.perf_counter()
outer = zipfile.ZipFile(path)
jars = [(n, zipfile.ZipFile(io.BytesIO(outer.read(n)))) for n in outer.namelist() if n.endswith('.jar')]
print('open', time.perf_counter() - t)
total = 0
t = time.perf_counter()
for _ in range(rounds):
    for n, z in jars:
        for name in z.namelist():
            total += len(z.read(name))
print('read', time.perf_counter() - t, total)
names = [(z, name) for n, z in jars for name in z.namelist()]
t = time.perf_counter()
for _ in range(rounds):
    for z, name in names:
        z.getinfo(name)
print('lookup', (time.perf_counter() - t) * 1e9 / (rounds * len(names)))
)PY";

struct Baseline {
    std::string tool;
    double open = 0, read = 0, lookupNs = 0;
    int64_t bytes = 0;
    bool ok = false;
};

Baseline runPython(const std::filesystem::path& dir, const std::filesystem::path& archive, int rounds) {
    Baseline b;
    b.tool = "python3 zipfile";
    const auto script = dir / "baseline.py";
    const auto out = dir / "baseline.out";
    writeFile(script, kPythonBaseline);
    const std::string cmd = "python3 '" + script.string() + "' '" + archive.string() + "' " + std::to_string(rounds) +
                            " > '" + out.string() + "'";
    if (std::system(cmd.c_str()) != 0) return b;
    std::ifstream in(out);
    std::string key;
    while (in >> key) {
        if (key == "open") in >> b.open;
        if (key == "read") in >> b.read >> b.bytes;
        if (key == "lookup") in >> b.lookupNs;
    }
    b.ok = b.read > 0;
    return b;
}

// `unzip -p` of the archive's jars, then of every class in each jar.
Baseline runUnzip(const std::filesystem::path& dir, const std::filesystem::path& archive, int rounds,
                  const std::vector<std::string>& jarNames, int64_t bytesPerRound) {
    Baseline b;
    b.tool = "unzip -p";
    const auto jars = dir / "jars";
    std::filesystem::create_directories(jars);
    auto t = Clock::now();
    for (const std::string& jar : jarNames) {
        const std::string cmd = "unzip -p '" + archive.string() + "' '" + jar + "' > '" + (jars / jar).string() + "'";
        if (std::system(cmd.c_str()) != 0) return b;
    }
    b.open = secondsSince(t);
    t = Clock::now();
    for (int r = 0; r < rounds; ++r)
        for (const std::string& jar : jarNames) {
            const std::string cmd = "unzip -p '" + (jars / jar).string() + "' > /dev/null";
            if (std::system(cmd.c_str()) != 0) return b;
        }
    b.read = secondsSince(t);
    b.bytes = bytesPerRound * rounds;
    b.ok = true;
    return b;
}

// Misses through 20 plain jars and one multi-release jar (100 classes with
// versions 9, 11 and 17, 100 classes only version 11 has): per miss where the
// jar does not serve its versions (the baseline), where it does, and with a
// lookup per version directory 25..8 in that jar, which is what finding
// version-only names would cost without the store's table.
int multiReleaseMisses(int rounds) {
    hux::tool::ZipWriter outer;
    std::string error;
    const std::vector<uint8_t> bytes = {0xCA, 0xFE, 0xBA, 0xBE};
    auto add = [&](hux::tool::ZipWriter& zip, const std::string& name, const std::vector<uint8_t>& data,
                   hux::tool::ZipWriter::Method method) { return zip.add(name, data, method, error); };
    for (int j = 0; j < kJars; ++j) {
        hux::tool::ZipWriter jar;
        for (int c = j; c < kClasses; c += kJars)
            if (!add(jar, "com/example/p" + std::to_string(c % 37) + "/C" + std::to_string(c) + ".class", bytes,
                     hux::tool::ZipWriter::Method::Stored))
                return std::puts(error.c_str()), 1;
        if (!jar.finish(error) ||
            !add(outer, "lib" + std::to_string(j) + ".jar", jar.bytes(), hux::tool::ZipWriter::Method::Stored))
            return std::puts(error.c_str()), 1;
    }
    hux::tool::ZipWriter mr;
    for (int c = 0; c < 100; ++c) {
        const std::string name = "com/example/mr/C" + std::to_string(c) + ".class";
        bool ok = add(mr, name, bytes, hux::tool::ZipWriter::Method::Stored);
        for (const char* v : {"9", "11", "17"})
            ok = ok && add(mr, std::string("META-INF/versions/") + v + "/" + name, bytes,
                           hux::tool::ZipWriter::Method::Stored);
        ok = ok && add(mr, "META-INF/versions/11/com/example/mr/Only" + std::to_string(c) + ".class", bytes,
                       hux::tool::ZipWriter::Method::Stored);
        if (!ok) return std::puts(error.c_str()), 1;
    }
    if (!mr.finish(error) || !add(outer, "mr.jar", mr.bytes(), hux::tool::ZipWriter::Method::Stored) ||
        !outer.finish(error))
        return std::puts(error.c_str()), 1;
    // Two stores over the same bytes: `base` never serves versions, `served`
    // does; the variants take turns, round by round, and the medians count.
    hux::ArchiveStore base, served;
    hux::ArchiveStore* versioned = nullptr;
    for (hux::ArchiveStore* store : {&base, &served}) {
        auto* copy = static_cast<uint8_t*>(std::malloc(outer.bytes().size()));
        std::copy(outer.bytes().begin(), outer.bytes().end(), copy);
        store->openFromMemory(copy, static_cast<int32_t>(outer.bytes().size()));
        for (int32_t i = 0; i < store->nestedCount(); ++i)
            if (store->nestedName(i) == "mr.jar") versioned = store->child(i);
    }
    if (!versioned || !versioned->hasVersionDirectories()) return std::puts("the multi-release jar did not open"), 1;
    versioned->serveVersions(25);

    std::vector<std::string> misses;
    for (int i = 0; i < kClasses; ++i) misses.push_back("com\\example\\none\\M" + std::to_string(i) + ".class");
    hux::ByteString full;
    int64_t found = 0;
    auto perMiss = [&](auto&& lookup) {
        const auto t = Clock::now();
        for (const std::string& name : misses) found += lookup(name);
        return secondsSince(t) * 1e9 / static_cast<double>(misses.size());
    };
    auto probing = [&](const std::string& name) {
        int hits = base.locateResource(name, "", full);
        for (int v = 25; v >= hux::ArchiveStore::kFirstVersion; --v)
            hits += base.locateResource("mr.jar!META-INF\\versions\\" + std::to_string(v) + "\\" + name, "", full);
        return hits;
    };
    std::vector<double> before, after, probes;
    for (int r = 0; r < 4 * rounds; ++r) {
        before.push_back(perMiss([&](const std::string& name) { return base.locateResource(name, "", full); }));
        after.push_back(perMiss([&](const std::string& name) { return served.locateResource(name, "", full); }));
        probes.push_back(perMiss(probing));
    }
    if (found != 0) return std::puts("a miss was found"), 1;
    for (int c = 0; c < 100; ++c)
        found += served.locateResource("com\\example\\mr\\Only" + std::to_string(c) + ".class", "", full) &&
                 full.view().find("META-INF/versions/11/") != std::string_view::npos;
    if (found != 100) return std::puts("version-only names were not found"), 1;
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    const double b0 = median(before), a0 = median(after), p0 = median(probes);
    std::printf(
        "multi-release: a miss through %d jars + 1 multi-release jar (median of %d rounds): %.0f ns where it does "
        "not serve its versions (baseline), %.0f ns where it does (%.2fx), %.0f ns with a lookup per version 25..8 "
        "(%.2fx)\n",
        kJars, 4 * rounds, b0, a0, a0 / b0, p0, p0 / b0);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
    const auto dir = std::filesystem::temp_directory_path() / "hux_archive_bench";
    std::filesystem::create_directories(dir);
    const auto archive = dir / "app.bin";

    // Build the archive: jars stored (as the packer does), classes deflated.
    Lcg rng{42};
    hux::tool::ZipWriter outer;
    std::string error;
    std::vector<std::string> jarNames, plainNames, treeNames;
    int64_t classBytesTotal = 0;
    for (int j = 0; j < kJars; ++j) {
        hux::tool::ZipWriter jar;
        const std::string jarName = "lib" + std::to_string(j) + ".jar";
        for (int c = j; c < kClasses; c += kJars) {
            const std::string name = "com/example/p" + std::to_string(c % 37) + "/C" + std::to_string(c) + ".class";
            const std::vector<uint8_t> bytes = classBytes(rng);
            classBytesTotal += static_cast<int64_t>(bytes.size());
            if (!jar.add(name, bytes, hux::tool::ZipWriter::Method::Deflated, error))
                return std::puts(error.c_str()), 1;
            std::string backslashed = name;
            for (char& ch : backslashed)
                if (ch == '/') ch = '\\';
            plainNames.push_back(backslashed);
            treeNames.push_back(jarName + "!" + backslashed);
        }
        if (!jar.finish(error)) return std::puts(error.c_str()), 1;
        if (!outer.add(jarName, jar.bytes(), hux::tool::ZipWriter::Method::Stored, error))
            return std::puts(error.c_str()), 1;
        jarNames.push_back(jarName);
    }
    if (!outer.finish(error)) return std::puts(error.c_str()), 1;
    {
        std::ofstream f(archive, std::ios::binary);
        f << std::string(200 * 1024, '\x90');  // stand-in executable image
        f.write(reinterpret_cast<const char*>(outer.bytes().data()),
                static_cast<std::streamsize>(outer.bytes().size()));
    }
    std::printf("archive: %d jars, %d classes, %.1f MB of classes, %.1f MB on disk\n", kJars, kClasses,
                static_cast<double>(classBytesTotal) / 1e6,
                static_cast<double>(std::filesystem::file_size(archive)) / 1e6);

    // The store.
    auto t = Clock::now();
    hux::ArchiveStore store;
    store.openFromFile(archive.string().c_str());
    const double openSeconds = secondsSince(t);
    if (store.nestedCount() != kJars) return std::puts("the store did not open the jars"), 1;

    CountingSink sink;
    t = Clock::now();
    for (int r = 0; r < rounds; ++r)
        for (const std::string& name : treeNames)
            if (!store.readEntry(sink, name, false)) return std::printf("missing %s\n", name.c_str()), 1;
    const double readSeconds = secondsSince(t);

    hux::ByteString full;
    int64_t found = 0;
    t = Clock::now();
    for (int r = 0; r < rounds; ++r)
        for (const std::string& name : plainNames) found += store.locateResource(name, "", full);
    const double plainNs =
        secondsSince(t) * 1e9 / (static_cast<double>(rounds) * static_cast<double>(plainNames.size()));
    t = Clock::now();
    for (int r = 0; r < rounds; ++r)
        for (const std::string& name : treeNames) found += store.locateResource(name, "", full);
    const double treeNs = secondsSince(t) * 1e9 / (static_cast<double>(rounds) * static_cast<double>(treeNames.size()));
    if (found != 2 * static_cast<int64_t>(rounds) * kClasses) return std::puts("lookups failed"), 1;

    const double storeMBs = static_cast<double>(sink.total) / readSeconds / 1e6;
    std::printf(
        "ArchiveStore: open %.1f ms, readEntry %.1f MB/s (%d rounds), locateResource %.0f ns (plain name, "
        "searches the tree) / %.0f ns (explicit \"!\" path)\n",
        openSeconds * 1e3, storeMBs, rounds, plainNs, treeNs);

    // The baseline.
    Baseline base;
    if (std::system("python3 -c pass > /dev/null 2>&1") == 0) base = runPython(dir, archive, rounds);
    if (!base.ok) base = runUnzip(dir, archive, rounds, jarNames, classBytesTotal);
    if (!base.ok) {
        std::puts("no baseline could be run (neither python3 nor unzip)");
    } else {
        const double baseMBs = static_cast<double>(base.bytes) / base.read / 1e6;
        std::printf("baseline (%s): open %.1f ms, read %.1f MB/s", base.tool.c_str(), base.open * 1e3, baseMBs);
        if (base.lookupNs > 0) std::printf(", name lookup %.0f ns", base.lookupNs);
        std::printf("\nratio store/baseline: read throughput %.2fx, open time %.2fx", storeMBs / baseMBs,
                    openSeconds / base.open);
        if (base.lookupNs > 0) std::printf(", lookup time %.2fx (explicit path)", treeNs / base.lookupNs);
        std::printf("\n");
    }
    std::filesystem::remove_all(dir);
    return multiReleaseMisses(rounds);
}
