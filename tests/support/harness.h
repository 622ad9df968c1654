// End-to-end test support: packing applications with the real `hux` tool and
// running them natively (Linux) or under Wine (Windows), with their output,
// exit code and a time limit.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "support/text_checks.h"

namespace hux::e2e {

using hux::test::has;
using hux::test::TempDir;

// What a launch that finds no runtime writes (without `minjre`): the message
// and the line that says what to do.
constexpr const char* kNoRuntimeAdvice =
    "hux: this application needs a Java runtime: install it, or set JAVA_HOME to its folder (HUX_DEBUG=1 shows "
    "where hux looked)\n";
constexpr const char* kNotFound =
    "Java Runtime Environment not found.\n"
    "hux: this application needs a Java runtime: install it, or set JAVA_HOME to its folder (HUX_DEBUG=1 shows "
    "where hux looked)\n";

struct RunResult {
    int exitCode = -1;  // -1 when killed or not started
    bool timedOut = false;
    std::string out;
    std::string err;
};

struct RunOptions {
    std::string cwd{};
    std::map<std::string, std::optional<std::string>> env{};  // nullopt removes a variable
    int timeoutMs = 60000;
    std::string input{};
};

RunResult run(const std::vector<std::string>& argv, const RunOptions& options = {});

// A process left running in the background; its standard input is a pipe that
// closes when the object is destroyed, and it is killed if still alive then.
class Background {
public:
    explicit Background(const std::vector<std::string>& argv, const RunOptions& options = {});
    ~Background();
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;
    // Waits until standard output holds `text`; false on time-out or exit.
    bool waitForOutput(const std::string& text, int timeoutMs = 30000);
    // Writes `text` to standard input; false once it is closed.
    bool send(const std::string& text);
    // Closes standard input and waits for the exit (0: kills at once).
    RunResult finish(int timeoutMs = 30000);
    // Reads what is there without waiting; true once the process has ended.
    bool poll();
    int pid() const { return pid_; }
    // Standard output read so far (by waitForOutput).
    const std::string& output() const { return result_.out; }

private:
    void drain(int waitMs);
    int pid_ = -1;
    int in_ = -1, out_ = -1, err_ = -1;
    RunResult result_;
    bool done_ = false;
};

// Where things are.
std::string sourceDir();
std::string buildDir();  // the Linux build
std::string toolPath();
std::string windowsBuildDir();
std::string appJarDir();  // the jars built for the end-to-end tests

struct Target {
    std::string name;  // "linux-x64" or "windows-x64"
    bool windows() const { return name == "windows-x64"; }
    std::string exeName(const std::string& base) const { return windows() ? base + ".exe" : base; }
    // The command line that runs `exe` with `args` on this target.
    std::vector<std::string> command(const std::string& exe, const std::vector<std::string>& args = {}) const;
};
// Runs `exe` on `target`; Windows text-mode line ends (CR LF) read as LF.
RunResult runOn(const Target& target, const std::string& exe, const std::vector<std::string>& args = {},
                const RunOptions& options = {});

// linux-x64, plus windows-x64 when its stub was built (required when
// HUX_REQUIRE_WINDOWS=1).
std::vector<Target> targets();
bool windowsStubAvailable();

// Runs `hux pack`; the configuration lines are passed with --line.
RunResult pack(const Target& target, const std::string& output, const std::vector<std::string>& lines,
               const std::vector<std::string>& files = {}, const std::vector<std::string>& extra = {});

std::string readFile(const std::string& path);
// Windows form of a Linux path as Wine shows it to programs ("Z:\...").
std::string winePath(const std::string& path);
// The Wine prefix the Windows runs use (scripts/wine-env's choice).
std::string winePrefix();

// Homes of the JDKs installed here (one per distinct libjvm.so), and their
// runtime library.
std::vector<std::string> installedJdks();
std::string jvmLibraryOf(const std::string& jdkHome);
// The major version of a JDK home ("17", "25").
int jdkMajorVersion(const std::string& jdkHome);

// A test over the JDKs installed here (at least one), with a scratch directory.
class JdkTest : public ::testing::Test {
protected:
    void SetUp() override {
        jdks_ = installedJdks();
        ASSERT_FALSE(jdks_.empty()) << "no JDK under /usr/lib/jvm";
    }
    std::vector<std::string> jdks_;
    TempDir dir_;
};

// Standard error without the virtual machine's own warnings (a class-data
// sharing note appears when a system class loader is configured).
std::string errorLines(const std::string& err);

// Whether `path` names an existing file or directory (links followed).
bool exists(const std::string& path);
// The names in directory `dir`, sorted (none when it cannot be read).
std::vector<std::string> filesIn(const std::string& dir);

// Waits at most `timeoutMs` for the background dump of a flattened
// executable's class-data archive to publish it in `dir`: the archive's name,
// once it is there and neither a dump nor a class list waiting for one is;
// empty on time-out.
std::string waitForDumpedArchive(const std::string& dir, int timeoutMs = 60000);

// A throwaway user (made once, kept for later runs; needs root), with a home
// directory or, like many service accounts, with one that does not exist.
struct User {
    uid_t uid = 0;
    gid_t gid = 0;
    std::string home;
    bool ok = false;
};
User throwawayUser(const std::string& name, bool withHome = true);
// `command` run as user `u` (through setpriv).
std::vector<std::string> as(const User& u, const std::vector<std::string>& command);

// The directory of the user's named objects as the launcher computes it on Linux.
std::string linuxRuntimeDir();

// Where the `b` source finds a runtime library below the executable's `jre`.
std::string privateRuntimeLibrary(const Target& t);
// The stand-in runtime library that writes "runtime-loaded.txt" in the current
// directory when it is loaded (its creation entry fails).
std::string loadRecorder(const Target& t);
// Copies a file, making the folders on the way.
void copyInto(const std::string& from, const std::string& to);

// Holds the single-instance lock named `name` the way another running
// instance would: the lock file on Linux, the named mutex (through a helper)
// under Wine.
class MutexHolder {
public:
    MutexHolder(const Target& target, const std::string& name);
    ~MutexHolder();
    MutexHolder(const MutexHolder&) = delete;
    MutexHolder& operator=(const MutexHolder&) = delete;
    bool held() const { return held_; }

private:
    int fd_ = -1;
    std::unique_ptr<Background> helper_;
    bool held_ = false;
};

}  // namespace hux::e2e
