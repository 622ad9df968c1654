// Launch benchmarks: hux executables against `java -cp` with the same jars on
// the same JDK, measured in one run. Prints a table of ratios and writes it to
// bench/results.md.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;
namespace fs = std::filesystem;

namespace {

const std::string kSource = HUX_SOURCE_DIR;
const std::string kBuild = HUX_BUILD_DIR;
std::string work;

int64_t nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

void sh(const std::string& command) {
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "launch_bench: failed: %s\n", command.c_str());
        std::exit(1);
    }
}

std::string shOut(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        pclose(p);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

struct Sample {
    double toMainMs = 0, toExitMs = 0, workMs = 0;
    long maxRssKb = 0;
    bool ok = false;
};

// Runs argv with stdout captured; "entry <ns>" and "work <ns>" lines are read.
Sample runOnce(const std::vector<std::string>& argv) {
    Sample s;
    int out[2];
    if (pipe(out) != 0) return s;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", 0x1 /*O_WRONLY*/, 0);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid;
    const int64_t t0 = nowNs();
    const int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    if (rc != 0) {
        close(out[0]);
        return s;
    }
    // Read until the child exits; processes it left behind (Wine's services)
    // may hold the pipe open long after.
    std::string text;
    char buf[4096];
    int status = 0;
    rusage ru{};
    int64_t t1 = 0;
    for (;;) {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 20) > 0) {
            const ssize_t n = read(out[0], buf, sizeof buf);
            if (n > 0) {
                text.append(buf, static_cast<size_t>(n));
                continue;
            }
        }
        if (wait4(pid, &status, WNOHANG, &ru) == pid) {
            t1 = nowNs();
            break;
        }
    }
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    ssize_t n;
    while ((n = read(out[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    close(out[0]);
    s.toExitMs = static_cast<double>(t1 - t0) / 1e6;
    s.maxRssKb = ru.ru_maxrss;
    std::istringstream in(text);
    std::string word;
    long long value;
    while (in >> word >> value) {
        if (word == "entry") s.toMainMs = static_cast<double>(value - t0) / 1e6;
        if (word == "work") s.workMs = static_cast<double>(value) / 1e6;
    }
    s.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && s.toMainMs > 0;
    return s;
}

struct Stats {
    double median = 0, min = 0, max = 0;
};
Stats stats(std::vector<double> v) {
    Stats s;
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    s.min = v.front();
    s.max = v.back();
    s.median = v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
    return s;
}

std::string fmt(const Stats& s, const char* unit) {
    char b[96];
    std::snprintf(b, sizeof b, "%.1f %s (%.1f–%.1f)", s.median, unit, s.min, s.max);
    return b;
}

const char kTableHead[] =
    "| JDK | measure | hux | baseline | ratio of medians | median of pair ratios |\n|---|---|---|---|---|---|\n";
std::vector<std::string> rows;
void row(const std::string& jdk, const std::string& what, const std::vector<double>& hux,
         const std::vector<double>& base, const char* unit, const std::string& baseline, bool paired = true) {
    const Stats h = stats(hux), b = stats(base);
    char ratio[32], pairRatio[32] = "–";
    std::snprintf(ratio, sizeof ratio, "%.2f", b.median > 0 ? h.median / b.median : 0.0);
    // Runs of the same round ran back to back: their ratio cancels drift in
    // the machine's load.
    if (paired && hux.size() == base.size()) {
        std::vector<double> ratios;
        for (size_t i = 0; i < hux.size(); ++i)
            if (base[i] > 0) ratios.push_back(hux[i] / base[i]);
        std::snprintf(pairRatio, sizeof pairRatio, "%.2f", stats(ratios).median);
    }
    const std::string line = "| " + jdk + " | " + what + " | " + fmt(h, unit) + " | " + baseline + ": " + fmt(b, unit) +
                             " | " + ratio + " | " + pairRatio + " |";
    rows.push_back(line);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

// Measures each variant `runs` times, interleaved so drift hits all alike.
std::vector<std::vector<Sample>> measure(const std::vector<std::vector<std::string>>& variants, int runs) {
    std::vector<std::vector<Sample>> out(variants.size());
    for (size_t v = 0; v < variants.size(); ++v) runOnce(variants[v]);  // warm the page cache
    for (int r = 0; r < runs; ++r)
        for (size_t v = 0; v < variants.size(); ++v) {
            Sample s = runOnce(variants[v]);
            if (!s.ok) {
                std::fprintf(stderr, "launch_bench: run failed: %s\n", variants[v][0].c_str());
                std::exit(1);
            }
            out[v].push_back(s);
        }
    return out;
}

std::vector<double> of(const std::vector<Sample>& v, const std::function<double(const Sample&)>& f) {
    std::vector<double> x;
    for (const auto& s : v) x.push_back(f(s));
    return x;
}

std::string hux(const std::string& target, const std::string& out, const std::vector<std::string>& lines,
                const std::vector<std::string>& files) {
    std::string cmd = kBuild + "/bin/hux pack -t " + target + " -o " + out;
    for (const auto& l : lines) cmd += " -l '" + l + "'";
    for (const auto& f : files) cmd += " " + f;
    sh(cmd);
    return out;
}

void prepareWorkloads(const std::string& javac, const std::string& jar) {
    fs::create_directories(work + "/classes");
    sh(javac + " --release 8 -nowarn -Xlint:-options -d " + work + "/classes " + kSource +
       "/bench/java/BenchMain.java");
    sh(jar + " cf " + work + "/bench.jar -C " + work + "/classes .");
    // 5,000 classes in 20 packages, one jar each, and the same classes exploded.
    if (!fs::exists(work + "/gen0.jar")) {
        fs::create_directories(work + "/gen-src");
        for (int i = 0; i < 5000; ++i) {
            const std::string pkg = "p" + std::to_string(i % 20);
            fs::create_directories(work + "/gen-src/gen/" + pkg);
            std::ofstream(work + "/gen-src/gen/" + pkg + "/C" + std::to_string(i) + ".java")
                << "package gen." << pkg << "; public class C" << i << " { public static int v() { return " << i
                << "; } public String toString() { return \"C" << i << "\" + v(); } }\n";
        }
        sh("cd " + work + "/gen-src && find . -name '*.java' > files.txt && " + javac +
           " --release 8 -nowarn -Xlint:-options -d " + work + "/gen-classes @files.txt");
        for (int j = 0; j < 20; ++j)
            sh(jar + " cf " + work + "/gen" + std::to_string(j) + ".jar -C " + work + "/gen-classes gen/p" +
               std::to_string(j));
        fs::create_directories(work + "/res-src/res");
        for (int k = 0; k < 100; ++k)
            std::ofstream(work + "/res-src/res/r" + std::to_string(k) + ".txt") << std::string(200 + k, 'r');
        sh(jar + " cf " + work + "/res.jar -C " + work + "/res-src .");
        for (int mb : {1, 50, 200}) {
            const std::string blob = work + "/pad" + std::to_string(mb) + ".bin";
            sh("head -c " + std::to_string(mb) + "M /dev/urandom > " + blob);
            sh("cd " + work + " && zip -q -0 pad" + std::to_string(mb) + ".jar pad" + std::to_string(mb) + ".bin");
        }
    }
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The tables of the other bench scripts (phases, real applications, packing,
// ...): from the first one's heading to the end, kept as they are.
const char kKeptHeading[] = "## Start-up phases (`bench/phases`)";
std::string keptTablesOf(const std::string& results) {
    const size_t at = results.find(kKeptHeading);
    return at == std::string::npos ? std::string() : results.substr(at);
}

const char kLaunchSection[] =
    "## Start-up, memory and class loading (`bench/launch_bench`)\n\n"
    "The hello application and generated workloads packed with hux, each variant run interleaved with its baseline "
    "in\nthe same run: `java -cp` over the same jars unless the baseline column names another (the bare\n"
    "`JNI_CreateJavaVM` floor, an exploded directory, the executable without `cds`, the 1 MB payload, a trivial "
    "Windows\nexecutable under Wine). Times are start to `main` or start to exit; \"ratio of medians\" divides the "
    "two medians,\n\"median of pair ratios\" takes each run against the baseline run beside it.\n\n";
const char kOtherSection[] =
    "## Archive store, archive check, instance channel and forwarded launch\n\n"
    "What `bench/archive_bench`, `bench/integrity_bench`, `bench/instances_bench` and `bench/forward_bench` print: "
    "reading\n20 nested jars through the archive store against Python's `zipfile` over the same archive (and a "
    "class-loading\nmiss past a multi-release jar against one without); the launcher's check of the support classes "
    "(CRC-32 and\nnames), first in a fresh process and repeated in one, against the start to exit of the same "
    "executable, with\nand without a 200 MB payload; a message through the instance channel against loopback TCP; "
    "and a launch\nhanded to the running instance against a normal launch and `/bin/true`.\n\n";

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 10;
    work = argc > 2 ? argv[2] : kBuild + "/bench-work";
    fs::create_directories(work);
    // Archives made by `cds auto` go to a cache of the benchmark's own.
    setenv("XDG_CACHE_HOME", (work + "/cache").c_str(), 1);
    fs::remove_all(work + "/cache");
    std::vector<std::string> jdks;
    for (const auto& e : fs::directory_iterator("/usr/lib/jvm")) {
        if (!fs::exists(e.path() / "lib/server/libjvm.so") || fs::is_symlink(e.path())) continue;
        jdks.push_back(e.path().string());
    }
    std::sort(jdks.begin(), jdks.end());
    if (jdks.empty()) {
        std::fprintf(stderr, "launch_bench: no JDK under /usr/lib/jvm\n");
        return 1;
    }
    prepareWorkloads(jdks.front() + "/bin/javac", jdks.front() + "/bin/jar");
    const std::vector<std::string> quiet = {"option -XX:-PrintWarnings", "option -Xlog:cds=off"};
    std::string gens, genFiles;
    for (int j = 0; j < 20; ++j) {
        gens += ":" + work + "/gen" + std::to_string(j) + ".jar";
        genFiles += " lib/gen" + std::to_string(j) + ".jar=" + work + "/gen" + std::to_string(j) + ".jar";
    }
    std::printf("%s", kTableHead);
    for (const std::string& jdk : jdks) {
        const std::string name = fs::path(jdk).filename().string();
        const std::string java = jdk + "/bin/java";
        auto lines = [&](std::vector<std::string> extra) {
            std::vector<std::string> l = {"mainclass BenchMain", "jre_order c",
                                          "jvmdll " + jdk + "/lib/server/libjvm.so"};
            l.insert(l.end(), quiet.begin(), quiet.end());
            l.insert(l.end(), extra.begin(), extra.end());
            return l;
        };
        const std::string benchJar = "lib/bench.jar=" + work + "/bench.jar";
        const std::string hello = hux("linux-x64", work + "/hello-" + name, lines({}), {benchJar});
        const std::string fresh =
            hux("linux-x64", work + "/fresh-" + name, lines({"assystemclassloader FALSE"}), {benchJar});
        // Flattened: no nested archive, so the JDK's own loader serves it all.
        const std::string flat = hux("linux-x64", work + "/flat-" + name, lines({}), {"--flatten", benchJar});
        auto m = measure({{hello},
                          {fresh},
                          {java, "-Xshare:auto", "-cp", work + "/bench.jar", "BenchMain"},
                          {kBuild + "/bin/vm_floor", jdk + "/lib/server/libjvm.so"},
                          {flat}},
                         runs);
        auto toMain = [](const Sample& s) { return s.toMainMs; };
        auto toExit = [](const Sample& s) { return s.toExitMs; };
        row(name, "start to main", of(m[0], toMain), of(m[2], toMain), "ms", "java -cp");
        row(name, "start to main, assystemclassloader FALSE", of(m[1], toMain), of(m[2], toMain), "ms", "java -cp");
        row(name, "start to main, flattened (no nested archive)", of(m[4], toMain), of(m[2], toMain), "ms", "java -cp");
        row(name, "start to exit", of(m[0], toExit), of(m[2], toExit), "ms", "java -cp");
        row(name, "start to main vs JNI_CreateJavaVM alone", of(m[0], toMain), of(m[3], toMain), "ms",
            "VM creation floor");
        auto rss = [](const Sample& s) { return static_cast<double>(s.maxRssKb) / 1024.0; };
        row(name, "peak RSS, hello", of(m[0], rss), of(m[2], rss), "MiB", "java -cp");
        row(name, "peak RSS, hello, assystemclassloader FALSE", of(m[1], rss), of(m[2], rss), "MiB", "java -cp");
        row(name, "peak RSS, hello, flattened", of(m[4], rss), of(m[2], rss), "MiB", "java -cp");

        const std::string classes = hux("linux-x64", work + "/classes-" + name, lines({}), {benchJar + genFiles});
        auto c =
            measure({{classes, "classes", "5000", "20"},
                     {java, "-cp", work + "/bench.jar" + gens, "BenchMain", "classes", "5000", "20"},
                     {java, "-cp", work + "/bench.jar:" + work + "/gen-classes", "BenchMain", "classes", "5000", "20"}},
                    runs);
        auto workMs = [](const Sample& s) { return s.workMs; };
        row(name, "load 5,000 classes from 20 nested jars", of(c[0], workMs), of(c[1], workMs), "ms",
            "same jars on -cp");
        row(name, "load 5,000 classes from 20 nested jars", of(c[0], workMs), of(c[2], workMs), "ms",
            "exploded directory");
        auto t = measure({{classes, "parallel", "5000", "20", "4"},
                          {java, "-cp", work + "/bench.jar" + gens, "BenchMain", "parallel", "5000", "20", "4"}},
                         runs);
        row(name, "load 5,000 classes from 20 nested jars on 4 threads", of(t[0], workMs), of(t[1], workMs), "ms",
            "same jars on -cp");

        // Class-data sharing: the loader outside the system class loader, with
        // and without `cds auto` (its archive made by the warm-up run), against
        // java -cp with and without an archive of its own.
        const std::string fresh5k = hux("linux-x64", work + "/classes-fresh-" + name,
                                        lines({"assystemclassloader FALSE"}), {benchJar + genFiles});
        const std::string cds5k = hux("linux-x64", work + "/classes-cds-" + name,
                                      lines({"assystemclassloader FALSE", "cds auto"}), {benchJar + genFiles});
        const std::string javaArchive = work + "/java-" + name + ".jsa";
        std::filesystem::remove(javaArchive);
        sh(java + " -XX:ArchiveClassesAtExit=" + javaArchive + " -cp " + work + "/bench.jar" + gens +
           " BenchMain classes 5000 20 >/dev/null 2>&1");
        auto d = measure({{cds5k, "classes", "5000", "20"},
                          {fresh5k, "classes", "5000", "20"},
                          {java, "-XX:SharedArchiveFile=" + javaArchive, "-cp", work + "/bench.jar" + gens, "BenchMain",
                           "classes", "5000", "20"},
                          {java, "-cp", work + "/bench.jar" + gens, "BenchMain", "classes", "5000", "20"}},
                         runs);
        row(name, "5,000 classes, start to exit, cds auto", of(d[0], toExit), of(d[1], toExit), "ms",
            "same executable without cds");
        row(name, "5,000 classes, start to exit, cds auto", of(d[0], toExit), of(d[3], toExit), "ms", "java -cp");
        row(name, "5,000 classes, start to exit, cds auto", of(d[0], toExit), of(d[2], toExit), "ms",
            "java -cp with its own dynamic archive");

        const std::string resources =
            hux("linux-x64", work + "/res-" + name, lines({}), {benchJar, "lib/res.jar=" + work + "/res.jar"});
        auto r = measure({{resources, "resources", "10000"},
                          {java, "-cp", work + "/bench.jar:" + work + "/res.jar", "BenchMain", "resources", "10000"}},
                         runs);
        row(name, "10,000 getResourceAsStream (hux: vs jar: URLs)", of(r[0], workMs), of(r[1], workMs), "ms",
            "class-path jar");

        std::vector<std::vector<std::string>> pads;
        for (int mb : {1, 50, 200})
            pads.push_back({hux("linux-x64", work + "/pad" + std::to_string(mb) + "-" + name, lines({}),
                                {benchJar, "lib/pad.jar=" + work + "/pad" + std::to_string(mb) + ".jar"})});
        pads.push_back({java, "-cp", work + "/bench.jar:" + work + "/pad200.jar", "BenchMain"});
        auto p = measure(pads, std::max(3, runs / 2));
        const char* sizes[] = {"1 MB", "50 MB", "200 MB"};
        for (int i = 0; i < 3; ++i) {
            row(name, std::string("start to main, ") + sizes[i] + " of nested jars", of(p[i], toMain), of(p[0], toMain),
                "ms", "1 MB payload");
            row(name, std::string("peak RSS, ") + sizes[i] + " of nested jars", of(p[i], rss), of(p[3], rss), "MiB",
                "java -cp with the 200 MB jar");
        }
    }

    // The Windows stub under Wine: a launch that finds no runtime against a
    // trivial static program, both started the same way.
    const std::string winStub = kBuild + "/share/hux/stubs/windows-x64/hux-stub.exe";
    const std::string trivial = kSource + "/build/windows/bin/trivial.exe";
    if (fs::exists(winStub) && fs::exists(trivial)) {
        sh("bash -c 'source " + kSource +
           "/scripts/wine-env && hux_wine_prefix && ($HUX_WINESERVER -p 2>/dev/null || true)'");
        const std::string exe = hux("windows-x64", work + "/nojava.exe", {"mainclass BenchMain", "jre_order c"}, {});
        const std::string wineRun = kSource + "/scripts/wine-run";
        // Both exit at once; "entry" is the exit here.
        std::vector<std::vector<Sample>> w(2);
        for (int i = 0; i < runs + 1; ++i) {
            for (int v = 0; v < 2; ++v) {
                Sample s = runOnce({wineRun, v == 0 ? exe : trivial});
                if (i > 0) w[static_cast<size_t>(v)].push_back(s);
            }
        }
        row("wine", "failing launch (no runtime), start to exit", of(w[0], [](const Sample& s) { return s.toExitMs; }),
            of(w[1], [](const Sample& s) { return s.toExitMs; }), "ms", "trivial static exe");
        sh("bash -c 'source " + kSource + "/scripts/wine-env && $HUX_WINESERVER -k'");
    }

    const std::string keptTables = keptTablesOf(readText(kSource + "/bench/results.md"));
    std::ofstream md(kSource + "/bench/results.md");
    md << "# Benchmark results\n\nProduced by `bench/run` (" << runs
       << " runs per variant, interleaved; median with min–max).\n\n";
    md << "- machine: " << shOut("uname -srm") << ", " << shOut("nproc") << " cores, "
       << shOut("grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'") << "\n";
    for (const std::string& jdk : jdks)
        md << "- " << fs::path(jdk).filename().string() << ": " << shOut(jdk + "/bin/java -version 2>&1 | head -1")
           << "\n";
    md << "\n" << kLaunchSection << kTableHead;
    for (const auto& r : rows) md << r << "\n";
    // The other benchmarks' output, then the other scripts' tables, which a
    // run keeps as they are.
    if (const char* extra = std::getenv("HUX_BENCH_EXTRA")) md << "\n" << kOtherSection << readText(extra);
    if (!keptTables.empty()) md << "\n" << keptTables;
    return 0;
}
