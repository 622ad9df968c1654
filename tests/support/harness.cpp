#include "support/harness.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/posix/names.h"

extern char** environ;

namespace hux::e2e {

namespace {

int64_t nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::vector<std::string> buildEnv(const RunOptions& options) {
    std::map<std::string, std::string> env;
    for (char** e = environ; *e; ++e) {
        const char* eq = std::strchr(*e, '=');
        if (eq) env[std::string(*e, static_cast<size_t>(eq - *e))] = eq + 1;
    }
    for (const auto& [k, v] : options.env) {
        if (v) {
            env[k] = *v;
        } else {
            env.erase(k);
        }
    }
    std::vector<std::string> out;
    for (const auto& [k, v] : env) out.push_back(k + "=" + v);
    return out;
}

int spawn(const std::vector<std::string>& argv, const RunOptions& options, int& in, int& out, int& err) {
    int pin[2], pout[2], perr[2];
    if (pipe2(pin, O_CLOEXEC) || pipe2(pout, O_CLOEXEC) || pipe2(perr, O_CLOEXEC)) return -1;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, pin[0], 0);
    posix_spawn_file_actions_adddup2(&fa, pout[1], 1);
    posix_spawn_file_actions_adddup2(&fa, perr[1], 2);
    if (!options.cwd.empty()) posix_spawn_file_actions_addchdir_np(&fa, options.cwd.c_str());
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // A program under test starts with the signals a terminal gives it, also
    // when the suite itself runs as a background job (which ignores SIGINT)
    // or under nohup.
    sigset_t defaults, none;
    sigemptyset(&defaults);
    for (const int sig : {SIGINT, SIGQUIT, SIGTERM, SIGHUP}) sigaddset(&defaults, sig);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    posix_spawnattr_setpgroup(&attr, 0);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const std::vector<std::string> envStrings = buildEnv(options);
    std::vector<char*> envp;
    for (const auto& e : envStrings) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, args[0], &fa, &attr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    close(pin[0]);
    close(pout[1]);
    close(perr[1]);
    if (rc != 0) {
        close(pin[1]);
        close(pout[0]);
        close(perr[0]);
        return -1;
    }
    in = pin[1];
    out = pout[0];
    err = perr[0];
    return pid;
}

// Reads what is available from `out` and `err` for up to `waitMs`.
void pump(int& out, int& err, RunResult& r, int waitMs) {
    pollfd fds[2];
    int n = 0;
    if (out >= 0) fds[n++] = {out, POLLIN, 0};
    if (err >= 0) fds[n++] = {err, POLLIN, 0};
    if (n == 0) {
        if (waitMs > 0) usleep(static_cast<useconds_t>(waitMs) * 1000);
        return;
    }
    if (poll(fds, static_cast<nfds_t>(n), waitMs) <= 0) return;
    for (int i = 0; i < n; ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        char buf[65536];
        ssize_t got = read(fds[i].fd, buf, sizeof buf);
        int& fd = fds[i].fd == out ? out : err;
        std::string& sink = fds[i].fd == out ? r.out : r.err;
        if (got > 0) {
            sink.append(buf, static_cast<size_t>(got));
        } else {
            close(fd);
            fd = -1;
        }
    }
}

bool reap(int pid, RunResult& r, bool block) {
    int status = 0;
    pid_t w = waitpid(pid, &status, block ? 0 : WNOHANG);
    if (w != pid) return false;
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return true;
}

}  // namespace

RunResult run(const std::vector<std::string>& argv, const RunOptions& options) {
    RunResult r;
    int in = -1, out = -1, err = -1;
    const int pid = spawn(argv, options, in, out, err);
    if (pid < 0) {
        r.err = "cannot start " + argv[0];
        return r;
    }
    if (!options.input.empty()) {
        ssize_t ignored = write(in, options.input.data(), options.input.size());
        (void)ignored;
    }
    close(in);
    const int64_t deadline = nowMs() + options.timeoutMs;
    bool exited = false;
    while (true) {
        pump(out, err, r, 50);
        if (!exited) exited = reap(pid, r, false);
        if (exited && out < 0 && err < 0) break;
        if (exited) {
            // Grandchildren may keep the pipes open; give them a moment.
            pump(out, err, r, 200);
            pump(out, err, r, 0);
            break;
        }
        if (nowMs() > deadline) {
            r.timedOut = true;
            kill(-pid, SIGKILL);
            reap(pid, r, true);
            r.exitCode = -1;
            break;
        }
    }
    if (out >= 0) close(out);
    if (err >= 0) close(err);
    return r;
}

Background::Background(const std::vector<std::string>& argv, const RunOptions& options) {
    pid_ = spawn(argv, options, in_, out_, err_);
}

void Background::drain(int waitMs) { pump(out_, err_, result_, waitMs); }

bool Background::waitForOutput(const std::string& text, int timeoutMs) {
    const int64_t deadline = nowMs() + timeoutMs;
    while (nowMs() < deadline) {
        if (result_.out.find(text) != std::string::npos) return true;
        drain(50);
        if (!done_ && reap(pid_, result_, false)) done_ = true;
        if (done_ && out_ < 0) return result_.out.find(text) != std::string::npos;
    }
    return false;
}

bool Background::poll() {
    drain(0);
    if (!done_ && reap(pid_, result_, false)) done_ = true;
    return done_;
}

bool Background::send(const std::string& text) {
    return in_ >= 0 && write(in_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

RunResult Background::finish(int timeoutMs) {
    if (in_ >= 0) close(in_);
    in_ = -1;
    const int64_t deadline = nowMs() + timeoutMs;
    while (!done_ && nowMs() < deadline) {
        drain(50);
        done_ = reap(pid_, result_, false);
    }
    if (!done_ && pid_ > 0) {
        kill(-pid_, SIGKILL);
        reap(pid_, result_, true);
        result_.timedOut = true;
        done_ = true;
    }
    drain(0);
    return result_;
}

Background::~Background() {
    if (pid_ > 0 && !done_) finish(10000);
    if (out_ >= 0) close(out_);
    if (err_ >= 0) close(err_);
}

static std::string envOr(const char* name, const char* fallback) {
    const char* v = std::getenv(name);
    return v && *v ? v : fallback;
}

std::string sourceDir() { return envOr("HUX_SOURCE_DIR", HUX_SOURCE_DIR_DEFAULT); }
std::string buildDir() { return envOr("HUX_BUILD_DIR", HUX_BUILD_DIR_DEFAULT); }
std::string toolPath() { return buildDir() + "/bin/hux"; }
std::string windowsBuildDir() { return envOr("HUX_WINDOWS_BUILD_DIR", (sourceDir() + "/build/windows").c_str()); }
std::string appJarDir() { return buildDir() + "/tests/e2e/jars"; }

bool windowsStubAvailable() {
    return access((buildDir() + "/share/hux/stubs/windows-x64/hux-stub.exe").c_str(), R_OK) == 0;
}

std::vector<Target> targets() {
    std::vector<Target> t{{"linux-x64"}};
    const bool required = envOr("HUX_REQUIRE_WINDOWS", "0") == "1";
    if (windowsStubAvailable()) {
        t.push_back({"windows-x64"});
    } else if (required) {
        throw std::runtime_error("the Windows stub is required (HUX_REQUIRE_WINDOWS=1) but was not built");
    }
    return t;
}

std::vector<std::string> Target::command(const std::string& exe, const std::vector<std::string>& args) const {
    std::vector<std::string> cmd;
    if (windows()) cmd.push_back(sourceDir() + "/scripts/wine-run");
    cmd.push_back(exe);
    cmd.insert(cmd.end(), args.begin(), args.end());
    return cmd;
}

static void dropCarriageReturns(std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i)
        if (!(s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n')) out += s[i];
    s.swap(out);
}

RunResult runOn(const Target& target, const std::string& exe, const std::vector<std::string>& args,
                const RunOptions& options) {
    RunResult r = run(target.command(exe, args), options);
    if (target.windows()) {
        dropCarriageReturns(r.out);
        dropCarriageReturns(r.err);
    }
    return r;
}

RunResult pack(const Target& target, const std::string& output, const std::vector<std::string>& lines,
               const std::vector<std::string>& files, const std::vector<std::string>& extra) {
    std::vector<std::string> cmd{toolPath(), "pack", "-t", target.name, "-o", output};
    for (const auto& l : lines) {
        cmd.push_back("--line");
        cmd.push_back(l);
    }
    cmd.insert(cmd.end(), extra.begin(), extra.end());
    cmd.insert(cmd.end(), files.begin(), files.end());
    return run(cmd);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string winePath(const std::string& path) {
    std::string p = "Z:" + path;
    for (char& c : p)
        if (c == '/') c = '\\';
    return p;
}

std::string winePrefix() {
    const char* set = std::getenv("WINEPREFIX");
    return set && *set ? set : sourceDir() + "/build/wineprefix";
}

std::vector<std::string> installedJdks() {
    std::vector<std::string> homes;
    std::vector<std::string> seen;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/jvm", ec)) {
        const std::string lib = entry.path().string() + "/lib/server/libjvm.so";
        if (access(lib.c_str(), R_OK) != 0) continue;
        const std::string real = std::filesystem::canonical(lib, ec).string();
        if (std::find(seen.begin(), seen.end(), real) != seen.end()) continue;
        seen.push_back(real);
        homes.push_back(entry.path().string());
    }
    std::sort(homes.begin(), homes.end());
    return homes;
}

std::string jvmLibraryOf(const std::string& jdkHome) { return jdkHome + "/lib/server/libjvm.so"; }

int jdkMajorVersion(const std::string& jdkHome) {
    const std::string release = readFile(jdkHome + "/release");
    const size_t at = release.find("JAVA_VERSION=\"");
    if (at == std::string::npos) return 0;
    std::string v = release.substr(at + 14);
    if (v.rfind("1.", 0) == 0) v = v.substr(2);
    return std::atoi(v.c_str());
}

std::string errorLines(const std::string& err) {
    std::istringstream in(err);
    std::string line, out;
    while (std::getline(in, line)) {
        if (line.find("warning") != std::string::npos || line.find("sharing") != std::string::npos) continue;
        out += line + "\n";
    }
    return out;
}

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

std::vector<std::string> filesIn(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string waitForDumpedArchive(const std::string& dir, int timeoutMs) {
    for (int waited = 0; waited <= timeoutMs; waited += 50) {
        std::string archive;
        bool dumping = false;
        for (const std::string& name : filesIn(dir)) {
            if (name.size() == 37 && name.substr(33) == ".jsa") archive = name;
            dumping = dumping || name.find(".dump") != std::string::npos || name.find(".lst.tmp") != std::string::npos;
        }
        if (!archive.empty() && !dumping) return archive;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return {};
}

User throwawayUser(const std::string& name, bool withHome) {
    User u;
    if (!getpwnam(name.c_str())) {
        RunResult r = run({"useradd", withHome ? "--create-home" : "--no-create-home", "--home-dir",
                           withHome ? "/home/" + name : "/nonexistent/" + name, "--shell", "/bin/sh", name});
        if (r.exitCode != 0) return u;
    }
    const passwd* pw = getpwnam(name.c_str());
    if (!pw) return u;
    u.uid = pw->pw_uid;
    u.gid = pw->pw_gid;
    u.home = pw->pw_dir;
    u.ok = true;
    return u;
}

std::vector<std::string> as(const User& u, const std::vector<std::string>& command) {
    std::vector<std::string> argv{"setpriv", "--reuid=" + std::to_string(u.uid), "--regid=" + std::to_string(u.gid),
                                  "--init-groups"};
    argv.insert(argv.end(), command.begin(), command.end());
    return argv;
}

std::string linuxRuntimeDir() { return hux::platform::posix::objectDirectory(); }

std::string privateRuntimeLibrary(const Target& t) {
    return t.windows() ? "jre/bin/server/jvm.dll" : "jre/lib/server/libjvm.so";
}

std::string loadRecorder(const Target& t) {
    return (t.windows() ? windowsBuildDir() : buildDir()) + "/test-runtimes/hux_test_loadrecorder" +
           (t.windows() ? ".dll" : ".so");
}

void copyInto(const std::string& from, const std::string& to) {
    std::filesystem::create_directories(std::filesystem::path(to).parent_path());
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
}

MutexHolder::MutexHolder(const Target& target, const std::string& name) {
    if (target.windows()) {
        helper_ = std::make_unique<Background>(target.command(windowsBuildDir() + "/bin/hold_mutex.exe", {name}));
        held_ = helper_->waitForOutput("held", 60000);
    } else {
        const std::string path = linuxRuntimeDir() + "/" + hux::platform::posix::encodeObjectName(name);
        fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        held_ = fd_ >= 0 && flock(fd_, LOCK_EX | LOCK_NB) == 0;
    }
}

MutexHolder::~MutexHolder() {
    if (fd_ >= 0) close(fd_);
    if (helper_) helper_->finish();
}

}  // namespace hux::e2e
