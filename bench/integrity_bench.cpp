// What the launcher's check of the support classes (every entry under
// com/mordavin/hux/ read through its CRC-32 before the machine starts) costs
// at start-up: the check alone, timed in this process over the packed files,
// against the whole launch of the same file (start to exit), for the hello
// world and for a 200 MB payload, with each installed JDK.
//   integrity_bench [runs] [work dir]
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/archive_store.h"

namespace fs = std::filesystem;

namespace {

const std::string kBuild = HUX_BUILD_DIR;

double nowMs() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void sh(const std::string& command) {
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "integrity_bench: failed: %s\n", command.c_str());
        std::exit(1);
    }
}

double launchMs(const std::string& exe) {
    std::fflush(stdout);  // the child must not write this process's buffer again
    const double start = nowMs();
    const pid_t pid = fork();
    if (pid == 0) {
        if (!std::freopen("/dev/null", "w", stdout)) _exit(127);
        execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return nowMs() - start;
}

double checkMs(const std::string& exe) {
    std::string damaged;
    const double start = nowMs();
    if (!hux::supportClassesIntact(exe.c_str(), damaged)) {
        std::fprintf(stderr, "integrity_bench: '%s' is damaged at %s\n", exe.c_str(), damaged.c_str());
        std::exit(1);
    }
    return nowMs() - start;
}

// One check as a launch makes it: the first in a fresh process, with the
// file to map and its pages to fault in.
double freshCheckMs(const std::string& exe) {
    int fds[2];
    if (pipe(fds) != 0) std::exit(1);
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        const double ms = checkMs(exe);
        if (write(fds[1], &ms, sizeof ms) != static_cast<ssize_t>(sizeof ms)) _exit(1);
        _exit(0);
    }
    double ms = 0;
    if (read(fds[0], &ms, sizeof ms) != static_cast<ssize_t>(sizeof ms)) ms = -1;
    close(fds[0]);
    close(fds[1]);
    waitpid(pid, nullptr, 0);
    return ms;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 15;
    const std::string work = argc > 2 ? argv[2] : kBuild + "/bench-work";
    fs::create_directories(work);
    const std::string pad = work + "/pad200.jar";
    if (!fs::exists(pad))
        sh("cd " + work + " && head -c 200M /dev/urandom > pad200.bin && zip -q -0 pad200.jar pad200.bin");
    const std::string hello = kBuild + "/examples/hello/hello.jar";
    std::printf(
        "\n| JDK | measure | check (first in a fresh process) | launch, same run | share |\n|---|---|---|---|---|\n");
    for (const char* jdk : {"java-17-openjdk-amd64", "temurin-25-jdk-amd64"}) {
        const std::string lib = std::string("/usr/lib/jvm/") + jdk + "/lib/server/libjvm.so";
        if (!fs::exists(lib)) continue;
        const std::string line = " -l 'jre_order c' -l 'jvmdll " + lib + "' -l 'mainclass hello.Main'";
        const std::string small = work + "/integrity-hello-" + jdk, large = work + "/integrity-pad200-" + jdk;
        sh(kBuild + "/bin/hux pack -o " + small + line + " lib/hello.jar=" + hello + " >/dev/null");
        sh(kBuild + "/bin/hux pack -o " + large + line + " lib/hello.jar=" + hello + " lib/pad.jar=" + pad +
           " >/dev/null");
        for (const std::string& exe : {small, large}) {
            std::vector<double> checks, fresh, launches;
            for (int i = 0; i < 10 * runs; ++i) checks.push_back(checkMs(exe));
            for (int i = 0; i < 10 * runs; ++i) fresh.push_back(freshCheckMs(exe));
            for (int i = 0; i < runs; ++i) launches.push_back(launchMs(exe));
            const double c = median(checks), f = median(fresh), l = median(launches);
            std::printf(
                "| %s | support-class check, %s | %.3f ms (%.3f ms repeated in one process) | start to exit "
                "%.1f ms | %.2f %% |\n",
                jdk, exe == small ? "hello world" : "200 MB payload", f, c, l, 100 * f / l);
        }
    }
    std::printf("\n");
    return 0;
}
