// A runtime library planted in the directory the user runs the program from
// is never loaded: with the default configuration the `b` source looks under
// the executable's directory only. A stand-in library that records being
// loaded shows it, natively and under Wine.
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "support/harness.h"

using namespace hux::e2e;

TEST(LibraryPlanting, ARuntimeInTheWorkingDirectoryIsNeverLoaded) {
    for (const Target& t : targets()) {
        SCOPED_TRACE(t.name);
        if (!exists(loadRecorder(t))) {
            ADD_FAILURE() << "no stand-in library " << loadRecorder(t);
            continue;
        }
        // The default configuration (search order "cbsie", jre "./jre/"), a
        // relative private runtime and a relative runtime library.
        struct Case {
            std::vector<std::string> lines;
            std::string library;  // where it would be found, relative
        };
        const std::string dll = t.windows() ? "rt/jvm.dll" : "rt/libjvm.so";
        const std::vector<Case> cases = {
            {{"mainclass app.Main"}, privateRuntimeLibrary(t)},
            {{"mainclass app.Main", "jre private"}, "private/" + privateRuntimeLibrary(t).substr(4)},
            {{"mainclass app.Main", "jvmdll " + dll}, dll},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.lines.back());
            TempDir dir;
            const std::string exe = dir.file("app/" + t.exeName("tool"));
            std::filesystem::create_directories(dir.file("app"));
            const std::vector<std::string> files{"lib/app.jar=" + appJarDir() + "/app.jar"};
            ASSERT_EQ(pack(t, exe, c.lines, files).exitCode, 0);
            const std::string work = dir.file("work");
            copyInto(loadRecorder(t), work + "/" + c.library);

            RunOptions options;
            options.cwd = work;
            const std::vector<std::string> jdks = installedJdks();
            // On Linux the run goes on to a real runtime; Windows has none here.
            if (!t.windows() && !jdks.empty())
                options.env["JAVA_HOME"] = jdks.front();
            else
                options.env["JAVA_HOME"] = std::nullopt;
            options.env["JRE_HOME"] = std::nullopt;
            RunResult r = runOn(t, exe, {}, options);
            EXPECT_FALSE(exists(work + "/runtime-loaded.txt")) << "the planted library was loaded\n" << r.err;
            EXPECT_EQ(r.exitCode, t.windows() ? 1 : 0) << r.err;  // Windows: no runtime found

            // The same library beside the executable is the application's own
            // runtime: it is loaded (and its failing creation entry reported).
            copyInto(loadRecorder(t), dir.file("app/" + c.library));
            r = runOn(t, exe, {}, options);
            EXPECT_TRUE(exists(work + "/runtime-loaded.txt")) << r.err;
            EXPECT_EQ(r.exitCode, 4) << r.err;
        }
    }
}
