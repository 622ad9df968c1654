// Launching real Java applications out of packed executables: every installed
// JDK on Linux; the failure paths that need no JVM also under Wine.
#include <filesystem>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "support/harness.h"

using namespace hux::e2e;

namespace {

const Target kLinux{"linux-x64"};

std::vector<std::string> appFiles() {
    const std::string jars = appJarDir();
    const std::string top = buildDir() + "/tests/e2e/classes/top";
    return {"lib/app.jar=" + jars + "/app.jar", "lib/lib1.jar=" + jars + "/lib1.jar",
            "lib/lib2.jar=" + jars + "/lib2.jar", "lib/Dup.class=" + top + "/lib/Dup.class",
            "lib/shared.txt=" + top + "/lib/shared.txt"};
}

// Packs the test application for `jdk` (found through `jvmdll`).
std::string packApp(const TempDir& dir, const std::string& name, const std::string& jdk,
                    std::vector<std::string> lines = {}) {
    lines.insert(lines.begin(), {"mainclass app.Main", "jre_order c", "jvmdll " + jvmLibraryOf(jdk)});
    const std::string exe = dir.file(name);
    RunResult r = pack(kLinux, exe, lines, appFiles());
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return exe;
}

class Launch : public JdkTest {};

}  // namespace

TEST_F(Launch, RunsMainWithArgvLinesBeforeTheCommandLine) {
    for (const std::string& jdk : jdks_) {
        SCOPED_TRACE(jdk);
        const std::string exe = packApp(dir_, "hello", jdk, {"argv \"first arg\" second", "argv third"});
        RunResult r = runOn(kLinux, exe, {"args", "x y"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(has(r.out, "arg[0]=first arg\narg[1]=second\narg[2]=third\narg[3]=args\narg[4]=x y\n")) << r.out;
        EXPECT_EQ(errorLines(r.err), "");
    }
}

TEST_F(Launch, ExitCodesOfMain) {
    for (const std::string& jdk : jdks_) {
        SCOPED_TRACE(jdk);
        const std::string exe = packApp(dir_, "codes", jdk);
        RunResult exit3 = runOn(kLinux, exe, {"exit", "3"});
        EXPECT_EQ(exit3.exitCode, 3) << exit3.err;
        RunResult thrown = runOn(kLinux, exe, {"throw"});
        EXPECT_EQ(thrown.exitCode, 1);
        EXPECT_TRUE(has(thrown.err, "java.lang.IllegalStateException: boom from main")) << thrown.err;
        EXPECT_TRUE(has(thrown.err, "at app.Main.main")) << thrown.err;
    }
}

TEST_F(Launch, InterruptAndTerminationExitWith128PlusTheSignalAfterShutdownHooks) {
    for (const std::string& jdk : jdks_) {
        for (int sig : {SIGINT, SIGTERM}) {
            SCOPED_TRACE(jdk + " signal " + std::to_string(sig));
            const std::string exe = packApp(dir_, "sleeper", jdk);
            Background app(kLinux.command(exe, {"sleep", "60000"}));
            ASSERT_TRUE(app.waitForOutput("sleeping", 30000));
            kill(app.pid(), sig);
            RunResult r = app.finish(30000);
            EXPECT_EQ(r.exitCode, 128 + sig) << r.err;
            EXPECT_TRUE(has(r.out, "shutdown hook ran")) << r.out;
        }
    }
}

// Module options written as on java's command line ("--add-opens a/b=C")
// reach the virtual machine, which knows only the "=" form.
TEST_F(Launch, ModuleOptionsWorkAsOnJavasCommandLine) {
    const std::string jars = appJarDir();
    for (const std::string& jdk : jdks_) {
        SCOPED_TRACE(jdk);
        RunResult plain = run({jdk + "/bin/java", "--add-opens", "java.base/java.lang=ALL-UNNAMED", "-cp",
                               jars + "/app.jar:" + jars + "/lib1.jar", "app.Main", "access"});
        ASSERT_EQ(plain.exitCode, 0) << plain.err;
        EXPECT_TRUE(has(plain.out, "access=true\n")) << plain.out;
        for (const std::string line : {"option --add-opens java.base/java.lang=ALL-UNNAMED",
                                       "option --add-opens=java.base/java.lang=ALL-UNNAMED", ""}) {
            SCOPED_TRACE(line);
            const std::string exe =
                packApp(dir_, "opens", jdk, line.empty() ? std::vector<std::string>{} : std::vector<std::string>{line});
            RunResult r = runOn(kLinux, exe, {"access"});
            ASSERT_EQ(r.exitCode, 0) << r.err;
            EXPECT_EQ(r.out, line.empty() ? "main entered\naccess=false\nmain done\n" : plain.out);
        }
    }
}

// Monitoring tools name a running application by the command `java` hands
// the virtual machine: its main class and arguments.
TEST_F(Launch, MonitoringToolsNameTheApplicationAsUnderJavaCp) {
    const std::string jars = appJarDir();
    for (const std::string& jdk : jdks_) {
        SCOPED_TRACE(jdk);
        const std::vector<std::string> args = {"property", "sun.java.command", "x y"};
        RunResult plain = run({jdk + "/bin/java", "-cp", jars + "/app.jar:" + jars + "/lib1.jar", "app.Main", "argv",
                               "property", "sun.java.command", "x y"});
        ASSERT_EQ(plain.exitCode, 0) << plain.err;
        const std::string exe = packApp(dir_, "named", jdk, {"argv argv"});
        RunResult r = runOn(kLinux, exe, args);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(has(plain.out, "property sun.java.command=app.Main argv property sun.java.command x y\n"))
            << plain.out;
        EXPECT_EQ(r.out, plain.out);

        // jps lists it under that name; an option line that names the command wins.
        if (!std::filesystem::exists(jdk + "/bin/jps")) continue;  // a runtime without the tools
        const std::string named = packApp(dir_, "renamed", jdk, {"option -Dsun.java.command=Custom name"});
        for (const auto& [program, shown] :
             {std::pair{exe, "app.Main argv sleep 60000"}, std::pair{named, "Custom name"}}) {
            Background app(kLinux.command(program, {"sleep", "60000"}));
            ASSERT_TRUE(app.waitForOutput("sleeping", 30000));
            RunResult jps = run({jdk + "/bin/jps", "-lm"});
            EXPECT_TRUE(has(jps.out, std::to_string(app.pid()) + " " + shown + "\n")) << jps.out;
            kill(app.pid(), SIGTERM);
            app.finish(30000);
        }
    }
}

TEST_F(Launch, ClassesAndResourcesComeFromTheArchive) {
    for (const std::string& jdk : jdks_) {
        SCOPED_TRACE(jdk);
        const std::string exe = packApp(dir_, "classes", jdk);
        RunResult r = runOn(kLinux, exe,
                            {"loader", "class", "lib.One", "class", "lib.Dup", "class", "lib2.Two", "resource",
                             "/app/data.txt", "resources", "lib/shared.txt", "urltext", "hux:lib/app.jar!app/data.txt",
                             "property", "hux.app.path", "property", "java.protocol.handler.pkgs"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(has(r.out, "loader=com.mordavin.hux.CarvossClassLoader")) << r.out;
        EXPECT_TRUE(has(r.out, "system=com.mordavin.hux.CarvossClassLoader")) << r.out;
        // A class only in a nested jar is found, its package defined from that
        // jar's manifest; the top level (also on the application class path)
        // wins over a nested jar.
        EXPECT_TRUE(
            has(r.out, "class=lib.One loader=com.mordavin.hux.CarvossClassLoader says=one from lib1 version=1.2.3"))
            << r.out;
        EXPECT_TRUE(has(r.out, "says=dup from the top level")) << r.out;
        EXPECT_TRUE(has(r.out, "says=two from lib2")) << r.out;
        EXPECT_TRUE(has(r.out, "url=hux:lib/app.jar!app/data.txt\ncontent=data from app.jar\n")) << r.out;
        // Top level first, then the nested jars in index order (after what the
        // parent loader finds on the application class path).
        // Each once: the top level comes from the parent, as a URL the JDK opens.
        EXPECT_TRUE(has(r.out, "each=jar:file:" + exe +
                                   "!/lib/shared.txt\neach=hux:lib/lib1.jar!lib/shared.txt\n"
                                   "each=hux:lib/lib2.jar!lib/shared.txt\n"))
            << r.out;
        EXPECT_FALSE(has(r.out, "each=hux:lib/shared.txt")) << r.out;
        EXPECT_TRUE(has(r.out, "urltext=data from app.jar")) << r.out;
        EXPECT_TRUE(has(r.out, "property hux.app.path=" + exe + "\n")) << r.out;
        EXPECT_TRUE(has(r.out, "property java.protocol.handler.pkgs=com.mordavin\n")) << r.out;
    }
}

TEST_F(Launch, NamesBeyondAsciiPercentDecodingAndCompatibleMode) {
    const std::string& jdk = jdks_.front();
    for (const bool compatible : {false, true}) {
        SCOPED_TRACE(compatible ? "compatible (the packer's default)" : "compatible false");
        std::vector<std::string> lines = {"property sun.jnu.encoding=UTF-8"};
        if (!compatible) lines.push_back("compatible false");
        const std::string exe = packApp(dir_, compatible ? "compat" : "plain", jdk, lines);
        RunResult r =
            runOn(kLinux, exe,
                  {"resource", "/lib2/caf\xC3\xA9.txt", "resource", "/lib2/\xE2\x82\xACuro.txt", "urltext",
                   "hux:lib/lib2.jar!lib2/with%20space.txt", "urltext", "hux:lib/lib2.jar!lib2/with+space.txt",
                   "stream", "lib/One.class", "urltext", "hux:app/data.txt"},
                  {.env = {{"LC_ALL", "C.UTF-8"}}});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(has(r.out, "content=latin one")) << r.out;
        EXPECT_TRUE(has(r.out, "content=beyond latin one")) << r.out;
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n') > 0, true);
        EXPECT_TRUE(has(r.out, "urltext=spaced content\nurltext=spaced content\n")) << r.out;
        // Class files are resource data only in compatible mode.
        if (compatible) {
            EXPECT_FALSE(has(r.out, "stream=null")) << r.out;
            EXPECT_FALSE(has(r.out, "stream=0 bytes")) << r.out;
        } else {
            EXPECT_TRUE(has(r.out, "stream=null")) << r.out;
        }
        // A name without "!" is served from the top level only; a missing
        // entry is a FileNotFoundException.
        EXPECT_TRUE(has(r.out, "urltext=java.io.FileNotFoundException: hux:app/data.txt")) << r.out;
    }
}

TEST_F(Launch, StartOnFirstThreadOnlyWhenAnOptionAsksForIt) {
    const std::string& jdk = jdks_.front();
    RunResult r = runOn(kLinux, packApp(dir_, "second", jdk, {"property -XstartOnFirstThread=1"}), {"thread"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(has(r.out, "firstThread=false")) << r.out;
    r = runOn(kLinux, packApp(dir_, "first", jdk, {"option -XstartOnFirstThread"}), {"thread"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(has(r.out, "firstThread=true")) << r.out;
}

long depthOf(const RunResult& r) {
    const size_t at = r.out.find("depth=");
    return at == std::string::npos ? -1 : std::stol(r.out.substr(at + 6));
}

TEST_F(Launch, StackSizeOptionReachesMainsThread) {
    // Interpreted only: how far compiled code got before the stack ran out
    // would otherwise depend on the machine's load.
    for (const std::string& jdk : jdks_) {
        SCOPED_TRACE(jdk);
        RunResult r =
            run({jdk + "/bin/java", "-Xint", "-Xss16m", "-cp", appJarDir() + "/app.jar", "app.Main", "depth"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const long java = depthOf(r);
        r = runOn(kLinux, packApp(dir_, "deep", jdk, {"option -Xint", "option -Xss16m"}), {"depth"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const long ours = depthOf(r);
        EXPECT_GT(ours, java * 9 / 10) << "java -Xss16m: " << java;
        EXPECT_LT(ours, java * 11 / 10) << "java -Xss16m: " << java;
        // Without the option main keeps the default stack, a fraction of that.
        r = runOn(kLinux, packApp(dir_, "shallow", jdk, {"option -Xint"}), {"depth"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_GT(depthOf(r), 0);
        EXPECT_LT(depthOf(r), java / 4);
    }
}

// The JVM's warnings about the user's own options reach them: only Java 17,
// where the class-data note of the launcher's loader is a plain warning,
// gets them turned off, and the note stays hidden on both.
TEST_F(Launch, JvmWarningsGoOffOnlyWhereTheSharingNoteNeedsIt) {
    for (const std::string& jdk : jdks_) {
        SCOPED_TRACE(jdk);
        RunOptions debug;
        debug.env["HUX_DEBUG"] = "1";
        RunResult r =
            runOn(kLinux, packApp(dir_, "warned", jdk, {"option -Xmx40g", "option -XX:+UseCompressedOops"}), {}, debug);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_FALSE(has(r.err + r.out, "Archived non-system classes")) << r.err << r.out;
        EXPECT_EQ(has(r.err, "its warnings are turned off"), has(jdk, "-17-")) << r.err;
        EXPECT_EQ(has(r.err, "warning: Max heap size too large for Compressed Oops"), !has(jdk, "-17-")) << r.err;
        EXPECT_FALSE(has(r.err, "option: -XX:-PrintWarnings")) << "the packer wrote it";
    }
}

TEST_F(Launch, ExternalClassPathComesAfterTheArchive) {
    dir_.write("ext/lib/shared.txt", "shared from the external class path\n");
    const std::string exe = packApp(dir_, "external", jdks_.front(), {"classpath ext;missing.jar"});
    RunResult r = runOn(kLinux, exe, {"resources", "lib/shared.txt", "property", "hux.class.path"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(has(r.out, "each=hux:lib/lib2.jar!lib/shared.txt\neach=file:" + dir_.file("ext/lib/shared.txt") + "\n"))
        << r.out;
    EXPECT_TRUE(has(r.out, "property hux.class.path=:" + dir_.file("ext") + ":" + dir_.file("missing.jar") + "\n"))
        << r.out;
}

TEST_F(Launch, SixteenThreadsLoadClassesAndResourcesAtOnce) {
    const std::string exe = packApp(dir_, "threads", jdks_.back());
    RunResult r = runOn(kLinux, exe, {"threads", "16", "1000"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(has(r.out, "threads done loads=16000 failures=0")) << r.out << r.err;
}

TEST_F(Launch, FreshLoaderWhenNotTheSystemClassLoader) {
    for (const std::string value : {"FALSE", "false"}) {
        const std::string exe = packApp(dir_, "fresh", jdks_.front(), {"assystemclassloader " + value});
        RunResult r = runOn(kLinux, exe, {"loader", "class", "lib.One"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(has(r.out, "loader=com.mordavin.hux.CarvossClassLoader")) << r.out;
        EXPECT_FALSE(has(r.out, "system=com.mordavin.hux.CarvossClassLoader")) << r.out;
        EXPECT_TRUE(has(r.out, "context=com.mordavin.hux.CarvossClassLoader\nsame=true")) << r.out;
        EXPECT_TRUE(has(r.out, "says=one from lib1")) << r.out;
    }
}

// With no nested archives and no external class path (what --flatten
// packs), the JDK's class-path loader over the executable serves everything,
// as under `java -cp`, and the launcher's own loader is never loaded; an
// external class path brings it back.
TEST_F(Launch, WithoutNestedArchivesTheRuntimesOwnLoaderServesAsUnderJavaCp) {
    const std::string jars = appJarDir();
    const std::vector<std::string> files = {"lib/app.jar=" + jars + "/app.jar", "lib/lib1.jar=" + jars + "/lib1.jar",
                                            "lib/lib2.jar=" + jars + "/lib2.jar"};
    const std::vector<std::string> args = {
        "loader", "class", "lib.One", "class", "lib2.Two", "property", "java.protocol.handler.pkgs"};
    dir_.write("ext/ext.txt", "outside\n");
    for (const std::string& jdk : jdks_) {
        SCOPED_TRACE(jdk);
        RunResult plain = run({jdk + "/bin/java", "-cp", jars + "/app.jar:" + jars + "/lib1.jar:" + jars + "/lib2.jar",
                               "app.Main", "loader", "property", "java.protocol.handler.pkgs"});
        ASSERT_EQ(plain.exitCode, 0) << plain.err;
        for (const bool external : {false, true}) {
            SCOPED_TRACE(external ? "with an external class path" : "archive only");
            const std::string log = dir_.file(external ? "loaded-ext.txt" : "loaded.txt");
            std::vector<std::string> lines = {"mainclass app.Main", "jre_order c", "jvmdll " + jvmLibraryOf(jdk),
                                              "option -Xlog:class+load:file=" + log};
            if (external) lines.push_back("classpath ext");
            const std::string exe = dir_.file(external ? "flat-ext" : "flat");
            RunResult packed = pack(kLinux, exe, lines, files, {"--flatten"});
            ASSERT_EQ(packed.exitCode, 0) << packed.err;
            RunResult r = runOn(kLinux, exe, args);
            ASSERT_EQ(r.exitCode, 0) << r.err;
            EXPECT_TRUE(has(r.out, "says=one from lib1")) << r.out;
            EXPECT_TRUE(has(r.out, "says=two from lib2")) << r.out;
            const std::string loaded = readFile(log);
            if (!external) {
                EXPECT_TRUE(has(r.out, plain.out.substr(0, plain.out.find("property")))) << r.out;
                EXPECT_TRUE(has(r.out, "property java.protocol.handler.pkgs=null\n")) << r.out;
                EXPECT_TRUE(has(plain.out, "loader=jdk.internal.loader.ClassLoaders$AppClassLoader\n")) << plain.out;
                EXPECT_FALSE(has(loaded, "com.mordavin.hux.CarvossClassLoader ")) << loaded;
            } else {
                EXPECT_TRUE(has(r.out, "context=com.mordavin.hux.CarvossClassLoader\n")) << r.out;
                EXPECT_TRUE(has(loaded, "com.mordavin.hux.CarvossClassLoader ")) << loaded;
            }
        }
    }
}

TEST_F(Launch, FailuresPrintTheirMessageAndExitWithItsNumber) {
    const std::string& jdk = jdks_.front();
    struct Case {
        const char* what;
        std::vector<std::string> lines;
        int code;
        const char* message;
        const char* alsoOnStderr;
    };
    const std::string runtimes = buildDir() + "/test-runtimes";
    dir_.write("garbage.so", "this is not a library");
    const std::vector<Case> cases = {
        {"missing class",
         {"mainclass app.Missing"},
         7,
         "The main startup class could not be found.",
         "ClassNotFoundException: app.Missing"},
        {"no main",
         {"mainclass app.NoMain"},
         8,
         "The main startup class is not valid, main method missing.",
         "NoSuchMethodError"},
        {"too low", {"minjre 99"}, 6, nullptr, nullptr},
        {"too high", {"minjre 1.6", "maxjre 1.1"}, 12, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> lines = c.lines;
        lines.insert(lines.begin(), {"jre_order c", "jvmdll " + jvmLibraryOf(jdk)});
        if (std::none_of(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("mainclass", 0) == 0; }))
            lines.push_back("mainclass app.Main");
        const std::string exe = dir_.file("fail");
        ASSERT_EQ(pack(kLinux, exe, lines, appFiles()).exitCode, 0);
        RunResult r = runOn(kLinux, exe);
        EXPECT_EQ(r.exitCode, c.code) << r.err;
        const std::string err = errorLines(r.err);
        if (c.message) {
            EXPECT_TRUE(has(err, std::string(c.message) + "\n")) << err;
            EXPECT_EQ(err.substr(err.size() - std::string(c.message).size() - 1), std::string(c.message) + "\n");
        }
        if (c.alsoOnStderr) {
            EXPECT_TRUE(has(err, c.alsoOnStderr)) << err;
        }
    }
    // Versions are formatted into messages 6 and 12.
    const std::string version = std::to_string(jdkMajorVersion(jdk));
    {
        ASSERT_EQ(pack(kLinux, dir_.file("low"),
                       {"mainclass app.Main", "jre_order c", "jvmdll " + jvmLibraryOf(jdk), "minjre 99"}, appFiles())
                      .exitCode,
                  0);
        RunResult r = runOn(kLinux, dir_.file("low"));
        EXPECT_EQ(r.exitCode, 6);
        EXPECT_TRUE(has(errorLines(r.err), "Java virtual machine version " + version)) << r.err;
        EXPECT_TRUE(has(errorLines(r.err), " is too low, require 99 or higher.\n")) << r.err;
    }
}

TEST(LaunchFailures, RuntimeNotFoundNotValidAndStartFailedOnEveryTarget) {
    TempDir dir;
    for (const Target& t : targets()) {
        SCOPED_TRACE(t.name);
        const std::string runtimes = (t.windows() ? windowsBuildDir() : buildDir()) + "/test-runtimes";
        const std::string ext = t.windows() ? ".dll" : ".so";
        auto path = [&](const std::string& p) { return t.windows() ? winePath(p) : p; };
        dir.write("garbage" + ext, "this is not a library at all");
        struct Case {
            const char* what;
            std::string jvmdll;
            int code;
            std::string last;
            bool systemText;
        };
        const std::vector<Case> cases = {
            {"not found", path(dir.file("missing" + ext)), 1,
             std::string("Java Runtime Environment not found.\n") + kNoRuntimeAdvice, false},
            {"garbage", path(dir.file("garbage" + ext)), 2, "Java Runtime Environment not valid.", true},
            {"no creation entry", path(runtimes + "/hux_test_nocreate" + ext), 2, "Java Runtime Environment not valid.",
             false},
            {"creation fails", path(runtimes + "/hux_test_failcreate" + ext), 4, "Java Virtual Machine starts failed.",
             false},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.what);
            const std::string exe = dir.file(t.exeName("fails"));
            ASSERT_EQ(pack(t, exe, {"mainclass app.Main", "jre_order c", "jvmdll " + c.jvmdll}).exitCode, 0);
            RunResult r = runOn(t, exe);
            EXPECT_EQ(r.exitCode, c.code) << r.err;
            if (c.systemText) {
                // The system's text first (naming the library), then the message line.
                ASSERT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
                EXPECT_TRUE(has(r.err, "\n" + c.last + "\n")) << r.err;
            } else {
                EXPECT_EQ(r.err, c.last.back() == '\n' ? c.last : c.last + "\n");
            }
        }
    }
}
