// Jars named by a packed jar's manifest Class-Path: packed with it, so the
// application runs as with `java -cp`, and never looked for beside the
// executable.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "archive/zip_reader.h"
#include "support/harness.h"
#include "tool/payload/zip_writer.h"

using namespace hux::e2e;
using hux::tool::ZipWriter;
namespace fs = std::filesystem;

namespace {

const Target kLinux{"linux-x64"};

// Copies the jar `from` to `to` with `manifest` as its manifest.
void copyJarWithManifest(const std::string& from, const std::string& to, const std::string& manifest) {
    auto source = std::make_unique<hux::FileSource>();
    ASSERT_TRUE(source->open(from.c_str())) << from;
    hux::ZipReader reader;
    ASSERT_TRUE(reader.open(std::move(source))) << from;
    ZipWriter zip;
    std::string error;
    ASSERT_TRUE(zip.add("META-INF/MANIFEST.MF", std::vector<uint8_t>(manifest.begin(), manifest.end()),
                        ZipWriter::Method::Deflated, error));
    for (int32_t i = 0; i < reader.entryCount(); ++i) {
        const hux::ZipEntry& e = reader.entry(i);
        const std::string name(e.name, static_cast<size_t>(e.nameLength));
        if (name == "META-INF/MANIFEST.MF") continue;
        std::vector<uint8_t> data(e.size);
        ASSERT_TRUE(e.size == 0 || reader.readEntry(i, data.data())) << name;
        ASSERT_TRUE(zip.add(name, data, ZipWriter::Method::Deflated, error, e.dosTime)) << error;
    }
    ASSERT_TRUE(zip.finish(error)) << error;
    fs::create_directories(fs::path(to).parent_path());
    std::ofstream(to, std::ios::binary)
        .write(reinterpret_cast<const char*>(zip.bytes().data()), static_cast<std::streamsize>(zip.bytes().size()));
}

// The test application's main jar naming the two library jars (one with a
// space in its name, one in a folder above) and a jar that does not exist.
class ClassPathApp : public ::testing::Test {
protected:
    void SetUp() override {
        copyJarWithManifest(appJarDir() + "/app.jar", dir_.file("app/main.jar"),
                            "Manifest-Version: 1.0\r\nImplementation-Version: 4.5.6\r\n"
                            "Class-Path: libs/lib%201.jar ../shared/two.jar missing.jar\r\n");
        fs::create_directories(dir_.file("app/libs"));
        fs::copy_file(appJarDir() + "/lib1.jar", dir_.file("app/libs/lib 1.jar"));
        fs::create_directories(dir_.file("shared"));
        fs::copy_file(appJarDir() + "/lib2.jar", dir_.file("shared/two.jar"));
    }
    std::vector<std::string> jreLines(const std::string& jdk) const {
        return {"mainclass app.Main", "jre_order c", "jvmdll " + jvmLibraryOf(jdk)};
    }
    TempDir dir_;
};

const std::vector<std::string> kProbe = {"class", "lib.One", "class", "lib2.Two", "resource", "/lib2/only2.txt"};

// What both runs must print: the classes' own answers and the resource.
void expectLibrariesFound(const RunResult& r) {
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(has(r.out, "class=lib.One ")) << r.out;
    EXPECT_TRUE(has(r.out, "class=lib2.Two ")) << r.out;
    EXPECT_TRUE(has(r.out, "content=")) << r.out;
}

std::string saysLines(const std::string& out) {
    std::string says;
    for (size_t at = out.find("says="); at != std::string::npos; at = out.find("says=", at + 1))
        says += out.substr(at, out.find(' ', at) - at) + "\n";
    return says;
}

}  // namespace

TEST_F(ClassPathApp, NamedJarsArePackedAndRunAsWithJavaCp) {
    for (const std::string& jdk : installedJdks()) {
        SCOPED_TRACE(jdk);
        std::vector<std::string> javaArgs = {jdk + "/bin/java", "-cp", dir_.file("app/main.jar"), "app.Main"};
        javaArgs.insert(javaArgs.end(), kProbe.begin(), kProbe.end());
        const RunResult java = run(javaArgs);
        expectLibrariesFound(java);
        EXPECT_TRUE(has(java.out, "version=1.2.3")) << java.out;  // lib1's own manifest

        for (const bool flatten : {false, true}) {
            SCOPED_TRACE(flatten ? "flattened" : "nested");
            const std::string exe = dir_.file(flatten ? "out/flat" : "out/nested");
            fs::create_directories(dir_.file("out"));
            std::vector<std::string> extra;
            if (flatten) extra.push_back("--flatten");
            RunResult packed = pack(kLinux, exe, jreLines(jdk), {dir_.file("app/main.jar")}, extra);
            ASSERT_EQ(packed.exitCode, 0) << packed.err;
            // The missing jar is one warning line; the others are packed.
            size_t classPathWarnings = 0;
            for (size_t at = packed.err.find("Class-Path"); at != std::string::npos;
                 at = packed.err.find("Class-Path", at + 1))
                ++classPathWarnings;
            EXPECT_EQ(classPathWarnings, 1u) << packed.err;
            EXPECT_TRUE(has(packed.err,
                            "hux pack: warning: 'main.jar': Class-Path jars that do not exist, left out "
                            "as java skips them: 'missing.jar' (" +
                                dir_.file("app/missing.jar") + ")\n"))
                << packed.err;
            RunResult r = runOn(kLinux, exe, kProbe);
            expectLibrariesFound(r);
            EXPECT_EQ(saysLines(r.out), saysLines(java.out));
            if (!flatten) {
                EXPECT_TRUE(has(r.out, "version=1.2.3")) << r.out;
                RunResult listing = run({toolPath(), "inspect", exe});
                EXPECT_TRUE(has(listing.out, "libs/lib 1.jar")) << listing.out;
                EXPECT_TRUE(has(listing.out, "two.jar")) << listing.out;
            }
        }
    }
}

TEST_F(ClassPathApp, TurnedOffTheJarsStayOutAndAreNotReadFromBesideTheExecutable) {
    const std::string jdk = installedJdks().front();
    // The executable sits where the main jar was: the named jars lie beside it
    // at exactly the places its Class-Path names.
    for (const bool flatten : {false, true}) {
        SCOPED_TRACE(flatten ? "flattened" : "nested");
        const std::string exe = dir_.file(flatten ? "app/flat" : "app/nested");
        std::vector<std::string> extra = {"--no-class-path-jars"};
        if (flatten) extra.push_back("--flatten");
        RunResult packed = pack(kLinux, exe, jreLines(jdk), {dir_.file("app/main.jar")}, extra);
        ASSERT_EQ(packed.exitCode, 0) << packed.err;
        EXPECT_EQ(packed.err, "");
        RunResult r = runOn(kLinux, exe, {"class", "lib.One"});
        EXPECT_EQ(r.exitCode, 1) << r.out;
        EXPECT_TRUE(has(r.err, "ClassNotFoundException: lib.One")) << r.err;
    }
}
