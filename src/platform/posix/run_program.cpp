#include "platform/run_program.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace hux::platform {

int runProgram(const std::vector<std::string>& argv, std::string& error) {
    if (argv.empty()) {
        error = "no program to run";
        return -1;
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ);
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

}  // namespace hux::platform
