#include "platform/run_program.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace hux::platform {

namespace {

int spawnAndWait(const std::vector<std::string>& argv, const std::string* outputPath, std::string& error,
                 bool withErrors = false) {
    if (argv.empty()) {
        error = "no program to run";
        return -1;
    }
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
    if (rc != 0) {
        error = "cannot run " + argv[0] + ": " + std::strerror(rc);
        return -1;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            error = "lost " + argv[0] + ": " + std::strerror(errno);
            return -1;
        }
    }
    if (!WIFEXITED(status)) {
        error = argv[0] + " did not exit normally";
        return -1;
    }
    return WEXITSTATUS(status);
}

}  // namespace

int runProgram(const std::vector<std::string>& argv, std::string& error) { return spawnAndWait(argv, nullptr, error); }

int runProgramToFile(const std::vector<std::string>& argv, const std::string& outputPath, std::string& error) {
    return spawnAndWait(argv, &outputPath, error);
}

int runProgramCapturing(const std::vector<std::string>& argv, const std::string& outputPath, std::string& error) {
    return spawnAndWait(argv, &outputPath, error, true);
}

}  // namespace hux::platform
