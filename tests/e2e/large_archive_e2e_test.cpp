// Executables whose archive needs zip64 records (more than 65,535 entries):
// the JDK reads their top level itself (a flattened application's classes,
// the support classes of a nested one), the launcher everything; and the
// nested archives the packer refuses or names.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>

#include "archive/zip_reader.h"
#include "support/harness.h"
#include "tool/payload/zip_writer.h"

using namespace hux::e2e;
using hux::tool::ZipWriter;

namespace {

const Target kLinux{"linux-x64"};

void save(const std::string& path, ZipWriter& zip) {
    std::string error;
    ASSERT_TRUE(zip.finish(error)) << error;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(zip.bytes().data()), static_cast<std::streamsize>(zip.bytes().size()));
}

// app.jar with `fillers` one-byte entries "filler/N" after its own.
void writeBigAppJar(const std::string& path, int fillers) {
    auto source = std::make_unique<hux::FileSource>();
    ASSERT_TRUE(source->open((appJarDir() + "/app.jar").c_str()));
    hux::ZipReader app;
    ASSERT_TRUE(app.open(std::move(source)));
    ZipWriter zip;
    std::string error;
    for (int32_t i = 0; i < app.entryCount(); ++i) {
        const hux::ZipEntry& e = app.entry(i);
        std::vector<uint8_t> data(e.size);
        ASSERT_TRUE(e.size == 0 || app.readEntry(i, data.data()));
        ASSERT_TRUE(
            zip.add(std::string(e.name, static_cast<size_t>(e.nameLength)), data, ZipWriter::Method::Stored, error));
    }
    for (int i = 0; i < fillers; ++i)
        ASSERT_TRUE(zip.add("filler/" + std::to_string(i), {'x'}, ZipWriter::Method::Stored, error));
    save(path, zip);
}

}  // namespace

TEST(LargeArchives, FlattenedAndNestedRunUnderJavaAndTheLauncher) {
    TempDir dir;
    const std::vector<std::string> jdks = installedJdks();
    ASSERT_FALSE(jdks.empty());
    const std::vector<std::string> lines = {"mainclass app.Main", "jre_order c",
                                            "jvmdll " + jvmLibraryOf(jdks.front())};
    const std::string filler = dir.write("filler.txt", "x");
    for (const int entries : {65640, 100040}) {
        SCOPED_TRACE(entries);
        // Flattened: the JDK reads the application's classes from the executable.
        writeBigAppJar(dir.file("big.jar"), entries);
        const std::string flat = dir.file("flat" + std::to_string(entries));
        RunResult packed = pack(kLinux, flat, lines, {"lib/app.jar=" + dir.file("big.jar")}, {"--flatten"});
        ASSERT_EQ(packed.exitCode, 0) << packed.err;
        const std::vector<std::string> args = {"resource", "/filler/" + std::to_string(entries - 1)};
        for (const std::string& jdk : jdks) {
            SCOPED_TRACE(jdk);
            std::vector<std::string> command = {jdk + "/bin/java", "-cp", flat, "app.Main"};
            command.insert(command.end(), args.begin(), args.end());
            RunResult java = run(command);
            EXPECT_EQ(java.exitCode, 0) << java.err;
            EXPECT_TRUE(has(java.out, "content=x")) << java.out;
        }
        RunResult launched = runOn(kLinux, flat, args);
        EXPECT_EQ(launched.exitCode, 0) << launched.err;
        EXPECT_TRUE(has(launched.out, "content=x")) << launched.out;

        // Nested: the application stays a jar; the top level holds the
        // entries, and the JDK reads it for the support classes. Every
        // entry is the same small file, named in an argument file.
        std::string names;
        for (int i = 0; i < entries; ++i) names += "filler/" + std::to_string(i) + "=" + filler + "\n";
        const std::string argumentFile = dir.write("names.txt", names);
        const std::string nested = dir.file("nested" + std::to_string(entries));
        packed = pack(kLinux, nested, lines, {"lib/app.jar=" + appJarDir() + "/app.jar", "@" + argumentFile});
        ASSERT_EQ(packed.exitCode, 0) << packed.err;
        launched = runOn(kLinux, nested, args);
        EXPECT_EQ(launched.exitCode, 0) << launched.err;
        EXPECT_TRUE(has(launched.out, "content=x")) << launched.out;
    }

    // The start-up check still refuses a cut-off executable.
    const std::string whole = readFile(dir.file("flat100040"));
    for (const size_t cut : {size_t{1}, size_t{22 + 20}, size_t{22 + 20 + 56 + 10}}) {
        SCOPED_TRACE(cut);
        const std::string damaged = dir.write("damaged", whole.substr(0, whole.size() - cut));
        std::filesystem::permissions(damaged, std::filesystem::perms::owner_all);
        RunResult r = runOn(kLinux, damaged);
        EXPECT_EQ(r.exitCode, 7) << r.out << r.err;
        EXPECT_TRUE(has(r.err, "is damaged")) << r.err;
    }
}

TEST(LargeArchives, DeflatedNestedArchivesTheLauncherCannotInflate) {
    TempDir dir;
    // A zip holding a jar stored deflated that says it inflates to 2.5 GiB;
    // its compressed bytes are filler, which only the sizes need here.
    const uint64_t size = uint64_t{5} << 29;
    const std::vector<uint8_t> compressed(static_cast<size_t>(size / 1032 + 1), 0x03);
    ZipWriter outer;
    std::string error;
    ASSERT_TRUE(
        outer.addRaw("inner.jar", compressed.data(), compressed.size(), ZipWriter::Method::Deflated, 0, size, error));
    save(dir.file("outer.zip"), outer);
    const std::vector<std::string> lines = {"mainclass app.Main"};
    const std::vector<std::string> files = {"lib/app.jar=" + appJarDir() + "/app.jar",
                                            "lib/outer.zip=" + dir.file("outer.zip")};

    // Flattened, the jar would be opened from the top level: refused in one line.
    RunResult refused = pack(kLinux, dir.file("flat"), lines, files, {"--flatten"});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.err,
              "hux pack: 'lib/outer.zip': the archive 'inner.jar' in it is deflated and inflates to 2.5 GiB; the "
              "launcher opens deflated nested archives of up to 2 GiB (pack it as a file of its own: it is then "
              "stored)\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("flat")));

    // Nested in a nested archive, only a hux: URL naming it reaches it: named
    // in one warning, and the application runs.
    RunResult warned = pack(kLinux, dir.file("nested"), lines, files);
    ASSERT_EQ(warned.exitCode, 0) << warned.err;
    EXPECT_TRUE(has(warned.err,
                    "warning: 'lib/outer.zip': the archive 'inner.jar' in it is deflated and inflates to 2.5 GiB; "
                    "the launcher opens deflated nested archives of up to 2 GiB; hux: URLs into it will find "
                    "nothing\n"))
        << warned.err;
}

TEST(LargeArchives, ArchivesOverFourGibibytesAreRefusedBeforeTheyAreWritten) {
    TempDir dir;
    // Sparse: no disk space taken, and the packer refuses before copying it.
    const std::string big = dir.write("big.jar", "");
    std::filesystem::resize_file(big, (uint64_t{4} << 30) + 1);
    RunResult r = pack(kLinux, dir.file("app"), {"mainclass app.Main"},
                       {"lib/app.jar=" + appJarDir() + "/app.jar", "lib/big.jar=" + big});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "hux pack: the archive would be larger than 4 GiB, more than the launcher can address\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("app")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("app.hux-partial")));
}

TEST(LargeArchives, SignedExecutablesWithZip64RecordsAreRefused) {
    if (!windowsStubAvailable()) GTEST_SKIP() << "no Windows stub built";
    TempDir dir;
    const std::string filler = dir.write("filler.txt", "x");
    std::string names;
    for (int i = 0; i < 65600; ++i) names += "filler/" + std::to_string(i) + "=" + filler + "\n";
    const std::string argumentFile = dir.write("names.txt", names);
    const Target windows{"windows-x64"};
    // The refusal comes before the signing tool is asked: the key and
    // certificate need only exist.
    RunResult r = pack(windows, dir.file("app.exe"), {"mainclass app.Main"}, {"@" + argumentFile},
                       {"--sign-key", dir.write("key.pem", "k"), "--sign-cert", dir.write("cert.pem", "c")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(has(r.err, "signed executables hold at most 65,534 entries\n")) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("app.exe")));
}
