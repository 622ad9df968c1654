// An executable whose path is longer than the system's classic 260-character
// limit is its own home: its configuration beside it is read, its private
// runtime is loaded, and a runtime library planted in an ancestor folder,
// where a cut path would lead, is never loaded; with a runtime that starts,
// the support classes' natives bind and main is reached. Natively and under
// Wine.
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "support/harness.h"

using namespace hux::e2e;

namespace {

// Length of `path` as the program sees it (Wine adds its drive letter).
size_t seenLength(const Target& t, const std::string& path) {
    return t.windows() ? winePath(path).size() : path.size();
}

// The stand-in runtime that starts and runs a script as main.
std::string recordingRuntime(const Target& t) {
    return t.windows() ? windowsBuildDir() + "/test-runtimes/recording/jvm.dll"
                       : buildDir() + "/test-runtimes/recording/libjvm.so";
}

}  // namespace

TEST(LongPath, AnExecutableBeyond260CharactersIsItsOwnHome) {
    for (const Target& t : targets()) {
        SCOPED_TRACE(t.name);
        if (!exists(loadRecorder(t))) {
            ADD_FAILURE() << "no stand-in library " << loadRecorder(t);
            continue;
        }
        // The whole executable path's length, as the program sees it.
        for (size_t wanted : {288u, 371u}) {
            SCOPED_TRACE(wanted);
            TempDir dir;
            // An ancestor well below 259 characters, then one folder long
            // enough that a path cut at 259 ends inside its name.
            std::string ancestor = dir.file(std::string(200 - seenLength(t, dir.path()), 'p'));
            const std::string exeName = t.exeName("tool");
            const size_t nameLength = wanted - seenLength(t, ancestor) - 1 - 1 - exeName.size();
            const std::string app = ancestor + "/" + std::string(nameLength, 'a');
            const std::string exe = app + "/" + exeName;
            ASSERT_EQ(seenLength(t, exe), wanted);
            std::filesystem::create_directories(app);
            ASSERT_EQ(pack(t, exe, {"mainclass app.Main", "jre_order b"},
                           {"lib/app.jar=" + appJarDir() + "/app.jar", "lib/lib1.jar=" + appJarDir() + "/lib1.jar"})
                          .exitCode,
                      0);
            // The configuration beside the executable names the failure.
            dir.write(app.substr(dir.text().size() + 1) + "/tool.cfg", "message 1=from beside\r\n");
            // A library where the cut path's "jre" would be.
            copyInto(loadRecorder(t), ancestor + "/" + privateRuntimeLibrary(t));

            const std::string work = dir.file("work");
            std::filesystem::create_directories(work);
            RunOptions options;
            options.cwd = work;
            options.env["JAVA_HOME"] = std::nullopt;
            options.env["JRE_HOME"] = std::nullopt;
            RunResult r = runOn(t, exe, {}, options);
            EXPECT_FALSE(exists(work + "/runtime-loaded.txt")) << "the ancestor's library was loaded\n" << r.err;
            EXPECT_EQ(r.exitCode, 1) << r.err;
            EXPECT_EQ(r.err, std::string("from beside\n") + kNoRuntimeAdvice);

            // The application's own runtime beside it is loaded.
            copyInto(loadRecorder(t), app + "/" + privateRuntimeLibrary(t));
            r = runOn(t, exe, {}, options);
            EXPECT_TRUE(exists(work + "/runtime-loaded.txt")) << r.err;
            EXPECT_EQ(r.exitCode, 4) << r.err;

            // A runtime that starts binds the natives: the loader reads the
            // main class out of the archive, main is reached, and the URL
            // handler, bound on first use, reads a resource.
            copyInto(recordingRuntime(t), app + "/" + privateRuntimeLibrary(t));
            const std::string trace = dir.file("trace.txt");
            options.env["HUX_DOUBLE_TRACE"] = t.windows() ? winePath(trace) : trace;
            options.env["HUX_DOUBLE_SCRIPT"] = "print reached main;resource lib/shared.txt";
            r = runOn(t, exe, {}, options);
            EXPECT_EQ(r.exitCode, 0) << r.err;
            EXPECT_EQ(r.out, "reached main\n") << r.err;
            const std::string traced = readFile(trace);
            EXPECT_NE(traced.find("main resource lib/shared.txt: 17 bytes \"shared from lib1.\"\n"), std::string::npos)
                << traced;
            EXPECT_EQ(traced.find("UnsatisfiedLinkError"), std::string::npos) << traced;
        }
    }
}
