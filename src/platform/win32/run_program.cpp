#include "platform/run_program.h"

#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
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

int runProgramToFile(const std::vector<std::string>& argv, const std::string& outputPath, std::string& error) {
    // The child inherits this process's descriptor 1, pointed at the file for
    // the time of the call.
    std::fflush(stdout);
    const int file = _open(outputPath.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (file < 0) {
        error = "cannot write " + outputPath;
        return -1;
    }
    const int saved = _dup(1);
    _dup2(file, 1);
    _close(file);
    const int rc = runProgram(argv, error);
    _dup2(saved, 1);
    _close(saved);
    return rc;
}

}  // namespace hux::platform
