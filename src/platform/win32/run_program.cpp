#include "platform/run_program.h"

#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/win32/windows_support.h"

namespace hux::platform {

namespace {

// One argument quoted for the runtime library's splitting of a command line:
// spaces and quotes survive, and backslashes before a quote are doubled.
std::string quotedArgument(const std::string& a) {
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
    return q;
}

}  // namespace

int runProgram(const std::vector<std::string>& argv, std::string& error) {
    if (argv.empty()) {
        error = "no program to run";
        return -1;
    }
    // The runtime library joins the arguments into one command line; quote
    // each so that spaces and quotes survive the child's splitting.
    std::vector<std::string> quoted;
    for (const std::string& a : argv) quoted.push_back(quotedArgument(a));
    // Wide, so that a name the ANSI code page cannot spell reaches the child.
    std::vector<std::wstring> wide;
    for (const std::string& q : quoted) wide.push_back(win32::toWide(q.c_str()));
    std::vector<const wchar_t*> args;
    for (const std::wstring& w : wide) args.push_back(w.c_str());
    args.push_back(nullptr);
    const intptr_t rc = _wspawnvp(_P_WAIT, win32::toWide(argv[0].c_str()).c_str(), args.data());
    if (rc == -1) {
        error = "cannot run " + argv[0] + ": " + std::strerror(errno);
        return -1;
    }
    return static_cast<int>(rc);
}

namespace {

// The child inherits this process's descriptor 1 (and 2 `withErrors`),
// pointed at the file for the time of the call.
int runToFile(const std::vector<std::string>& argv, const std::string& outputPath, std::string& error,
              bool withErrors) {
    std::fflush(stdout);
    std::fflush(stderr);
    const int file = _wopen(win32::widePath(outputPath.c_str()).c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY,
                            _S_IREAD | _S_IWRITE);
    if (file < 0) {
        error = "cannot write " + outputPath;
        return -1;
    }
    const int saved = _dup(1);
    const int savedErrors = withErrors ? _dup(2) : -1;
    _dup2(file, 1);
    if (withErrors) _dup2(file, 2);
    _close(file);
    const int rc = runProgram(argv, error);
    _dup2(saved, 1);
    _close(saved);
    if (withErrors) {
        _dup2(savedErrors, 2);
        _close(savedErrors);
    }
    return rc;
}

}  // namespace

int runProgramToFile(const std::vector<std::string>& argv, const std::string& outputPath, std::string& error) {
    return runToFile(argv, outputPath, error, false);
}

int runProgramCapturing(const std::vector<std::string>& argv, const std::string& outputPath, std::string& error) {
    return runToFile(argv, outputPath, error, true);
}

int runProgramCapturingWithin(const std::vector<std::string>& argv, const std::string& outputPath, int limitSeconds,
                              int graceSeconds, bool& timedOut, std::string& error) {
    // Windows has no request to end a console program from outside that it
    // could answer by writing what it has: the limit ends it.
    (void)graceSeconds;
    timedOut = false;
    if (argv.empty()) {
        error = "no program to run";
        return -1;
    }
    std::wstring line;
    for (const std::string& a : argv) {
        if (!line.empty()) line += L' ';
        line += win32::toWide(quotedArgument(a).c_str());
    }
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileW(win32::widePath(outputPath.c_str()).c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE in =
        CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE || in == INVALID_HANDLE_VALUE) {
        if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
        if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
        error = "cannot write " + outputPath;
        return -1;
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = out;
    PROCESS_INFORMATION process = {};
    const BOOL started =
        CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
    CloseHandle(out);
    CloseHandle(in);
    if (!started) {
        error = "cannot run " + argv[0];
        return -1;
    }
    CloseHandle(process.hThread);
    if (WaitForSingleObject(process.hProcess, static_cast<DWORD>(limitSeconds) * 1000) == WAIT_TIMEOUT) {
        timedOut = true;
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, INFINITE);
        CloseHandle(process.hProcess);
        error = argv[0] + " did not exit by itself";
        return -1;
    }
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    return static_cast<int>(code);
}

// The launcher keeps the class-data archive written at exit here.
bool startsDetachedPrograms() { return false; }

bool startDetached(const std::vector<std::string>& /*argv*/, const std::string& /*assignment*/) { return false; }

}  // namespace hux::platform
