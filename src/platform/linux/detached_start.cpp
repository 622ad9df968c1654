// Starting a program that outlives the launcher: a session of its own, nothing
// of the launcher's inherited but its environment.
#include <fcntl.h>
#include <spawn.h>

#include <cstring>

#include "platform/run_program.h"

extern char** environ;

namespace hux::platform {

bool startsDetachedPrograms() { return true; }

Status startDetached(const std::vector<std::string>& argv, const std::string& assignment) {
    if (argv.empty()) return Status::failure("no program to run");
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    // The caller's environment with `assignment` in place of any value of
    // the same name.
    const size_t nameLength = assignment.find('=') + 1;
    std::vector<char*> env;
    for (char** e = environ; e && *e; ++e)
        if (std::strncmp(*e, assignment.c_str(), nameLength) != 0) env.push_back(*e);
    env.push_back(const_cast<char*>(assignment.c_str()));
    env.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    // Locks and files the launcher holds stay its own.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, args[0], &actions, &attributes, args.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) return errorStatus(describe("cannot start", argv[0]), rc);
    return {};
}

}  // namespace hux::platform
