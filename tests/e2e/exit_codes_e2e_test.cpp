// The packed executable ends the way `java -cp` ends: the same exit code, the
// same output, for every way a program can end, on every installed JDK.
#include <signal.h>

#include <gtest/gtest.h>

#include <sstream>

#include "support/harness.h"

using namespace hux::e2e;

namespace {

const Target kLinux{"linux-x64"};

// Standard error without the virtual machine's class-data sharing note, which
// only the packed program (with its own system class loader) may print.
std::string withoutSharingNote(const std::string& err) {
    std::istringstream in(err);
    std::string line, out;
    while (std::getline(in, line))
        if (line.find("Sharing") == std::string::npos && line.find("sharing") == std::string::npos) out += line + "\n";
    return out;
}

class ExitCodes : public JdkTest {
protected:
    std::string jar() const { return appJarDir() + "/exits.jar"; }
    std::string packFor(const std::string& jdk) {
        const std::string exe = dir_.file("exits-" + std::to_string(jdkMajorVersion(jdk)));
        RunResult r = pack(kLinux, exe, {"mainclass exits.Main", "jre_order c", "jvmdll " + jvmLibraryOf(jdk)},
                           {"exits.jar=" + jar()});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return exe;
    }
    std::vector<std::string> javaCommand(const std::string& jdk, const std::string& how) const {
        return {jdk + "/bin/java", "-cp", jar(), "exits.Main", how};
    }
    std::vector<std::string> jdks_;
    TempDir dir_;
};

}  // namespace

TEST_F(ExitCodes, MainReturningOrThrowingEndsAsUnderJava) {
    for (const std::string& jdk : jdks_) {
        const std::string exe = packFor(jdk);
        for (const char* how : {"return", "throw-after-worker", "handler", "error"}) {
            SCOPED_TRACE(jdk + " " + how);
            RunResult packed = runOn(kLinux, exe, {how});
            RunResult java = run(javaCommand(jdk, how));
            EXPECT_EQ(packed.exitCode, java.exitCode) << packed.err;
            EXPECT_EQ(packed.out, java.out);
            EXPECT_EQ(withoutSharingNote(packed.err), withoutSharingNote(java.err));
        }
    }
}

TEST_F(ExitCodes, ExceptionExitsWithOneOnlyAfterTheOtherThreadsEnd) {
    for (const std::string& jdk : jdks_) {
        SCOPED_TRACE(jdk);
        RunResult r = runOn(kLinux, packFor(jdk), {"throw-after-worker"});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.out.find("worker finished"), std::string::npos) << r.out;
        EXPECT_NE(r.err.find("Exception in thread \"main\" java.lang.IllegalStateException: main gives up"),
                  std::string::npos)
            << r.err;
    }
}

TEST_F(ExitCodes, InterruptAndTerminationRunTheHooksAndExitAsUnderJava) {
    for (const std::string& jdk : jdks_) {
        const std::string exe = packFor(jdk);
        for (int sig : {SIGINT, SIGTERM}) {
            SCOPED_TRACE(jdk + " signal " + std::to_string(sig));
            Background packed(kLinux.command(exe, {"wait"}));
            Background java(javaCommand(jdk, "wait"));
            ASSERT_TRUE(packed.waitForOutput("waiting"));
            ASSERT_TRUE(java.waitForOutput("waiting"));
            kill(packed.pid(), sig);
            kill(java.pid(), sig);
            RunResult p = packed.finish();
            RunResult j = java.finish();
            EXPECT_EQ(p.exitCode, 128 + sig) << p.err;
            EXPECT_EQ(p.exitCode, j.exitCode);
            EXPECT_EQ(p.out, j.out);
            EXPECT_EQ(p.out, "waiting\nhook ran\n");
        }
    }
}
