#include "platform/run_program.h"

#include <process.h>

#include <cerrno>
#include <cstring>

namespace hux::platform {

int runProgram(const std::vector<std::string>& argv, std::string& error) {
    if (argv.empty()) {
        error = "no program to run";
        return -1;
    }
    // The runtime library joins the arguments into one command line; quote
    // each so that spaces and quotes survive the child's splitting.
    std::vector<std::string> quoted;
    for (const std::string& a : argv) {
        std::string q = "\"";
        size_t slashes = 0;
        for (char c : a) {
            if (c == '\\') {
                ++slashes;
            } else {
                if (c == '"') q.append(slashes + 1, '\\');
                slashes = 0;
            }
            q.push_back(c);
        }
        q.append(slashes, '\\');
        q.push_back('"');
        quoted.push_back(q);
    }
    std::vector<const char*> args;
    for (const std::string& q : quoted) args.push_back(q.c_str());
    args.push_back(nullptr);
    const intptr_t rc = _spawnvp(_P_WAIT, argv[0].c_str(), args.data());
    if (rc == -1) {
        error = "cannot run " + argv[0] + ": " + std::strerror(errno);
        return -1;
    }
    return static_cast<int>(rc);
}

}  // namespace hux::platform
