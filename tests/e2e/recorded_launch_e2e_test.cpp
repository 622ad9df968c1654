// The whole launch path through the recording virtual machine
// (tests/e2e/runtimes/recording_vm.c), natively and under Wine. Each scenario
// runs on both targets; the two traces must be equal apart from the platform
// differences that `comparable` removes, and hold the lines that prove the
// behaviour, in order.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "support/harness.h"

using namespace hux::e2e;

namespace {

const Target kLinux{"linux-x64"};
const Target kWindows{"windows-x64"};

void replaceAll(std::string& s, const std::string& from, const std::string& to) {
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string s;
    for (const std::string& l : lines) s += l + "\n";
    return s;
}

bool startsWith(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

// The trace with the platform differences taken out:
// - paths: the application directory reads "<dir>", Windows separators '/',
//   no ".exe", and class path elements are separated by ':';
// - binding the natives: Linux registers them itself right after creation
//   (the support classes' lookups, RegisterNatives, then the "hux.app.path"
//   property); Windows passes that property as an option and the classes load
//   the executable ("bind" lines on both);
// - elevation is the token's on Windows and the user's on Linux;
// - notification-area events exist only where there is a message window;
// - Java's standard output goes through the launcher's stream natives on
//   Windows, through the redirected descriptor on Linux;
// - process ids;
// - how the threads interleave: lines are compared thread by thread (the
//   creating thread "main" first, then attached threads in their order).
std::vector<std::string> comparable(const Target& target, const std::string& dir, const std::string& trace) {
    std::vector<std::string> out;
    bool inBinding = false, inEvents = false;
    for (std::string line : linesOf(trace)) {
        const size_t blank = line.find(' ');
        if (target.windows()) {
            replaceAll(line, winePath(dir), "<dir>");
            replaceAll(line, ".exe", "");
            // Paths appear raw only in option lines (strings show '\' as \u005c).
            if (line.compare(blank + 1, 7, "option ") == 0) replaceAll(line, "\\", "/");
        } else {
            replaceAll(line, dir, "<dir>");
        }
        const std::string body = blank == std::string::npos ? line : line.substr(blank + 1);
        if (body == "events end") inEvents = false;
        if (inEvents) continue;
        if (body == "events begin") inEvents = true;
        if (!target.windows() && body == "created") {
            out.push_back(line);
            inBinding = true;
            continue;
        }
        if (inBinding) {
            if (startsWith(body, "call java/lang/System.setProperty(\"hux.app.path\"")) inBinding = false;
            continue;
        }
        // How natives get bound differs by platform: the launcher registers
        // them through NativeLink on Linux, the runtime binds the
        // executable's exports on Windows.
        if (startsWith(body, "bind ") || startsWith(body, "native com/mordavin/hux/NativeLink.bindNatives(") ||
            startsWith(body, "option -Dhux.app.path=") || startsWith(body, "option -Dhux.is.elevated=") ||
            has(body, "java/io/PrintStream") || has(body, "System.setOut") || has(body, "System.setErr") ||
            body == "print to the process's standard output")
            continue;
        if (target.windows() &&
            (startsWith(body, "option -Djava.class.path=") || startsWith(body, "option -Dhux.class.path=")))
            replaceAll(line, ";", ":");
        line = std::regex_replace(line, std::regex("onReceive\\(\\d+,"), "onReceive(<pid>,");
        out.push_back(line);
    }
    std::stable_sort(out.begin(), out.end(), [](const std::string& a, const std::string& b) {
        auto rank = [](const std::string& line) {
            const std::string thread = line.substr(0, line.find(' '));
            return thread == "main" ? 0 : thread[0] == 't' ? std::atoi(thread.c_str() + 1) : 1 << 20;
        };
        return rank(a) < rank(b);
    });
    return out;
}

// Whether `expected` appear in `lines` in this order (other lines between).
::testing::AssertionResult holdsInOrder(const std::vector<std::string>& lines,
                                        const std::vector<std::string>& expected) {
    size_t next = 0;
    for (const std::string& line : lines)
        if (next < expected.size() && line == expected[next]) ++next;
    if (next == expected.size()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "missing, in order: " << expected[next] << "\ntrace:\n" << joined(lines);
}

struct Traced {
    RunResult run;
    std::vector<std::string> lines;  // comparable form
    std::string raw;
};

class RecordedLaunch : public ::testing::Test {
protected:
    void SetUp() override {
        if (!windowsStubAvailable()) {
            if (std::getenv("HUX_REQUIRE_WINDOWS")) FAIL() << "the Windows build is required";
            GTEST_SKIP() << "no Windows build";
        }
    }

    // The application directory of `target`, with the recording library as its
    // private runtime ("jre" beside the executable, found by the default order).
    std::string appDir(const Target& target) {
        const std::string dir = dir_.file(target.name);
        namespace fs = std::filesystem;
        const std::string server = dir + (target.windows() ? "/jre/bin/server" : "/jre/lib/server");
        fs::create_directories(server);
        const std::string library = target.windows() ? windowsBuildDir() + "/test-runtimes/recording/jvm.dll"
                                                     : buildDir() + "/test-runtimes/recording/libjvm.so";
        const std::string copy = server + (target.windows() ? "/jvm.dll" : "/libjvm.so");
        fs::copy_file(library, copy, fs::copy_options::overwrite_existing);
        return dir;
    }

    std::string packFor(const Target& target, const std::string& name, const std::vector<std::string>& lines,
                        const std::vector<std::string>& files = {}) {
        const std::string exe = appDir(target) + "/" + target.exeName(name);
        RunResult r = pack(target, exe, lines, files);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return exe;
    }

    RunOptions options(const Target& target, const std::string& trace, const std::string& script) {
        RunOptions o;
        o.cwd = cwd_.empty() ? dir_.file(target.name) : cwd_;
        o.env["HUX_DOUBLE_TRACE"] = target.windows() ? winePath(trace) : trace;
        o.env["HUX_DOUBLE_SCRIPT"] = script;
        o.env["CLASSPATH"] = std::nullopt;
        o.env["CLASS_PATH"] = std::nullopt;
        o.env["JAVA_HOME"] = std::nullopt;
        o.env["JRE_HOME"] = std::nullopt;
        o.env["HUX_DEBUG"] = std::nullopt;
        for (const auto& [name, value] : extraEnv_) o.env[name] = value;
        return o;
    }

    Traced launch(const Target& target, const std::string& exe, const std::vector<std::string>& args,
                  const std::string& script, const std::string& traceName = "trace") {
        const std::string trace = dir_.file(target.name + "-" + traceName + ".txt");
        std::filesystem::remove(trace);
        Traced t;
        t.run = runOn(target, exe, args, options(target, trace, script));
        t.raw = readFile(trace);
        t.lines = comparable(target, dir_.file(target.name), t.raw);
        return t;
    }

    std::string tracePath(const Target& target, const std::string& name) {
        const std::string trace = dir_.file(target.name + "-" + name + ".txt");
        std::filesystem::remove(trace);
        return trace;
    }

    // Packs and runs one scenario on both targets; the traces must agree.
    std::vector<std::string> both(const std::vector<std::string>& lines, const std::vector<std::string>& args,
                                  const std::string& script, int exitCode, const std::vector<std::string>& files = {},
                                  std::vector<RunResult>* runs = nullptr) {
        Traced linux = launch(kLinux, packFor(kLinux, "app", lines, files), args, script);
        Traced windows = launch(kWindows, packFor(kWindows, "app", lines, files), args, script);
        lastWindowsTrace_ = windows.raw;
        EXPECT_EQ(linux.run.exitCode, exitCode) << linux.run.err;
        EXPECT_EQ(windows.run.exitCode, exitCode) << windows.run.err;
        EXPECT_EQ(joined(linux.lines), joined(windows.lines)) << "the Linux trace, then the Windows trace";
        if (runs) *runs = {linux.run, windows.run};
        return linux.lines;
    }

    std::vector<std::string> appFiles() const {
        const std::string jars = appJarDir();
        return {"lib/app.jar=" + jars + "/app.jar", "lib/lib1.jar=" + jars + "/lib1.jar"};
    }

    TempDir dir_;
    std::string lastWindowsTrace_;
    std::map<std::string, std::string> extraEnv_;  // for every launch
    std::string cwd_;                              // the launches' working directory, else the application's
};

std::string uniqueAppId(const std::string& what) {
    return "hux.recorded." + what + "." + std::to_string(::getpid()) + "." + std::to_string(std::rand());
}

}  // namespace

TEST_F(RecordedLaunch, OptionsPropertiesClassPathsAndArguments) {
    const std::vector<std::string> lines{"mainclass app.Main",         "option -Xmx64m",
                                         "option -Dfrom.option=a b",   "option -Xmx64m",
                                         "java_classpath extra/c.jar", "classpath ext/a.jar;;ext/b.jar",
                                         "property prop.one=v=1",      "property prop.two",
                                         "argv \"first arg\" second"};
    std::vector<RunResult> runs;
    const auto trace = both(lines, {"x y", "caf\xc3\xa9", ""}, "return", 0, appFiles(), &runs);
    EXPECT_TRUE(holdsInOrder(
        trace,
        {"main JNI_CreateJavaVM version 0x10002, ignore unrecognized 1", "main option -Xmx64m",
         "main option -Dfrom.option=a b", "main option -Xmx64m",
         "main option -Djava.class.path=<dir>/app:<dir>/extra/c.jar",
         "main option -Dhux.class.path=:<dir>/ext/a.jar:<dir>/ext/b.jar", "main option -Dapplication.home=<dir>/",
         "main option -Djava.system.class.loader=com.mordavin.hux.CarvossClassLoader",
         "main option -Dsun.java.command=app.Main first arg second x y caf\xc3\xa9 ", "main created",
         "main call java/lang/System.setProperty(\"prop.one\", \"v=1\")",
         "main call java/lang/System.setProperty(\"prop.two\", \"\")",
         "main call java/lang/ClassLoader.getSystemClassLoader()",
         "main call com/mordavin/hux/CarvossClassLoader.loadClass(\"app.Main\")",
         "main native com/mordavin/hux/CarvossClassLoader.findEntry(app/Main.class)",
         "main GetStaticMethodID app/Main.main([Ljava/lang/String;)V",
         "main call app/Main.main(L[5]{\"first arg\", \"second\", \"x y\", \"caf\\u00e9\", \"\"})",
         "main DetachCurrentThread", "main DestroyJavaVM"}));
    // Nothing is pending or unimplemented anywhere in the launch.
    for (const std::string& line : trace) {
        EXPECT_FALSE(has(line, "unimplemented")) << line;
        EXPECT_FALSE(has(line, "UnsatisfiedLinkError")) << line;
    }
    for (const RunResult& r : runs) EXPECT_EQ(r.err, "");
}

// A relative pattern matches the executable's own jars, not the ones of the
// same name in the folder the user runs it from.
TEST_F(RecordedLaunch, RelativePatternMatchesBesideTheExecutable) {
    cwd_ = dir_.file("elsewhere");
    for (const char* jar : {"elsewhere/ext/planted.jar", "linux-x64/ext/extra.jar", "windows-x64/ext/extra.jar"})
        dir_.write(jar, "PK");
    const auto trace = both({"mainclass app.Main", "classpath ext/*.jar"}, {}, "return", 0, appFiles());
    EXPECT_TRUE(holdsInOrder(trace, {"main option -Dhux.class.path=:<dir>/ext/extra.jar"}));
}

// A main class written with slashes loads by its dotted name, as under
// `java`; `argv` lines see the `export` lines as options do.
TEST_F(RecordedLaunch, SlashedMainClassAndArgumentsThatSeeExports) {
    const auto trace = both({"mainclass app/Main", "export HUX_XV=exported", "option -Dq=%HUX_XV%", "argv [%HUX_XV%]"},
                            {"given"}, "return", 0, appFiles());
    EXPECT_TRUE(
        holdsInOrder(trace, {"main option -Dq=exported", "main option -Dsun.java.command=app.Main [exported] given",
                             "main call com/mordavin/hux/CarvossClassLoader.loadClass(\"app.Main\")",
                             "main call app/Main.main(L[2]{\"[exported]\", \"given\"})"}));
}

namespace {
// Whether the runtime library was unloaded before the process ended, which
// the application's daemon threads, still running its code, would not survive.
bool unloadedEarly(const std::vector<std::string>& trace) {
    for (const std::string& line : trace)
        if (has(line, "runtime library unloaded")) return true;
    return false;
}
}  // namespace

TEST_F(RecordedLaunch, ExitCodesOfMain) {
    const std::vector<std::string> lines{"mainclass app.Main"};
    EXPECT_FALSE(unloadedEarly(both(lines, {}, "return", 0, appFiles())));
    const auto thrown = both(lines, {}, "throw", 1, appFiles());
    EXPECT_FALSE(unloadedEarly(thrown));
    EXPECT_TRUE(holdsInOrder(
        thrown, {"main throw java/lang/IllegalStateException: thrown by main",
                 "main ExceptionDescribe java/lang/IllegalStateException: thrown by main", "main DestroyJavaVM"}));
    const auto exited = both(lines, {}, "exit 3", 3, appFiles());
    EXPECT_TRUE(holdsInOrder(exited, {"main call java/lang/System.exit(3)"}));
    EXPECT_FALSE(holdsInOrder(exited, {"main DestroyJavaVM"}));

    // Creation refused: nothing is called in the machine afterwards.
    std::vector<RunResult> runs;
    extraEnv_ = {{"HUX_DOUBLE_REFUSE", "-6"}};
    const auto refused = both(lines, {}, "return", 4, appFiles(), &runs);
    EXPECT_EQ(refused.back(), "main refused with -6");
    EXPECT_FALSE(unloadedEarly(refused));
    for (const RunResult& r : runs) EXPECT_TRUE(has(r.err, "Java Virtual Machine starts failed.\n")) << r.err;

    // The version limits read "java.version" from the running machine.
    extraEnv_ = {{"HUX_DOUBLE_VERSION", "1.6.0_45"}};
    const auto low = both({"mainclass app.Main", "minjre 1.7", "maxjre 9.0"}, {}, "return", 6, appFiles(), &runs);
    EXPECT_TRUE(holdsInOrder(low, {"main call java/lang/System.getProperty(\"java.version\")", "main DestroyJavaVM"}));
    EXPECT_FALSE(holdsInOrder(low, {"main call app/Main.main(L[0]{})"}));
    for (const RunResult& r : runs)
        EXPECT_TRUE(has(r.err, "Java virtual machine version 1.6.0_45 is too low, require 1.7 or higher.\n")) << r.err;
    extraEnv_ = {{"HUX_DOUBLE_VERSION", "9.0.4"}};
    both({"mainclass app.Main", "minjre 1.7", "maxjre 9.0"}, {}, "return", 0, appFiles());
    extraEnv_.clear();
}

TEST_F(RecordedLaunch, MissingMainClassAndMissingMain) {
    std::vector<RunResult> runs;
    const auto missing = both({"mainclass app.Missing"}, {}, "return", 7, appFiles(), &runs);
    EXPECT_TRUE(holdsInOrder(
        missing, {"main native com/mordavin/hux/CarvossClassLoader.findEntry(app/Missing.class)",
                  "main throw java/lang/ClassNotFoundException: app.Missing",
                  "main ExceptionDescribe java/lang/ClassNotFoundException: app.Missing", "main DestroyJavaVM"}));
    for (const RunResult& r : runs) EXPECT_TRUE(has(r.err, "The main startup class could not be found.\n")) << r.err;

    const auto noMain = both({"mainclass app.NoMain"}, {}, "return", 8, appFiles(), &runs);
    EXPECT_TRUE(
        holdsInOrder(noMain, {"main GetStaticMethodID app/NoMain.main([Ljava/lang/String;)V: missing",
                              "main ExceptionDescribe java/lang/NoSuchMethodError: main", "main DestroyJavaVM"}));
    for (const RunResult& r : runs)
        EXPECT_TRUE(has(r.err, "The main startup class is not valid, main method missing.\n")) << r.err;
}

TEST_F(RecordedLaunch, ClassesAndResourcesFromStoredAndDeflatedNestedJars) {
    // outer.jar is stored in the executable; lib2.jar inside it is deflated.
    const std::string outer = dir_.file("outer.jar");
    {
        const std::string staging = dir_.file("outer");
        std::filesystem::create_directories(staging);
        std::filesystem::copy_file(appJarDir() + "/lib2.jar", staging + "/lib2.jar");
        const std::string jar = installedJdks().front() + "/bin/jar";
        RunResult made = run({jar, "cf", outer, "-C", staging, "lib2.jar"});
        ASSERT_EQ(made.exitCode, 0) << made.err;
    }
    std::vector<std::string> files = appFiles();
    files.push_back("lib/outer.jar=" + outer);
    // Class files are served as resource data in compatible mode only; otherwise they are not found.
    const auto plain = both({"mainclass app.Main", "compatible false"}, {}, "resource lib/One.class", 0, appFiles());
    EXPECT_TRUE(holdsInOrder(plain, {"main resource lib/One.class: not found"}));

    const auto trace = both({"mainclass app.Main", "compatible true"}, {},
                            "class lib.One;resource lib/shared.txt;resource lib/One.class;resource lib2/only2.txt;"
                            "resource lib2/Two.class;class lib2.Two;class lib.Absent;resource none.txt",
                            0, files);
    EXPECT_TRUE(holdsInOrder(
        trace, {"main native com/mordavin/hux/CarvossClassLoader.findEntry(lib/One.class)",
                "main call com/mordavin/hux/CarvossClassLoader.defineClass(\"lib.One\", B[273], 0, 273)",
                "main class lib/One: 273 bytes, main no",
                "main native com/mordavin/hux/CarvossClassLoader.findArchiveResource(lib/shared.txt)",
                "main native com/mordavin/hux/Handler.loadResourceData(hux:lib/lib1.jar!lib/shared.txt)",
                "main resource lib/shared.txt: 17 bytes \"shared from lib1.\"",
                "main resource lib/One.class: 273 bytes, a class file",
                // Jars two levels deep (lib2.jar, deflated inside outer.jar) serve
                // neither classes nor resources: one rule for both.
                "main resource lib2/only2.txt: not found", "main resource lib2/Two.class: not found",
                "main throw java/lang/ClassNotFoundException: lib2.Two",
                "main native com/mordavin/hux/CarvossClassLoader.findEntry(lib/Absent.class)",
                "main throw java/lang/ClassNotFoundException: lib.Absent", "main resource none.txt: not found"}));
}

TEST_F(RecordedLaunch, AResourceNamedBeyondTheBasicPlaneOnBothTargets) {
    // The archive spells the name in four-byte UTF-8: the hux: URL made from
    // it must name the same character again, so that reading it finds the
    // entry on both targets.
    const std::string name = "text/\xF0\x9F\x98\x80.txt";
    const auto trace = both({"mainclass app.Main"}, {}, "resource " + name, 0,
                            {"lib/app.jar=" + appJarDir() + "/app.jar", "lib/text.jar=" + appJarDir() + "/text.jar"});
    EXPECT_TRUE(holdsInOrder(trace, {"main resource " + name + ": 11 bytes \"smile .....\""})) << joined(trace);
}

TEST_F(RecordedLaunch, InstanceMessageReachesTheReceiverInAnotherProcess) {
    std::vector<std::string> receivers, senders;
    for (const Target& target : {kLinux, kWindows}) {
        SCOPED_TRACE(target.name);
        const std::vector<std::string> lines{"mainclass app.Main", "appid " + uniqueAppId("message"),
                                             "singleinstance custom"};
        const std::string exe = packFor(target, "app", lines, appFiles());
        const std::string receiverTrace = tracePath(target, "receiver");
        const std::string senderTrace = tracePath(target, "sender");
        Background receiver(target.command(exe), options(target, receiverTrace, "receive"));
        ASSERT_TRUE(receiver.waitForOutput("ready\n", 60000));
        RunResult sent = runOn(target, exe, {}, options(target, senderTrace, "send hello there"));
        EXPECT_EQ(sent.exitCode, 0) << sent.err;
        RunResult received = receiver.finish(60000);
        EXPECT_EQ(received.exitCode, 0) << received.err;
        receivers.push_back(joined(comparable(target, dir_.file(target.name), readFile(receiverTrace))));
        senders.push_back(joined(comparable(target, dir_.file(target.name), readFile(senderTrace))));
    }
    EXPECT_EQ(receivers[0], receivers[1]);
    EXPECT_EQ(senders[0], senders[1]);
    EXPECT_TRUE(
        holdsInOrder(linesOf(receivers[0]),
                     {"main native com/mordavin/hux/Instances.setReceiver(test/Receiver)", "main message: arrived",
                      "t1 AttachCurrentThreadAsDaemon", "t1 call test/Receiver.onReceive(<pid>, \"hello there\")"}));
    EXPECT_TRUE(
        holdsInOrder(linesOf(senders[0]), {"main instances: first is not current",
                                           "main native com/mordavin/hux/Instances.sendObject(first, \"hello there\")",
                                           "main call java/io/ObjectOutputStream.writeObject(\"hello there\")"}));
}

TEST_F(RecordedLaunch, TrayClickAndMenuCommandReachTheCallback) {
    if (std::getenv("DISPLAY") == nullptr) {
        if (std::getenv("HUX_REQUIRE_WINDOWS")) FAIL() << "a display is required";
        GTEST_SKIP() << "no display";
    }
    const auto trace = both({"mainclass app.Main"}, {}, "tray", 0, appFiles());
    EXPECT_TRUE(
        holdsInOrder(trace, {"main native com/mordavin/hux/SystemTray.setSystemTrayCallback(test/TrayCallback)",
                             "main native com/mordavin/hux/SystemTray.init(1, \"double tip\", null, null, 0)",
                             "main native com/mordavin/hux/SystemTray.Show()",
                             "main native com/mordavin/hux/SystemTrayMenu.Append(\"Item\", 7)", "main events begin",
                             "main events end", "main native com/mordavin/hux/SystemTray.Hide()"}));
    // The message window delivers both events on its own thread.
    EXPECT_TRUE(
        holdsInOrder(linesOf(lastWindowsTrace_),
                     {"main events begin", "t1 AttachCurrentThread",
                      "t1 call test/TrayCallback.OnMouseClick(com/mordavin/hux/SystemTray, 514)", "main click: arrived",
                      "t1 call test/TrayCallback.OnMenuCommand(7)", "main command: arrived", "main events end"}));
}

TEST_F(RecordedLaunch, RedirectedStandardOutput) {
    const auto trace =
        both({"mainclass app.Main", "stdout out.txt"}, {}, "print printed by main;write native", 0, appFiles());
    for (const Target& target : {kLinux, kWindows})
        EXPECT_EQ(readFile(dir_.file(target.name + "/out.txt")), "printed by main\nnative\n") << target.name;
    EXPECT_TRUE(holdsInOrder(trace, {"main native com/mordavin/hux/RedirOutputStream.write(110)",
                                     "main native com/mordavin/hux/RedirOutputStream.write(10)"}));
}

TEST_F(RecordedLaunch, RuntimeRegisteredByCurrentInstallersAndDebugLines) {
    // Windows: the recording library registered under the key current
    // installers write, found by the registry source alone.
    const std::string home = dir_.file("registered");
    std::filesystem::create_directories(home + "/bin/server");
    std::filesystem::copy_file(windowsBuildDir() + "/test-runtimes/recording/jvm.dll", home + "/bin/server/jvm.dll");
    const std::string wine = sourceDir() + "/scripts/wine-run";
    const std::string key = "HKLM\\SOFTWARE\\JavaSoft\\JDK";
    ASSERT_EQ(run({wine, "reg", "add", key, "/v", "CurrentVersion", "/d", "99", "/f"}).exitCode, 0);
    ASSERT_EQ(
        run({wine, "reg", "add", key + "\\99", "/v", "RuntimeLib", "/d", winePath(home + "/bin/server/jvm.dll"), "/f"})
            .exitCode,
        0);
    const std::string exe = packFor(kWindows, "app", {"mainclass app.Main", "jre_order s"}, appFiles());
    const std::string trace = tracePath(kWindows, "registered");
    RunOptions o = options(kWindows, trace, "return");
    o.env["HUX_DEBUG"] = "1";
    RunResult r = runOn(kWindows, exe, {}, o);
    run({wine, "reg", "delete", key, "/f"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(has(r.err, "hux: registry key HKLM\\SOFTWARE\\JavaSoft\\JRE: no CurrentVersion\n")) << r.err;
    EXPECT_TRUE(has(r.err, "hux: runtime library " + winePath(home + "/bin/server/jvm.dll") + "\n")) << r.err;
    EXPECT_TRUE(holdsInOrder(comparable(kWindows, dir_.file(kWindows.name), readFile(trace)),
                             {"main created", "main call app/Main.main(L[0]{})"}));

    // Linux: no registry to speak of; absent files are missing, and each
    // candidate names its source.
    const std::string linuxExe = packFor(kLinux, "bare", {"mainclass app.Main", "jre_order ie"});
    RunOptions lo = options(kLinux, tracePath(kLinux, "bare"), "return");
    lo.env["HUX_DEBUG"] = "1";
    lo.env["JAVA_HOME"] = dir_.file("nojdk");
    RunResult bare = runOn(kLinux, linuxExe, {}, lo);
    EXPECT_EQ(bare.exitCode, 1);
    EXPECT_FALSE(has(bare.err, "registry")) << bare.err;
    EXPECT_TRUE(has(bare.err, "hux: candidate " + dir_.file("nojdk") + "/libjvm.so (JAVA_HOME=" + dir_.file("nojdk") +
                                  "): missing\n"))
        << bare.err;
    EXPECT_TRUE(has(bare.err, "Java Runtime Environment not found.\n")) << bare.err;
}

TEST_F(RecordedLaunch, ClassDataArchiveIsPublishedAtEitherExitAndMappedByTheNextLaunch) {
    // The runtime writes the archive as it exits; the launcher publishes it
    // from the runtime's exit hook (System.exit) or from its own exit (main
    // returned), and the next launch maps it: it names the archive only once
    // the file is there and the user's own. (Wine sets LOCALAPPDATA itself,
    // so the Windows cache is the prefix's.)
    // On Linux the runtime writes into a file in memory, which the launcher
    // publishes in the cache; on Windows to the archive's temporary name.
    const auto writtenArchive = [&](const Target& target, const std::string& trace) {
        const std::string option = "option -XX:ArchiveClassesAtExit=";
        const size_t at = trace.find(option);
        if (at == std::string::npos) return std::string();
        const size_t from = at + option.size();
        if (target.windows()) return trace.substr(from, trace.find(".tmp", from) - from);
        EXPECT_EQ(trace.compare(from, 14, "/proc/self/fd/"), 0) << trace.substr(from, 40);
        for (const std::string& name : filesIn(dir_.file("linux-cache/hux")))
            if (name.size() > 4 && name.substr(name.size() - 4) == ".jsa") return dir_.file("linux-cache/hux/" + name);
        return std::string();
    };
    for (const Target& target : {kLinux, kWindows}) {
        SCOPED_TRACE(target.name);
        extraEnv_.clear();
        if (!target.windows()) extraEnv_["XDG_CACHE_HOME"] = dir_.file("linux-cache");
        const std::vector<std::string> lines = {"mainclass app.Main", "cds auto", "assystemclassloader FALSE"};
        const std::string exe = packFor(target, "app", lines, appFiles());

        Traced first = launch(target, exe, {}, "exit 3", "cds-first");
        EXPECT_EQ(first.run.exitCode, 3) << first.run.err;
        EXPECT_TRUE(
            holdsInOrder(first.lines, {"main option exit", "main class-data archive written", "main exit hook 3"}));
        const std::string archive = writtenArchive(target, first.raw);
        ASSERT_FALSE(archive.empty()) << first.raw;
        EXPECT_EQ(archive.substr(archive.size() - 4), ".jsa");

        Traced second = launch(target, exe, {}, "return", "cds-second");
        EXPECT_EQ(second.run.exitCode, 0) << second.run.err;
        EXPECT_TRUE(has(second.raw, "option -XX:SharedArchiveFile=" + archive + "\n")) << second.raw;
        EXPECT_FALSE(has(second.raw, "ArchiveClassesAtExit")) << second.raw;
        // The launch that maps the archive clears its crash marker from the
        // runtime's exit hook too.
        EXPECT_TRUE(has(second.raw, "option exit")) << second.raw;

        // A changed executable writes its own archive as main returns; the
        // launch after it maps that one.
        std::vector<std::string> changed = lines;
        changed.push_back("property changed=1");
        packFor(target, "app", changed, appFiles());
        Traced third = launch(target, exe, {}, "return", "cds-third");
        EXPECT_EQ(third.run.exitCode, 0) << third.run.err;
        EXPECT_TRUE(holdsInOrder(third.lines, {"main DestroyJavaVM", "main class-data archive written"}));
        const std::string replacement = writtenArchive(target, third.raw);
        EXPECT_NE(replacement, archive);
        EXPECT_EQ(replacement.substr(0, replacement.size() - 21), archive.substr(0, archive.size() - 21));
        Traced fourth = launch(target, exe, {}, "return", "cds-fourth");
        EXPECT_TRUE(has(fourth.raw, "option -XX:SharedArchiveFile=" + replacement + "\n")) << fourth.raw;
        if (target.windows()) run({sourceDir() + "/scripts/wine-run", "cmd", "/c", "del", replacement});
    }
    extraEnv_.clear();
}

// Windows: a flattened application's first launch lists its classes, and a
// detached helper (the launcher itself) has the runtime's `java` dump the
// archive after the launch ended; the next launch maps it. The stand-in
// `java` writes the archive when the list holds something.
TEST_F(RecordedLaunch, WindowsFlattenedFirstLaunchLeavesItsArchiveToABackgroundDump) {
    namespace fs = std::filesystem;
    const std::string dir = appDir(kWindows);
    fs::create_directories(dir + "/jre/bin");
    fs::copy_file(windowsBuildDir() + "/test-runtimes/recording/bin/java.exe", dir + "/jre/bin/java.exe");
    const std::string exe = dir + "/app.exe";
    ASSERT_EQ(pack(kWindows, exe, {"mainclass app.Main", "cds auto"}, appFiles(), {"--flatten"}).exitCode, 0);
    extraEnv_["HUX_DUMP_TRACE"] = winePath(dir_.file("dumps.txt"));
    Traced first = launch(kWindows, exe, {}, "return", "first");
    EXPECT_EQ(first.run.exitCode, 0) << first.run.err;
    EXPECT_EQ(first.run.err, "");
    EXPECT_FALSE(has(first.raw, "ArchiveClassesAtExit")) << first.raw;
    const std::string option = "option -XX:DumpLoadedClassList=";
    const size_t at = first.raw.find(option);
    ASSERT_NE(at, std::string::npos) << first.raw;
    // The list lies beside the archive, in the prefix's C: drive.
    std::string list = first.raw.substr(at + option.size(), first.raw.find('\n', at) - at - option.size());
    ASSERT_EQ(list.compare(0, 3, "C:\\"), 0) << list;
    std::replace(list.begin(), list.end(), '\\', '/');
    const fs::path listed = fs::path(winePrefix()) / "drive_c" / list.substr(3);
    const std::string stem = listed.string().substr(0, listed.string().rfind(".lst.tmp"));
    const auto start = std::chrono::steady_clock::now();
    while (!fs::exists(stem + ".jsa") && std::chrono::steady_clock::now() - start < std::chrono::seconds(60))
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_EQ(readFile(stem + ".jsa"), "dumped class-data archive") << readFile(dir_.file("dumps.txt"));
    EXPECT_TRUE(has(readFile(dir_.file("dumps.txt")), "-Xshare:dump -XX:SharedClassListFile="));
    EXPECT_FALSE(fs::exists(listed)) << "the list is removed";
    Traced second = launch(kWindows, exe, {}, "return", "second");
    EXPECT_EQ(second.run.exitCode, 0) << second.run.err;
    EXPECT_TRUE(has(second.raw, "option -XX:SharedArchiveFile=")) << second.raw;
    EXPECT_FALSE(has(second.raw, "DumpLoadedClassList")) << second.raw;
    for (const std::string& name : filesIn(listed.parent_path().string()))
        if (name.rfind(fs::path(stem).filename().string(), 0) == 0) fs::remove(listed.parent_path() / name);
    extraEnv_.clear();
}

// Windows: candidates outside the version limits or whose jvm.dll does not
// load are passed over; registrations without CurrentVersion, per user and
// under a distribution's own key are found. (The recording library stands in
// for every runtime; a release file gives each its version.)
TEST_F(RecordedLaunch, WindowsCandidatesArePassedOverUntilOneFits) {
    namespace fs = std::filesystem;
    const std::string wine = sourceDir() + "/scripts/wine-run";
    const std::string recording = windowsBuildDir() + "/test-runtimes/recording/jvm.dll";
    auto runtimeHome = [&](const std::string& name, const std::string& version) {
        const std::string home = dir_.file(name);
        fs::create_directories(home + "/bin/server");
        fs::copy_file(recording, home + "/bin/server/jvm.dll", fs::copy_options::overwrite_existing);
        std::ofstream(home + "/release") << "JAVA_VERSION=\"" << version << "\"\n";
        return home;
    };
    const std::string home8 = runtimeHome("jdk8", "1.8.0_392");
    const std::string home21 = runtimeHome("jdk21", "21.0.2");
    const std::string home25 = runtimeHome("jdk25", "25.0.1");
    auto reg = [&](const std::vector<std::string>& args) {
        std::vector<std::string> command = {wine, "reg"};
        command.insert(command.end(), args.begin(), args.end());
        return run(command).exitCode;
    };
    struct Case {
        const char* what;
        std::vector<std::string> lines;
        std::string javaHome;  // empty: unset
        bool garbagePrivateJre;
        std::vector<std::vector<std::string>> keys;  // reg add arguments
        int code;
        std::string running;  // the recording runtime's java.version
        std::vector<std::string> debugLines;
    };
    const std::string jdkKey = "HKLM\\SOFTWARE\\JavaSoft\\JDK";
    const std::vector<Case> cases = {
        {"Java 8 and JDK 21 registered, minjre 17",
         {"jre_order s", "minjre 17"},
         "",
         false,
         {{"add", jdkKey, "/v", "CurrentVersion", "/d", "1.8", "/f"},
          {"add", jdkKey + "\\1.8", "/v", "JavaHome", "/d", winePath(home8), "/f"},
          {"add", jdkKey + "\\21", "/v", "JavaHome", "/d", winePath(home21), "/f"}},
         0,
         "21.0.2",
         {"(registry key HKLM\\SOFTWARE\\JavaSoft\\JDK\\1.8): version 1.8.0_392 is below minjre 17\n",
          "hux: runtime library " + winePath(home21) + "\\bin\\server\\jvm.dll\n"}},
        {"no CurrentVersion: the highest that fits",
         {"jre_order s", "maxjre 21"},
         "",
         false,
         {{"add", jdkKey + "\\25", "/v", "JavaHome", "/d", winePath(home25), "/f"},
          {"add", jdkKey + "\\21", "/v", "JavaHome", "/d", winePath(home21), "/f"},
          {"add", jdkKey + "\\1.8", "/v", "JavaHome", "/d", winePath(home8), "/f"}},
         0,
         "21.0.2",
         {"hux: registry key HKLM\\SOFTWARE\\JavaSoft\\JDK: no CurrentVersion\n",
          "(registry key HKLM\\SOFTWARE\\JavaSoft\\JDK\\25): version 25.0.1 is above maxjre 21\n"}},
        {"per-user install under a distribution's key",
         {"jre_order s"},
         "",
         false,
         {{"add", "HKCU\\SOFTWARE\\Eclipse Adoptium\\JDK\\25.0.1.9\\hotspot\\MSI", "/v", "Path", "/d", winePath(home25),
           "/f"}},
         0,
         "25.0.1",
         {"hux: runtime library " + winePath(home25) + "\\bin\\server\\jvm.dll\n"}},
        {"an invalid jvm.dll before a good JAVA_HOME",
         {"jre_order be"},
         winePath(home21),
         true,
         {},
         0,
         "21.0.2",
         {"(private jre): does not load: ", "hux: runtime library " + winePath(home21) + "\\bin\\server\\jvm.dll\n"}},
        {"nothing loads", {"jre_order b"}, "", true, {}, 2, "21.0.2", {"Java Runtime Environment not valid.\n"}},
        {"nothing fits: the closest is named",
         {"jre_order se", "minjre 99"},
         winePath(home25),
         false,
         {},
         6,
         "30.0.0",
         {"Java virtual machine version 25.0.1 is too low, require 99 or higher.\n"}},
        {"no release file: the running virtual machine is checked",
         {"jre_order b", "minjre 99"},
         "",
         false,
         {},
         6,
         "30.0.0",
         {"Java virtual machine version 30.0.0 is too low, require 99 or higher.\n"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (const auto& key : c.keys) ASSERT_EQ(reg(key), 0);
        std::vector<std::string> lines = c.lines;
        lines.insert(lines.begin(), "mainclass app.Main");
        const std::string exe = packFor(kWindows, "app", lines, appFiles());
        // The private runtime packFor lays out is the recording library with no
        // release file; replaced by a file that is no library where asked.
        if (c.garbagePrivateJre)
            std::ofstream(dir_.file(kWindows.name + "/jre/bin/server/jvm.dll"), std::ios::trunc) << "not a library";
        RunOptions o = options(kWindows, tracePath(kWindows, "filter"), "return");
        o.env["HUX_DEBUG"] = "1";
        o.env["HUX_DOUBLE_VERSION"] = c.running;
        if (!c.javaHome.empty()) o.env["JAVA_HOME"] = c.javaHome;
        RunResult r = runOn(kWindows, exe, {}, o);
        reg({"delete", jdkKey, "/f"});
        reg({"delete", "HKCU\\SOFTWARE\\Eclipse Adoptium", "/f"});
        EXPECT_EQ(r.exitCode, c.code) << r.err;
        for (const std::string& line : c.debugLines) EXPECT_TRUE(has(r.err, line)) << line << "\n" << r.err;
    }
}
