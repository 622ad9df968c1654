// The runtime search over a temporary tree: a fresh search for each test, with
// no runtime in the environment unless the test puts one there, and loading
// decided by name (the files these tests make are not libraries).
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/runtime_location.h"
#include "runtime/discovery.h"
#include "support/test_support.h"

namespace hux::test {

inline const std::string kLib = platform::runtimeLibraryName();
// "lib/" on Linux, "bin\" on Windows: where a runtime keeps its VM subdirectories.
inline const std::string kBin = platform::runtimeProbePrefixes()[1];
inline const bool kLinuxLayout = kLib == "libjvm.so";

// A library whose path holds "broken" does not load, one whose path holds
// "noentry" exports no creation entry; every other one loads.
inline LoadOutcome loadByName(const ByteString& library, ByteString& error) {
    if (library.view().find("broken") != std::string_view::npos) {
        error.assign("cannot open ");
        error.append(library);
        return LoadOutcome::NotLoadable;
    }
    if (library.view().find("noentry") != std::string_view::npos) return LoadOutcome::NoCreationEntry;
    return LoadOutcome::Loaded;
}

class RuntimeSearchTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"JRE_HOME", "JAVA_HOME", "HUX_DEBUG"}) env.unset(name);
        resetRuntimeSearchForTesting();
        setRuntimeLoadProbeForTesting(loadByName);
    }
    void TearDown() override {
        resetRuntimeSearchForTesting();
        setRuntimeLoadProbeForTesting(nullptr);
    }
    // A runtime home `name` with its library under the VM subdirectory and,
    // unless `version` is empty, a release file.
    std::string runtime(const std::string& name, const std::string& version) {
        const std::string library = tree.file(name + "/" + kBin + "server/" + kLib);
        if (!version.empty())
            tree.file(name + "/release", "IMPLEMENTOR=\"x\"\nJAVA_VERSION=\"" + version + "\"\nOS_NAME=\"y\"\n");
        return library;
    }
    // The library the search settles on for the configuration `lines`.
    std::string find(const std::string& lines) {
        resetRuntimeSearchForTesting();
        auto config = makeConfig(lines, tree.path("app.exe"), tree.path("work/"));
        return std::string(findRuntimeLibrary(*config).view());
    }
    // The whole choice, with the search's debug lines in `debug` when given.
    RuntimeChoice choose(const std::string& lines, std::string* debug = nullptr) {
        resetRuntimeSearchForTesting();
        auto config = makeConfig(lines, tree.path("app.exe"), tree.path("work/"));
        if (debug) {
            env.set("HUX_DEBUG", "1");
            testing::internal::CaptureStderr();
        }
        RuntimeChoice choice = chooseRuntime(*config);
        if (debug) {
            *debug = testing::internal::GetCapturedStderr();
            env.unset("HUX_DEBUG");
        }
        return choice;
    }
    TempTree tree;
    EnvGuard env;
};

}  // namespace hux::test
