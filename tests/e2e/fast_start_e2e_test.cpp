// The fast route of `hux pack`: `--fast` (flattened, the JDK's own loader, a
// class-data archive) on an installed JDK.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "harness.h"

using namespace hux::e2e;
namespace fs = std::filesystem;

namespace {

const Target kLinux{"linux-x64"};

}  // namespace

TEST(FastStart, OneSwitchFlattensKeepsTheJdkLoaderAndMapsAnArchive) {
    const std::vector<std::string> jdks = installedJdks();
    ASSERT_FALSE(jdks.empty());
    const std::string jdk = jdks.back();
    Scratch dir;
    const std::string exe = dir.file("app");
    ASSERT_EQ(pack(kLinux, exe,
                   {"mainclass app.Main", "jre_order c", "jvmdll " + jvmLibraryOf(jdk),
                    "option -Xlog:class+load=info:file=${HUX_CLASS_LOG}"},
                   {"lib/app.jar=" + appJarDir() + "/app.jar"}, {"--fast"})
                  .exitCode,
              0);
    const RunResult listing = run({toolPath(), "inspect", exe});
    EXPECT_TRUE(has(listing.out, "cds auto")) << listing.out;
    EXPECT_TRUE(has(listing.out, "assystemclassloader false")) << listing.out;
    EXPECT_TRUE(has(listing.out, "app/Main.class")) << listing.out;
    EXPECT_FALSE(has(listing.out, "lib/app.jar")) << listing.out;

    RunOptions options;
    options.env["XDG_CACHE_HOME"] = dir.file("cache");
    for (const char* launch : {"first", "second"}) {
        SCOPED_TRACE(launch);
        options.env["HUX_CLASS_LOG"] = dir.file(std::string(launch) + ".log");
        const RunResult r = runOn(kLinux, exe, {"loader", "resource", "data.txt"}, options);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.err, "");
        // As under java -cp: the JDK's application loader, jar: URLs.
        EXPECT_TRUE(has(r.out, "loader=jdk.internal.loader.ClassLoaders$AppClassLoader")) << r.out;
        EXPECT_TRUE(has(r.out, "system=jdk.internal.loader.ClassLoaders$AppClassLoader")) << r.out;
        EXPECT_TRUE(has(r.out, "url=jar:file:")) << r.out;
    }
    // The first launch wrote the archive, the second maps the classes from it.
    EXPECT_FALSE(has(readFile(dir.file("first.log")), "app.Main source: shared objects file"));
    EXPECT_TRUE(has(readFile(dir.file("second.log")), "app.Main source: shared objects file"));
}
