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

Status nothingToRun() { return Status::failure("no program to run"); }

// The arguments as one command line the child splits back into them.
std::wstring commandLineOf(const std::vector<std::string>& argv) {
    std::wstring line;
    for (const std::string& a : argv) {
        if (!line.empty()) line += L' ';
        line += win32::toWide(quotedArgument(a).c_str());
    }
    return line;
}

// This process's environment block with `assignment` ("NAME=value") in place
// of any value of that name (names compare without case, as Windows does).
std::wstring environmentWith(const std::string& assignment) {
    const std::wstring wanted = win32::toWide(assignment.c_str());
    const size_t nameLength = wanted.find(L'=') + 1;
    std::wstring block;
    if (wchar_t* strings = GetEnvironmentStringsW()) {
        for (const wchar_t* e = strings; *e; e += wcslen(e) + 1) {
            if (_wcsnicmp(e, wanted.c_str(), nameLength) == 0) continue;
            block += e;
            block.push_back(L'\0');
        }
        FreeEnvironmentStringsW(strings);
    }
    block += wanted;
    block.push_back(L'\0');
    block.push_back(L'\0');
    return block;
}

// A failure of the runtime library's, with its errno and its own words for it:
// ENOENT (2) for a program it did not find, as on other systems.
Status runtimeLibraryStatus(const std::string& what) {
    const int code = errno;
    return Status::failure(what + ": " + std::strerror(code), code);
}

}  // namespace

Result<int> runProgram(const std::vector<std::string>& argv) {
    if (argv.empty()) return nothingToRun();
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
    if (rc == -1) return runtimeLibraryStatus(describe("cannot start", argv[0]));
    return static_cast<int>(rc);
}

namespace {

// The child inherits this process's descriptor 1 (and 2 `withErrors`),
// pointed at the file for the time of the call.
Result<int> runToFile(const std::vector<std::string>& argv, const std::string& outputPath, bool withErrors) {
    std::fflush(stdout);
    std::fflush(stderr);
    const int file = _wopen(win32::widePath(outputPath.c_str()).c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY,
                            _S_IREAD | _S_IWRITE);
    if (file < 0) return runtimeLibraryStatus(describe("cannot write", outputPath));
    const int saved = _dup(1);
    const int savedErrors = withErrors ? _dup(2) : -1;
    _dup2(file, 1);
    if (withErrors) _dup2(file, 2);
    _close(file);
    Result<int> rc = runProgram(argv);
    _dup2(saved, 1);
    _close(saved);
    if (withErrors) {
        _dup2(savedErrors, 2);
        _close(savedErrors);
    }
    return rc;
}

}  // namespace

Result<int> runProgramToFile(const std::vector<std::string>& argv, const std::string& outputPath) {
    return runToFile(argv, outputPath, false);
}

Result<int> runProgramCapturing(const std::vector<std::string>& argv, const std::string& outputPath) {
    return runToFile(argv, outputPath, true);
}

Result<int> runProgramCapturingWithin(const std::vector<std::string>& argv, const std::string& outputPath,
                                      int limitSeconds, int graceSeconds, bool& timedOut) {
    // Windows has no request to end a console program from outside that it
    // could answer by writing what it has: the limit ends it.
    (void)graceSeconds;
    timedOut = false;
    if (argv.empty()) return nothingToRun();
    std::wstring line = commandLineOf(argv);
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileW(win32::widePath(outputPath.c_str()).c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    Status opened = out == INVALID_HANDLE_VALUE ? lastErrorStatus(describe("cannot write", outputPath)) : Status();
    HANDLE in =
        CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
    if (opened && in == INVALID_HANDLE_VALUE) opened = lastErrorStatus("cannot open the null device");
    if (!opened) {
        if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
        if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
        return opened;
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
    const Status notStarted = started ? Status() : lastErrorStatus(describe("cannot start", argv[0]));
    CloseHandle(out);
    CloseHandle(in);
    if (!started) return notStarted;
    CloseHandle(process.hThread);
    if (WaitForSingleObject(process.hProcess, static_cast<DWORD>(limitSeconds) * 1000) == WAIT_TIMEOUT) {
        timedOut = true;
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, INFINITE);
        CloseHandle(process.hProcess);
        return Status::failure("'" + argv[0] + "' did not exit by itself");
    }
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    return static_cast<int>(code);
}

const char* nullDevice() { return "NUL"; }

bool startsDetachedPrograms() { return true; }

Status startDetached(const std::vector<std::string>& argv, const std::string& assignment) {
    if (argv.empty()) return nothingToRun();
    const std::wstring program = win32::toWide(argv[0].c_str());
    std::wstring line = commandLineOf(argv);
    std::wstring environment = environmentWith(assignment);
    // Without a console and inheriting no handle, its standard streams lead
    // nowhere. Out of the caller's job where the job allows it, so that a
    // job ended with the launch does not end the helper too.
    const DWORD flags = DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP | CREATE_UNICODE_ENVIRONMENT | IDLE_PRIORITY_CLASS;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    BOOL started = CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE,
                                  flags | CREATE_BREAKAWAY_FROM_JOB, environment.data(), nullptr, &startup, &process);
    if (!started)
        started = CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, flags, environment.data(),
                                 nullptr, &startup, &process);
    if (!started) return lastErrorStatus(describe("cannot start", argv[0]));
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return {};
}

}  // namespace hux::platform
