// One changed byte in a packed executable's entries: the launch either runs
// as packed or says in one line which entry is damaged (exit 7), and the
// packer's inspector names every entry the change altered. Also: inspecting
// keeps little memory whatever the file's size.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "archive/zip_reader.h"
#include "support/harness.h"

using namespace hux::e2e;

namespace {

const Target kLinux{"linux-x64"};
constexpr char kNormal[] = "main entered\narg[0]=args\nmain done\n";

struct Range {
    int64_t start;
    int64_t size;
    std::string name;
};

// The compressed bytes of every entry of `reader` (based at `base` in the
// file) and of the entries of the archives stored in it.
void entryData(hux::ZipReader& reader, int64_t base, const std::string& prefix, std::vector<Range>& out) {
    for (int32_t i = 0; i < reader.entryCount(); ++i) {
        const hux::ZipEntry& e = reader.entry(i);
        const std::string name = prefix + std::string(e.name, static_cast<size_t>(e.nameLength));
        int64_t start = 0;
        if (e.compressedSize == 0 || !reader.dataOffset(i, start)) continue;
        if (e.method == 0 && hux::zip::isArchiveName(name)) {
            hux::ZipReader inner;
            ASSERT_TRUE(inner.open(reader.sourceAt(start, static_cast<int64_t>(e.size)))) << name;
            entryData(inner, base + start, name + "!", out);
        } else {
            out.push_back({base + start, static_cast<int64_t>(e.compressedSize), name});
        }
    }
}

std::vector<Range> entryDataOf(const std::string& exe) {
    auto source = std::make_unique<hux::FileSource>();
    hux::ZipReader reader;
    std::vector<Range> ranges;
    if (source->open(exe.c_str()) && reader.open(std::move(source))) entryData(reader, 0, "", ranges);
    return ranges;
}

// Peak resident memory of `argv` in KiB, and its exit code.
long peakKib(const std::vector<std::string>& argv, int& exitCode) {
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        freopen("/dev/null", "w", stdout);
        freopen("/dev/null", "w", stderr);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    wait4(pid, &status, 0, &usage);
    exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return usage.ru_maxrss;
}

}  // namespace

TEST(ArchiveDamage, EveryChangedEntryByteRunsAsPackedOrSaysWhichEntryInOneLine) {
    for (const std::string& jdk : installedJdks()) {
        SCOPED_TRACE(jdk);
        TempDir dir;
        const std::string exe = dir.file("probe");
        ASSERT_EQ(pack(kLinux, exe, {"mainclass app.Main", "jre_order c", "jvmdll " + jvmLibraryOf(jdk)},
                       {"lib/app.jar=" + appJarDir() + "/app.jar", "lib/lib1.jar=" + appJarDir() + "/lib1.jar"})
                      .exitCode,
                  0);
        const std::string bytes = readFile(exe);
        const std::vector<Range> ranges = entryDataOf(exe);
        ASSERT_GT(ranges.size(), 30u);
        int64_t total = 0;
        for (const Range& r : ranges) total += r.size;
        // The support classes, the application's classes and resources and
        // the library jar's, byte for byte alike.
        std::mt19937_64 random(44);
        const int copies = jdk == installedJdks().front() ? 100 : 30;
        int ran = 0, damaged = 0, flagged = 0;
        for (int k = 0; k < copies; ++k) {
            int64_t at = static_cast<int64_t>(random() % static_cast<uint64_t>(total));
            const Range* hit = &ranges.front();
            for (const Range& r : ranges) {
                if (at < r.size) {
                    hit = &r;
                    break;
                }
                at -= r.size;
            }
            std::string copy = bytes;
            copy[static_cast<size_t>(hit->start + at)] ^= static_cast<char>(1 + random() % 255);
            const std::string path = dir.write("copy", copy);
            chmod(path.c_str(), 0755);
            SCOPED_TRACE(hit->name + " +" + std::to_string(at));
            const RunResult r = runOn(kLinux, path, {"args"});
            const RunResult inspected = run({toolPath(), "inspect", path});
            if (inspected.exitCode != 0) ++flagged;
            if (r.exitCode == 0) {
                ++ran;
                EXPECT_EQ(r.out, kNormal);
                EXPECT_EQ(r.err, "");
                continue;
            }
            ++damaged;
            EXPECT_EQ(r.exitCode, 7) << r.out << r.err;
            EXPECT_EQ(r.out.find("main done"), std::string::npos);
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n') + std::count(r.out.begin(), r.out.end(), '\n'),
                      r.out.find("main entered") == 0 ? 2 : 1)
                << r.out << r.err;
            EXPECT_TRUE(has(r.err, "/copy' is damaged: its archive entry '" + hit->name + "' is altered\n")) << r.err;
            EXPECT_EQ(inspected.exitCode, 1);
            EXPECT_TRUE(has(inspected.out, "damaged: " + hit->name + "\n")) << inspected.out;
        }
        // Nearly every change alters its entry (a deflate stream's spare bits
        // do not), and the inspector tells each one that did.
        EXPECT_GE(flagged, copies * 9 / 10);
        EXPECT_GE(flagged, damaged);
        std::printf("%s: %d copies, %d ran as packed, %d said damaged, %d flagged by inspect\n", jdk.c_str(), copies,
                    ran, damaged, flagged);
    }
}

TEST(ArchiveDamage, InspectingKeepsLittleMemoryWhateverTheFileSize) {
    TempDir dir;
    const std::string exe = dir.file("probe");
    ASSERT_EQ(pack(kLinux, exe, {"mainclass app.Main"}, {"lib/app.jar=" + appJarDir() + "/app.jar"}).exitCode, 0);
    // A packed file grown past its payload (sparse: no disk is used), and a
    // file of zeros: the inspector finds them damaged, not a hux executable.
    struct Case {
        const char* name;
        bool fromPacked;
        int expected;
    };
    for (const Case& c : {Case{"grown", true, 1}, Case{"zeros", false, 1}}) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file(c.name);
        if (c.fromPacked) std::filesystem::copy_file(exe, path);
        std::ofstream(path, std::ios::app).close();
        std::filesystem::resize_file(path, 3ull << 30);
        int code = -1;
        const long kib = peakKib({toolPath(), "inspect", path}, code);
        EXPECT_EQ(code, c.expected);
        EXPECT_LE(kib, 64 * 1024);
        std::filesystem::remove(path);
    }
    // A whole one with a gibibyte stored entry, every byte of which is read
    // through its CRC-32.
    const std::string zeros = dir.file("zeros.zip");
    std::ofstream(zeros).close();
    std::filesystem::resize_file(zeros, 1ull << 30);
    const std::string large = dir.file("large");
    ASSERT_EQ(pack(kLinux, large, {"mainclass app.Main"},
                   {"lib/app.jar=" + appJarDir() + "/app.jar", "data/zeros.zip=" + zeros})
                  .exitCode,
              0);
    std::filesystem::remove(zeros);
    int code = -1;
    const long kib = peakKib({toolPath(), "inspect", large}, code);
    EXPECT_EQ(code, 0);
    EXPECT_LE(kib, 64 * 1024);
    std::printf("inspect of a %lld-byte executable: %ld KiB peak\n",
                static_cast<long long>(std::filesystem::file_size(large)), kib);
}

// Any byte of the payload, directories and configuration block included: as
// packed, or one line and exit 7, never a trace.
TEST(ArchiveDamage, EveryChangedPayloadByteRunsAsPackedOrEndsInOneLine) {
    const std::string jdk = installedJdks().front();
    TempDir dir;
    const std::string exe = dir.file("probe");
    ASSERT_EQ(pack(kLinux, exe, {"mainclass app.Main", "jre_order c", "jvmdll " + jvmLibraryOf(jdk)},
                   {"lib/app.jar=" + appJarDir() + "/app.jar", "lib/lib1.jar=" + appJarDir() + "/lib1.jar"})
                  .exitCode,
              0);
    const std::string bytes = readFile(exe);
    const size_t payload = bytes.find("\xEF\xBB\xBFmainclass");
    ASSERT_NE(payload, std::string::npos);
    std::mt19937_64 random(4407);
    int ran = 0;
    for (int k = 0; k < 100; ++k) {
        const size_t at = payload + random() % (bytes.size() - payload);
        SCOPED_TRACE(at - payload);
        std::string copy = bytes;
        copy[at] ^= static_cast<char>(1 + random() % 255);
        const std::string path = dir.write("copy", copy);
        chmod(path.c_str(), 0755);
        const RunResult r = runOn(kLinux, path, {"args"});
        if (r.exitCode == 0 && r.out == kNormal && r.err.empty()) {
            ++ran;
            continue;
        }
        EXPECT_EQ(r.exitCode, 7) << r.out << r.err;
        EXPECT_EQ(r.out.find("main done"), std::string::npos);
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n') + std::count(r.out.begin(), r.out.end(), '\n'),
                  r.out.find("main entered") == 0 ? 2 : 1)
            << r.out << r.err;
    }
    std::printf("any payload byte: 100 copies, %d ran as packed, %d ended in one line\n", ran, 100 - ran);
    // Every byte of the configuration text, its NUL included: a changed one
    // never runs a changed configuration.
    for (size_t at = payload; at <= bytes.find('\0', payload); ++at) {
        SCOPED_TRACE(at - payload);
        std::string copy = bytes;
        copy[at] ^= 0x01;
        const std::string path = dir.write("copy", copy);
        chmod(path.c_str(), 0755);
        const RunResult r = runOn(kLinux, path, {"args"});
        EXPECT_EQ(r.exitCode, 7) << r.out << r.err;
        EXPECT_NE(r.err.find("is damaged"), std::string::npos) << r.err;
    }
}

// The support classes are checked before any runtime is looked for, on both
// targets: no Java is needed to tell a damaged executable.
TEST(ArchiveDamage, ADamagedSupportClassStopsTheLaunchBeforeTheRuntimeSearch) {
    TempDir dir;
    for (const Target& t : targets()) {
        SCOPED_TRACE(t.name);
        const std::string exe = dir.file(t.exeName("whole"));
        ASSERT_EQ(
            pack(t, exe, {"mainclass app.Main", "jre_order c"}, {"lib/app.jar=" + appJarDir() + "/app.jar"}).exitCode,
            0);
        const std::string bytes = readFile(exe);
        const std::string name = "com/mordavin/hux/Handler.class";
        int found = 0;
        for (const Range& r : entryDataOf(exe)) {
            if (r.name != name) continue;
            ++found;
            std::string copy = bytes;
            copy[static_cast<size_t>(r.start + r.size / 2)] ^= 0x5A;
            const std::string path = dir.write(t.exeName("damaged"), copy);
            chmod(path.c_str(), 0755);
            const RunResult run = runOn(t, path);
            EXPECT_EQ(run.exitCode, 7) << run.err;
            EXPECT_EQ(run.out, "");
            EXPECT_TRUE(
                has(run.err, t.exeName("damaged") + "' is damaged: its archive entry '" + name + "' is altered\n"))
                << run.err;
            EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        }
        EXPECT_EQ(found, 1);
    }
}
