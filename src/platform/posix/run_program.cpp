#include "platform/run_program.h"

#include <fcntl.h>
#include <spawn.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>

#include <cerrno>

extern char** environ;

namespace hux::platform {

namespace {

Status nothingToRun() { return Status::failure("no program to run"); }

Status notStarted(const std::string& program, int code) { return errorStatus(describe("cannot start", program), code); }

Status lost(const std::string& program) { return lastErrorStatus(describe("cannot wait for", program)); }

Result<int> spawnAndWait(const std::vector<std::string>& argv, const std::string* outputPath, bool withErrors = false) {
    if (argv.empty()) return nothingToRun();
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (outputPath)
        posix_spawn_file_actions_addopen(&actions, 1, outputPath->c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (outputPath && withErrors) posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return notStarted(argv[0], rc);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return lost(argv[0]);
    if (!WIFEXITED(status)) return Status::failure("'" + argv[0] + "' did not exit normally");
    return WEXITSTATUS(status);
}

}  // namespace

const char* nullDevice() { return "/dev/null"; }

Result<int> runProgram(const std::vector<std::string>& argv) { return spawnAndWait(argv, nullptr); }

Result<int> runProgramToFile(const std::vector<std::string>& argv, const std::string& outputPath) {
    return spawnAndWait(argv, &outputPath);
}

Result<int> runProgramCapturing(const std::vector<std::string>& argv, const std::string& outputPath) {
    return spawnAndWait(argv, &outputPath, true);
}

Result<int> runProgramCapturingWithin(const std::vector<std::string>& argv, const std::string& outputPath,
                                      int limitSeconds, int graceSeconds, bool& timedOut) {
    timedOut = false;
    if (argv.empty()) return nothingToRun();
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    // A group of its own, so that the processes it starts end with it.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) return notStarted(argv[0], rc);
    const auto now = [] {
        struct timespec t {};
        clock_gettime(CLOCK_MONOTONIC, &t);
        return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
    };
    const int64_t start = now();
    bool terminated = false, killed = false;
    int status = 0;
    while (true) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) return lost(argv[0]);
        const int64_t elapsed = now() - start;
        if (!terminated && elapsed >= static_cast<int64_t>(limitSeconds) * 1000) {
            timedOut = terminated = true;
            kill(-pid, SIGTERM);
        } else if (terminated && !killed && elapsed >= static_cast<int64_t>(limitSeconds + graceSeconds) * 1000) {
            killed = true;
            kill(-pid, SIGKILL);
        }
        struct timespec pause = {0, 20 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    // What it started and left behind goes too.
    kill(-pid, SIGKILL);
    if (!WIFEXITED(status)) return Status::failure("'" + argv[0] + "' did not exit by itself");
    return WEXITSTATUS(status);
}

}  // namespace hux::platform
