// Standard stream redirection end to end: the launcher's own messages on both
// targets (a launch that finds no runtime, a refused second instance), and
// real Java applications on Linux writing both streams into one file or into a
// command.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

#include "support/harness.h"

using namespace hux::e2e;

namespace {

const Target kLinux{"linux-x64"};
const char* const kAlreadyRunning = "There is already an instance of this program running.\n";
const char* const kNoRuntime = "jre_order c";

// File contents with Windows text-mode line ends read as LF.
std::string textOf(const std::string& path) {
    std::string out;
    for (char c : readFile(path))
        if (c != '\r') out += c;
    return out;
}

RunOptions inDir(const TempDir& dir) {
    RunOptions options;
    options.cwd = dir.path();
    return options;
}

// Waits up to `ms` for `path` to hold `expected` (or only to contain it).
bool eventually(const std::string& path, const std::string& expected, int ms, bool contains = false) {
    const auto done = [&] {
        if (!exists(path)) return false;
        const std::string text = textOf(path);
        return contains ? text.find(expected) != std::string::npos : text == expected;
    };
    for (int waited = 0; waited < ms && !done(); waited += 50)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return done();
}

// How a command target names a program and a file on `t`.
std::string appendCommand(const Target& t, const std::string& file, int delayMs) {
    if (t.windows())
        return winePath(windowsBuildDir() + "/bin/append_stdin.exe") + " " + winePath(file) + " " +
               std::to_string(delayMs);
    return "sleep " + std::to_string(delayMs / 1000.0) + "; cat >> '" + file + "'";
}

std::vector<std::string> redirApp() { return {"lib/redir.jar=" + appJarDir() + "/redir.jar"}; }

}  // namespace

TEST(Redirect, LauncherMessagesGoToTheStderrFileInTheForcedDirectory) {
    TempDir dir;
    std::filesystem::create_directories(dir.file("bin"));
    std::filesystem::create_directories(dir.file("work"));
    for (const Target& t : targets()) {
        SCOPED_TRACE(t.name);
        const std::string exe = dir.file("bin/" + t.exeName("app"));
        ASSERT_EQ(pack(t, exe, {"mainclass app.Main", kNoRuntime, "forcecwd ../work", "stderr log.txt"}).exitCode, 0);
        dir.write("work/log.txt", "older text\n");
        RunResult r = runOn(t, exe, {}, inDir(dir));
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err, "");
        // Relative to the forced working directory, appended after what was there.
        EXPECT_EQ(textOf(dir.file("work/log.txt")), std::string("older text\n") + kNotFound);
        EXPECT_FALSE(exists(dir.file("log.txt")));
        EXPECT_FALSE(exists(dir.file("bin/log.txt")));

        // One file for both streams, with a message override.
        ASSERT_EQ(
            pack(t, exe,
                 {"mainclass app.Main", kNoRuntime, "stdout both.txt", "stderr both.txt", "message 1=No runtime here"})
                .exitCode,
            0);
        r = runOn(t, exe, {}, inDir(dir));
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out + r.err, "");
        EXPECT_EQ(textOf(dir.file("both.txt")), std::string("No runtime here\n") + kNoRuntimeAdvice);

        // A target that cannot be opened leaves the stream where it was.
        ASSERT_EQ(pack(t, exe, {"mainclass app.Main", kNoRuntime, "stderr no-such-dir/err.txt"}).exitCode, 0);
        r = runOn(t, exe, {}, inDir(dir));
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err, kNotFound);
        std::filesystem::remove(dir.file("both.txt"));
    }
}

TEST(Redirect, RefusedSecondInstanceWritesMessage13IntoTheStderrFile) {
    TempDir dir;
    for (const Target& t : targets()) {
        SCOPED_TRACE(t.name);
        const std::string exe = dir.file(t.exeName("second"));
        const std::string log = dir.file(t.name + "-second.txt");
        ASSERT_EQ(pack(t, exe,
                       {"mainclass app.Main", kNoRuntime, "singleinstance true", "appid Redirect\\Second",
                        "stderr " + t.name + "-second.txt"})
                      .exitCode,
                  0);
        MutexHolder holder(t, "Redirect.Second.hux.mutex");
        ASSERT_TRUE(holder.held());
        RunResult r = runOn(t, exe, {}, inDir(dir));
        EXPECT_EQ(r.exitCode, 11);
        EXPECT_EQ(r.out + r.err, "");
        EXPECT_EQ(textOf(log), kAlreadyRunning);

        ASSERT_EQ(pack(t, exe,
                       {"mainclass app.Main", kNoRuntime, "singleinstance true", "appid Redirect\\Second",
                        "stderr " + t.name + "-second.txt", "message 13=Busy in another window"})
                      .exitCode,
                  0);
        r = runOn(t, exe, {}, inDir(dir));
        EXPECT_EQ(r.exitCode, 11);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(textOf(log), std::string(kAlreadyRunning) + "Busy in another window\n");
    }
}

TEST(Redirect, CommandTargetIsFedAndNotWaitedFor) {
    TempDir dir;
    for (const Target& t : targets()) {
        SCOPED_TRACE(t.name);
        const std::string exe = dir.file(t.exeName("piped"));
        const std::string piped = dir.file(t.name + "-piped.txt");
        // The command reads only after a delay the launch does not wait for.
        const int delayMs = 4000;
        ASSERT_EQ(
            pack(t, exe, {"mainclass app.Main", kNoRuntime, "stderr |" + appendCommand(t, piped, delayMs)}).exitCode,
            0);
        const auto start = std::chrono::steady_clock::now();
        RunResult r = runOn(t, exe, {}, inDir(dir));
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err, "");
        EXPECT_LT(elapsed, delayMs - 500);
        EXPECT_TRUE(eventually(piped, kNotFound, delayMs + 15000)) << (exists(piped) ? textOf(piped) : "<none>");
    }
}

namespace {

class RedirectJava : public JdkTest {
protected:
    std::string packRedir(const std::string& name, const std::string& jdk, std::vector<std::string> lines,
                          const std::string& mainClass = "redir.Main") {
        lines.insert(lines.begin(), {"mainclass " + mainClass, "jre_order c", "jvmdll " + jvmLibraryOf(jdk)});
        const std::string exe = dir_.file(name);
        RunResult r = pack(kLinux, exe, lines, redirApp());
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return exe;
    }
};

// Lines the virtual machine writes by itself: its warnings (class-data
// sharing with a system class loader) and the trace of a class not found.
bool vmLine(const std::string& line) {
    return line.find("warning") != std::string::npos || line.find("sharing") != std::string::npos ||
           line.rfind("Exception in thread", 0) == 0 || line.rfind("\tat ", 0) == 0;
}

}  // namespace

TEST_F(RedirectJava, BothStreamsShareOneFileInWriteOrderWithoutLosingALine) {
    const int kLines = 50000;  // per stream
    for (const std::string& jdk : jdks_) {
        SCOPED_TRACE(jdk);
        std::filesystem::create_directories(dir_.file("work"));
        const std::string log = dir_.file("work/log.txt");
        dir_.write("work/log.txt", "older text\n");
        const std::vector<std::string> lines = {"forcecwd work", "stdout log.txt", "stderr log.txt"};
        const std::string exe = packRedir("flood", jdk, lines);
        const std::string broken = packRedir("broken", jdk, lines, "redir.Missing");

        RunResult r = runOn(kLinux, exe, {"print", "first", "second", "native", "1", "native write"});
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out + r.err, "");
        r = runOn(kLinux, exe, {"flood", std::to_string(kLines)});
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out + r.err, "");
        r = runOn(kLinux, broken);
        EXPECT_EQ(r.exitCode, 7);
        EXPECT_EQ(r.out + r.err, "");

        std::istringstream in(readFile(log));
        std::string line;
        std::vector<std::string> other;
        int nextOut = 0, nextErr = 0, malformed = 0;
        const std::string outTail = " ...............................";
        const std::string errTail = " .........................................";
        while (std::getline(in, line)) {
            if (line.rfind("out line ", 0) == 0) {
                // In order, each exactly once, never mixed with another line.
                if (line != "out line " + std::to_string(nextOut) + outTail) ++malformed;
                ++nextOut;
            } else if (line.rfind("err line ", 0) == 0) {
                if (line != "err line " + std::to_string(nextErr) + errTail) ++malformed;
                ++nextErr;
            } else if (!vmLine(line)) {
                other.push_back(line);
            }
        }
        EXPECT_EQ(nextOut, kLines);
        EXPECT_EQ(nextErr, kLines);
        EXPECT_EQ(malformed, 0);
        const std::vector<std::string> expected = {"older text", "stdout: first", "stderr: second", "native write",
                                                   "The main startup class could not be found."};
        EXPECT_EQ(other, expected);
        std::filesystem::remove(log);
    }
}

TEST_F(RedirectJava, CommandTargetAndUnopenableTarget) {
    for (const std::string& jdk : jdks_) {
        SCOPED_TRACE(jdk);
        const std::string piped = dir_.file("piped.txt");
        std::filesystem::remove(piped);
        const std::string exe = packRedir("cmd", jdk, {"stdout |cat >> '" + piped + "'", "stderr no-such-dir/err.txt"});
        RunResult r = runOn(kLinux, exe, {"print", "to the command", "to the console"}, inDir(dir_));
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("stderr: to the console\n"), std::string::npos) << r.err;
        EXPECT_TRUE(eventually(piped, "stdout: to the command\n", 10000, true))
            << (exists(piped) ? textOf(piped) : "<none>");
    }
}
