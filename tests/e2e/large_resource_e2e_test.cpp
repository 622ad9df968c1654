// Resources far larger than the Java heap, read through getResourceAsStream
// from a packed executable with -Xmx64m: every byte arrives (length and
// CRC-32 as under `java -cp` with the same jar), stored and deflated alike.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/harness.h"

using namespace hux::e2e;

namespace {

const Target kLinux{"linux-x64"};

}  // namespace

TEST(LargeResources, StreamThroughASmallHeapAsUnderJavaCp) {
    const std::string jdk = installedJdks().front();
    TempDir dir;
    RunOptions slow;
    slow.timeoutMs = 600000;
    const std::string classes = dir.file("classes");
    RunResult compiled =
        run({jdk + "/bin/javac", "-d", classes, sourceDir() + "/tests/e2e/apps/large/LargeResources.java"});
    ASSERT_EQ(compiled.exitCode, 0) << compiled.err;
    // 320 MiB stored (incompressible) and 320 MiB deflated (text).
    const std::string jar = dir.file("large.jar");
    RunResult made = run({jdk + "/bin/java", "-cp", classes, "large.LargeResources", "make", jar, "320"}, slow);
    ASSERT_EQ(made.exitCode, 0) << made.err;
    std::filesystem::remove_all(classes);

    const std::vector<std::string> names = {"data/stored.bin", "data/deflated.txt", "data/missing"};
    std::vector<std::string> args = {"read"};
    args.insert(args.end(), names.begin(), names.end());
    std::vector<std::string> plainArgv = {jdk + "/bin/java", "-Xmx64m", "-cp", jar, "large.LargeResources"};
    plainArgv.insert(plainArgv.end(), args.begin(), args.end());
    RunResult plain = run(plainArgv, slow);
    ASSERT_EQ(plain.exitCode, 0) << plain.err;
    EXPECT_NE(plain.out.find("data/stored.bin 335544320 "), std::string::npos) << plain.out;
    EXPECT_NE(plain.out.find("data/deflated.txt 335544320 "), std::string::npos) << plain.out;
    EXPECT_NE(plain.out.find("data/missing missing"), std::string::npos) << plain.out;

    const std::string exe = dir.file("large");
    RunResult packed = pack(
        kLinux, exe, {"mainclass large.LargeResources", "option -Xmx64m", "jre_order c", "jvmdll " + jvmLibraryOf(jdk)},
        {"lib/large.jar=" + jar});
    ASSERT_EQ(packed.exitCode, 0) << packed.err;
    std::filesystem::remove(jar);
    RunResult served = runOn(kLinux, exe, args, slow);
    EXPECT_EQ(served.exitCode, 0) << served.err;
    EXPECT_EQ(served.out, plain.out);
    EXPECT_EQ(served.err.find("OutOfMemoryError"), std::string::npos) << served.err;
}
