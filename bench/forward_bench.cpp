// Forwarded launch benchmark (Linux): with the first instance of the forward
// example running, times later launches that hand their arguments over, and
// in the same run a normal launch of the same executable (virtual machine
// start included) and the spawn of /bin/true; prints medians and ratios.
//
//   forward_bench [launches]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

const std::string kBuild = HUX_BUILD_DIR;
const std::string kSource = HUX_SOURCE_DIR;

double nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// Spawns argv with standard input from `in` (-1: /dev/null) and output to
// /dev/null (or to `outPipe` when given); returns the pid.
pid_t spawn(const std::vector<std::string>& argv, int in, int outPipe = -1) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (in >= 0)
        posix_spawn_file_actions_adddup2(&fa, in, 0);
    else
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    if (outPipe >= 0)
        posix_spawn_file_actions_adddup2(&fa, outPipe, 1);
    else
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

// Milliseconds from spawn to exit; negative when it failed or exited non-zero.
double timeRun(const std::vector<std::string>& argv) {
    const double t0 = nowMs();
    const pid_t pid = spawn(argv, -1);
    if (pid < 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    const double ms = nowMs() - t0;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ms : -1;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

bool sh(const std::string& command) { return std::system(command.c_str()) == 0; }

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(3, std::atoi(argv[1])) : 30;
    char dirTemplate[] = "/tmp/hux-forward-bench-XXXXXX";
    if (!mkdtemp(dirTemplate)) return 1;
    const std::string dir = dirTemplate;
    // Not named after the executable: the launcher would read that file as
    // its external configuration and apply its lines a second time.
    const std::string cfg = dir + "/example.cfg";
    {
        std::ifstream in(kSource + "/examples/forward/forward.cfg");
        std::ofstream out(cfg);
        for (std::string line; std::getline(in, line);)
            out << (line.rfind("appid ", 0) == 0 ? "appid hux\\bench\\forward." + std::to_string(getpid()) : line)
                << "\n";
    }
    const std::string exe = dir + "/forward";
    if (!sh(kBuild + "/bin/hux pack -t linux-x64 -c " + cfg + " -o " + exe + " lib/forward.jar=" + kBuild +
            "/examples/forward/forward.jar")) {
        std::fprintf(stderr, "forward_bench: cannot pack the example\n");
        return 1;
    }

    // Normal launches: no instance runs, so each starts a virtual machine
    // (the example ends at once with its input at end of file).
    std::vector<double> normal, forwarded, trivial;
    for (int i = 0; i < std::max(3, runs / 5); ++i) normal.push_back(timeRun({exe, "normal"}));

    // The first instance, kept running on an open pipe.
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return 1;
    const pid_t hub = spawn({exe, "first"}, in[0], out[1]);
    close(in[0]);
    close(out[1]);
    std::string seen;
    const double deadline = nowMs() + 60000;
    while (seen.find("waiting for later launches") == std::string::npos && nowMs() < deadline) {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            char buf[512];
            const ssize_t n = read(out[0], buf, sizeof buf);
            if (n <= 0) break;
            seen.append(buf, static_cast<size_t>(n));
        }
    }
    if (seen.find("waiting for later launches") == std::string::npos) {
        std::fprintf(stderr, "forward_bench: the first instance did not start\n");
        kill(hub, SIGKILL);
        return 1;
    }
    for (int i = 0; i < runs; ++i) {
        forwarded.push_back(timeRun({exe, "file" + std::to_string(i) + ".txt", "--flag"}));
        // Drain what the first instance prints.
        char buf[4096];
        pollfd p{out[0], POLLIN, 0};
        while (poll(&p, 1, 0) > 0 && read(out[0], buf, sizeof buf) > 0) {
        }
    }
    for (int i = 0; i < runs; ++i) trivial.push_back(timeRun({"/bin/true"}));
    close(in[1]);
    int status = 0;
    waitpid(hub, &status, 0);
    close(out[0]);
    sh("rm -rf " + dir);

    const bool failed = std::count_if(forwarded.begin(), forwarded.end(), [](double v) { return v < 0; }) > 0 ||
                        std::count_if(normal.begin(), normal.end(), [](double v) { return v < 0; }) > 0;
    const double f = median(forwarded), n = median(normal), t = median(trivial);
    std::printf(
        "| forwarded launch (%d runs) | median %.1f ms | normal launch %.1f ms: %.1fx faster | /bin/true %.2f ms: "
        "%.1fx its time |\n",
        runs, f, n, f > 0 ? n / f : 0.0, t, t > 0 ? f / t : 0.0);
    if (failed) std::printf("forward_bench: some launches failed\n");
    return failed ? 1 : 0;
}
