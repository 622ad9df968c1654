// The class loader against `java -cp`: the probe application prints what the
// loader answers (classes, code sources, URLs, connections, packages, signers,
// services) and the packed executable must print the same as `java -cp` with
// the same jars, on every installed JDK.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <regex>
#include <fstream>
#include <mutex>

#include "support/harness.h"

using namespace hux::e2e;

namespace {

const Target kLinux{"linux-x64"};

// Standard output without the virtual machine's class-data-sharing note,
// which newer JDKs log there when a system class loader is configured.
std::string appOutput(const RunResult& r) {
    std::string out;
    size_t at = 0;
    while (at < r.out.size()) {
        size_t end = r.out.find('\n', at);
        end = end == std::string::npos ? r.out.size() : end + 1;
        const std::string line = r.out.substr(at, end - at);
        if (!(line.rfind("[", 0) == 0 && has(line, "][cds]"))) out += line;
        at = end;
    }
    return out;
}

// The probe jars, built once per run by the kit with the first JDK.
const std::string& kitDir() {
    static std::string dir;
    static std::once_flag once;
    std::call_once(once, [] {
        const std::string out = buildDir() + "/tests/e2e/kit";
        const std::string stamp = out + "/.done";
        const std::string src = sourceDir() + "/tests/e2e/apps/kit";
        std::error_code ec;
        // Reused while newer than the kit's sources.
        const auto built = std::filesystem::last_write_time(stamp, ec);
        if (!ec && built > std::filesystem::last_write_time(src + "/JarKit.java", ec) &&
            built > std::filesystem::last_write_time(src + "/Probe.java", ec)) {
            dir = out;
            return;
        }
        std::filesystem::remove_all(out, ec);
        const std::string java = installedJdks().front() + "/bin/java";
        RunOptions options;
        options.timeoutMs = 900000;
        RunResult r = run({java, "-Djarkit.dir=" + src, src + "/JarKit.java", out}, options);
        if (r.exitCode == 0) {
            std::ofstream(stamp).put('\n');
            dir = out;
        } else {
            ADD_FAILURE() << "building the probe jars failed: " << r.out << r.err;
        }
    });
    return dir;
}

const std::vector<std::string> kJars = {"probe",    "two", "mr",   "sealA", "sealB", "signed",
                                        "tampered", "big", "deep", "cpdep", "cp"};

std::vector<std::string> packedJars() {
    std::vector<std::string> files;
    for (const std::string& j : kJars) files.push_back("lib/" + j + ".jar=" + kitDir() + "/" + j + ".jar");
    return files;
}

std::string javaClassPath(const std::vector<std::string>& jars) {
    std::string cp;
    for (const std::string& j : jars) cp += (cp.empty() ? "" : ":") + j;
    return cp;
}

std::string packProbe(const TempDir& dir, const std::string& name, const std::string& jdk,
                      std::vector<std::string> lines = {}, std::vector<std::string> files = packedJars()) {
    lines.insert(lines.begin(), {"mainclass probe.Main", "jre_order c", "jvmdll " + jvmLibraryOf(jdk)});
    const std::string exe = dir.file(name);
    RunResult r = pack(kLinux, exe, lines, files);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return exe;
}

RunResult javaCp(const std::string& jdk, const std::string& cp, const std::vector<std::string>& args,
                 const std::vector<std::string>& options = {}) {
    std::vector<std::string> argv = {jdk + "/bin/java"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.insert(argv.end(), {"-cp", cp, "probe.Main"});
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv);
}

class Loader : public ::testing::Test {
protected:
    void SetUp() override {
        jdks_ = installedJdks();
        ASSERT_FALSE(jdks_.empty());
        ASSERT_FALSE(kitDir().empty());
    }
    // Runs the probe with `args` under `java -cp` over the kit's `jars` (as
    // {stored name, kit jar}, in class-path order) and packed from them in
    // both loader modes, on every JDK: the outputs must agree, and
    // `checkJava` looks at `java -cp`'s, so that a shared fault cannot pass.
    void expectAsJavaCp(const std::string& name, const std::vector<std::pair<std::string, std::string>>& jars,
                        const std::vector<std::string>& args, const std::function<void(const std::string&)>& checkJava,
                        bool alsoFlattened = false, const std::vector<std::string>& options = {}) {
        const std::string kit = kitDir();
        std::vector<std::string> files;
        std::string cp;
        for (const auto& [stored, jar] : jars) {
            files.push_back(stored + "=" + kit + "/" + jar);
            cp += (cp.empty() ? "" : ":") + kit + "/" + jar;
        }
        for (const std::string& jdk : jdks_) {
            SCOPED_TRACE(jdk);
            RunResult plain = javaCp(jdk, cp, args, options);
            ASSERT_EQ(plain.exitCode, 0) << plain.err;
            checkJava(plain.out);
            std::vector<std::string> lines;
            for (const std::string& option : options) lines.push_back("option " + option);
            for (const std::string mode : {"true", "false"}) {
                SCOPED_TRACE("assystemclassloader " + mode);
                lines.push_back("assystemclassloader " + mode);
                const std::string exe = packProbe(dir_, name + "-" + mode, jdk, lines, files);
                lines.pop_back();
                RunResult packed = runOn(kLinux, exe, args);
                packed.out = appOutput(packed);
                EXPECT_EQ(packed.exitCode, 0) << packed.err;
                EXPECT_EQ(packed.out, plain.out);
            }
            if (alsoFlattened) {
                SCOPED_TRACE("flattened");
                const std::string exe = dir_.file(name + "-flat");
                std::vector<std::string> flat = {"mainclass probe.Main", "jre_order c", "jvmdll " + jvmLibraryOf(jdk)};
                flat.insert(flat.end(), lines.begin(), lines.end());
                ASSERT_EQ(pack(kLinux, exe, flat, files, {"--flatten"}).exitCode, 0);
                RunResult packed = runOn(kLinux, exe, args);
                packed.out = appOutput(packed);
                EXPECT_EQ(packed.exitCode, 0) << packed.err;
                EXPECT_EQ(packed.out, plain.out);
            }
        }
    }

    std::vector<std::string> jdks_;
    TempDir dir_;
};

}  // namespace

TEST_F(Loader, AnswersAsJavaClassPathDoes) {
    const std::vector<std::string> args = {"load",
                                           "mr.Version",
                                           "load",
                                           "seal.A",
                                           "load",
                                           "seal.B",
                                           "load",
                                           "sig.S",
                                           "cs",
                                           "sig.S",
                                           "cs",
                                           "probe.Main",
                                           "load",
                                           "sig2.T",
                                           "load",
                                           "big.Big",
                                           "load",
                                           "cp.Uses",
                                           "services",
                                           "count",
                                           "shared.txt",
                                           "bytes",
                                           "probe/Main.class",
                                           "conn",
                                           "probe/Main.class",
                                           "conn",
                                           "probe/data/f.txt",
                                           "conn",
                                           "probe/none",
                                           "rel",
                                           "probe/data/sub/g.txt",
                                           "../f.txt",
                                           "rel",
                                           "probe/data/f.txt",
                                           "../../probe/x.txt",
                                           "rel",
                                           "probe/data/f.txt",
                                           "/probe/x.txt",
                                           "rel",
                                           "probe/data/f.txt",
                                           "nothere.txt",
                                           "rel",
                                           "probe/data/f.txt",
                                           "#part",
                                           "rel",
                                           "probe/data/f.txt",
                                           "",
                                           "uri",
                                           "probe/with space.txt",
                                           "uri",
                                           "probe/caf\xC3\xA9 #1%.txt",
                                           "uri",
                                           "probe/data/f.txt",
                                           "pkg",
                                           "probe.Main",
                                           "pkg",
                                           "seal.A",
                                           "load",
                                           "probe.deep.Impl",
                                           "perm",
                                           "probe.Main",
                                           "perm",
                                           "sig.S",
                                           "loadername",
                                           "probe.Main"};
    std::vector<std::string> jars;
    for (const std::string& j : kJars) jars.push_back(kitDir() + "/" + j + ".jar");
    for (const std::string& jdk : jdks_) {
        SCOPED_TRACE(jdk);
        const std::string exe = packProbe(dir_, "probe", jdk);
        RunOptions utf8;
        utf8.env["LC_ALL"] = "C.UTF-8";
        RunResult packed = runOn(kLinux, exe, args, utf8);
        packed.out = appOutput(packed);
        RunResult plain = javaCp(jdk, javaClassPath(jars), args);
        ASSERT_EQ(plain.exitCode, 0) << plain.err;
        EXPECT_EQ(packed.exitCode, 0) << packed.err;
        EXPECT_EQ(packed.out, plain.out);
        // What both must show, so that a shared fault cannot pass.
        const int major = jdkMajorVersion(jdk);
        EXPECT_TRUE(has(packed.out, major >= 21 ? "load mr.Version: version 21\n" : "load mr.Version: version 17\n"))
            << packed.out;
        EXPECT_TRUE(
            has(packed.out, "load seal.B: java.lang.SecurityException: sealing violation: package seal is sealed\n"))
            << packed.out;
        EXPECT_TRUE(has(packed.out, "cs sig.S: file=true signers=1 by 1 certificate(s)\n")) << packed.out;
        // JDK 17 grants reading the code source and "exitVM"; later ones grant nothing.
        EXPECT_TRUE(has(packed.out,
                        major >= 24 ? "perm probe.Main: read=false write=false readonly=true add refused elements=0\n"
                                    : "perm probe.Main: read=true write=false readonly=true add refused elements=2\n"))
            << packed.out;
        EXPECT_TRUE(
            has(packed.out, "load sig2.T: java.lang.SecurityException: SHA-256 digest error for sig2/T.class\n"))
            << packed.out;
        EXPECT_TRUE(
            has(packed.out, "load big.Big: big\nload cp.Uses: uses dependency\nservices: []\ncount shared.txt: 2\n"))
            << packed.out;
        EXPECT_TRUE(has(packed.out, "rel ../f.txt: f content\n")) << packed.out;
        EXPECT_TRUE(has(packed.out, "rel nothere.txt: java.io.FileNotFoundException\n")) << packed.out;
        EXPECT_TRUE(has(packed.out, "rel #part: f content\n")) << packed.out;  // a fragment keeps the entry
        EXPECT_TRUE(has(packed.out, "loadername probe.Main: app\n")) << packed.out;
        EXPECT_TRUE(has(packed.out, "uri probe/with space.txt: spaced / spaced\n")) << packed.out;
        EXPECT_TRUE(has(packed.out, "conn probe/none: null\n")) << packed.out;
        EXPECT_TRUE(has(packed.out, "type=application/java-vm\n")) << packed.out;  // a class file, by its bytes
        EXPECT_TRUE(has(packed.out, "type=text/plain\n")) << packed.out;
        EXPECT_FALSE(has(packed.out, "bytes probe/Main.class: null")) << packed.out;
    }
}

TEST_F(Loader, MultiReleaseJarServesTheRunningVersionsClassesAndResources) {
    const std::vector<std::string> args = {
        "load", "mr.Version", "bytes", "mr/res.txt", "entry", "mr/res.txt", "conn", "mr/res.txt", "each", "mr/res.txt",
        "rel", "mr/res.txt", "other.txt", "rel", "mr/res.txt", "res.txt", "classres", "mr.Version", "res.txt",
        "classres", "mr.Version", "other.txt", "entry", "mr/other.txt", "entry", "META-INF/versions/9/mr/res.txt",
        "entry", "META-INF/MANIFEST.MF",
        // names only a version directory holds
        "load", "mr.Only9", "load", "mr.Only11", "load", "mr.Only21", "load", "mr.Uses", "load", "mr.Nothing", "cs",
        "mr.Only11", "pkg", "mr.Only11", "entry", "mr/only.txt", "bytes", "mr/only.txt", "each", "mr/only.txt", "conn",
        "mr/only.txt", "classres", "mr.Only11", "only.txt", "entry", "mr/eight.txt", "entry", "META-INF/mr.txt",
        "entry", "mr/zero.txt", "load", "nomr.Base", "load", "nomr.Hidden", "entry", "nomr/hidden.txt", "load",
        "mrsig.Only", "cs", "mrsig.Only"};
    std::vector<std::string> files, jars;
    for (const std::string j : {"probe", "mr", "nomr", "mrsigned"}) {
        files.push_back("lib/" + j + ".jar=" + kitDir() + "/" + j + ".jar");
        jars.push_back(kitDir() + "/" + j + ".jar");
    }
    const std::string cp = javaClassPath(jars);
    for (const std::string& jdk : jdks_) {
        SCOPED_TRACE(jdk);
        const std::string exe = packProbe(dir_, "mr", jdk, {}, files);
        RunResult packed = runOn(kLinux, exe, args);
        packed.out = appOutput(packed);
        RunResult plain = javaCp(jdk, cp, args);
        ASSERT_EQ(plain.exitCode, 0) << plain.err;
        EXPECT_EQ(packed.exitCode, 0) << packed.err;
        EXPECT_EQ(packed.out, plain.out);
        // The highest version at or below the running one, for the class and
        // its resources alike; META-INF itself is never versioned.
        const std::string v = jdkMajorVersion(jdk) >= 21 ? "21" : "17";
        const std::string seen = v == "17" ? "resource 17 (seventeen)" : "resource 21";
        EXPECT_TRUE(has(packed.out, "load mr.Version: version " + v + "\n")) << packed.out;
        EXPECT_TRUE(has(packed.out, "entry mr/res.txt: META-INF/versions/" + v + "/mr/res.txt\n")) << packed.out;
        EXPECT_TRUE(has(packed.out, "each mr/res.txt: [" + seen + "]\n")) << packed.out;
        EXPECT_TRUE(has(packed.out, "classres res.txt: " + seen + "\n")) << packed.out;
        EXPECT_TRUE(has(packed.out, "entry META-INF/MANIFEST.MF: META-INF/MANIFEST.MF\n")) << packed.out;
        // other.txt has no version 21: version 17 serves it on both, as with `java -cp`.
        EXPECT_TRUE(has(packed.out, "classres other.txt: other 17\n")) << packed.out;
        // Names only a version directory holds, up to the running version,
        // only in a multi-release jar, with the jar's code source and signers.
        EXPECT_TRUE(has(packed.out, "load mr.Only9: only in 9\nload mr.Only11: only in 11\nload mr.Only21: " +
                                        std::string(v == "21" ? "only in 21" : "java.lang.ClassNotFoundException") +
                                        "\nload mr.Uses: uses only in 11\n"
                                        "load mr.Nothing: java.lang.ClassNotFoundException\n"
                                        "cs mr.Only11: file=true signers=0\n"))
            << packed.out;
        EXPECT_TRUE(has(packed.out,
                        "entry mr/only.txt: META-INF/versions/17/mr/only.txt\n"
                        "bytes mr/only.txt: n=7 crc="))
            << packed.out;
        EXPECT_TRUE(has(packed.out, "each mr/only.txt: [only 17]\n")) << packed.out;
        EXPECT_TRUE(has(packed.out,
                        "classres only.txt: only 17\nentry mr/eight.txt: META-INF/versions/8/mr/eight.txt\n"
                        "entry META-INF/mr.txt: null\nentry mr/zero.txt: null\n"
                        "load nomr.Base: base\nload nomr.Hidden: java.lang.ClassNotFoundException\n"
                        "entry nomr/hidden.txt: null\n"
                        "load mrsig.Only: signed only in 11\n"
                        "cs mrsig.Only: file=true signers=1 by 1 certificate(s)\n"))
            << packed.out;
    }
}

TEST_F(Loader, MultiReleaseJarsFollowTheJdksProperties) {
    // A lower version to read jars as, or none at all, as the JDK's jar reader takes them.
    const std::vector<std::string> args = {"load",      "mr.Version", "load",         "mr.Only9", "load",
                                           "mr.Only11", "entry",      "mr/eight.txt", "entry",    "mr/only.txt"};
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"-Djdk.util.jar.version=9",
         "load mr.Version: version 9\nload mr.Only9: only in 9\nload mr.Only11: java.lang.ClassNotFoundException\n"
         "entry mr/eight.txt: META-INF/versions/8/mr/eight.txt\nentry mr/only.txt: null\n"},
        {"-Djdk.util.jar.enableMultiRelease=false",
         "load mr.Version: base\nload mr.Only9: java.lang.ClassNotFoundException\n"
         "load mr.Only11: java.lang.ClassNotFoundException\nentry mr/eight.txt: null\nentry mr/only.txt: null\n"}};
    const std::vector<std::string> files = {"lib/probe.jar=" + kitDir() + "/probe.jar",
                                            "lib/mr.jar=" + kitDir() + "/mr.jar"};
    for (const std::string& jdk : jdks_) {
        for (const auto& [option, expected] : cases) {
            SCOPED_TRACE(jdk + " " + option);
            const std::string exe = packProbe(dir_, "mrprops", jdk, {"option " + option}, files);
            RunResult packed = runOn(kLinux, exe, args);
            packed.out = appOutput(packed);
            std::vector<std::string> argv = {jdk + "/bin/java", option, "-cp",
                                             kitDir() + "/probe.jar:" + kitDir() + "/mr.jar", "probe.Main"};
            argv.insert(argv.end(), args.begin(), args.end());
            RunResult plain = run(argv);
            EXPECT_EQ(plain.out, expected);
            EXPECT_EQ(packed.out, expected) << packed.err;
        }
    }
}

TEST_F(Loader, CodeSourceAndUrlsNameTheExecutable) {
    const std::string& jdk = jdks_.back();
    const std::string exe = packProbe(dir_, "where", jdk, {"classpath " + kitDir() + "/ext/b1.jar"});
    RunResult r = runOn(kLinux, exe, {"where", "probe.Main", "where", "big.Big", "urls"});
    r.out = appOutput(r);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "where probe.Main: " + exe + "\nwhere big.Big: " + exe + "\nurls: " + exe + " " + kitDir() +
                         "/ext/b1.jar\n");
}

TEST_F(Loader, ClassFilesAreNoResourcesWhenCompatibleIsOff) {
    const std::string& jdk = jdks_.front();
    const std::string exe = packProbe(dir_, "strict", jdk, {"compatible false"});
    RunResult r =
        runOn(kLinux, exe,
              {"bytes", "probe/Main.class", "conn", "probe/Main.class", "urltext", "hux:lib/probe.jar!probe/Main.class",
               "urltext", "hux:lib/probe.jar!probe/Main.clas%73", "urltext", "hux:lib/probe.jar!probe/Main%2eclass",
               "load", "big.Big", "bytes", "probe/data/f.txt", "fslist", "hux:lib/probe.jar!probe"});
    r.out = appOutput(r);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out,
              "bytes probe/Main.class: null\nconn probe/Main.class: null\n"
              "urltext hux:lib/probe.jar!probe/Main.class: java.io.FileNotFoundException\n"
              "urltext hux:lib/probe.jar!probe/Main.clas%73: java.io.FileNotFoundException\n"
              "urltext hux:lib/probe.jar!probe/Main%2eclass: java.io.FileNotFoundException\n"
              "load big.Big: big\nbytes probe/data/f.txt: n=9 crc=53af6101\n"
              "fslist hux:lib/probe.jar!probe: [caf\u00e9 #1%.txt, data, with space.txt, x.txt]\n");
}

TEST_F(Loader, ExternalClassPathKeepsItsOrderAndTakesTwoThousandJars) {
    const std::string ext = kitDir() + "/ext";
    std::vector<std::string> many;
    for (const auto& entry : std::filesystem::directory_iterator(ext + "/many")) many.push_back(entry.path().string());
    ASSERT_EQ(many.size(), 2000u);
    const std::vector<std::string> probeOnly = {"lib/probe.jar=" + kitDir() + "/probe.jar"};
    for (const std::string& jdk : jdks_) {
        SCOPED_TRACE(jdk);
        for (const auto& [first, second] : {std::pair{"b1", "a2"}, std::pair{"a2", "b1"}}) {
            const std::string exe = packProbe(
                dir_, "order", jdk,
                {std::string("classpath ") + ext + "/" + first + ".jar;" + ext + "/" + second + ".jar"}, probeOnly);
            RunResult packed = runOn(kLinux, exe, {"load", "ext.Which"});
            packed.out = appOutput(packed);
            RunResult plain =
                javaCp(jdk, kitDir() + "/probe.jar:" + ext + "/" + first + ".jar:" + ext + "/" + second + ".jar",
                       {"load", "ext.Which"});
            EXPECT_EQ(packed.out, std::string("load ext.Which: ") + first + "\n") << packed.err;
            EXPECT_EQ(packed.out, plain.out);
        }
        const std::string exe = packProbe(dir_, "many", jdk, {"libs " + ext + "/many"}, probeOnly);
        RunResult packed = runOn(kLinux, exe, {"load", "ext.Last", "count", "many/1500.txt"});
        packed.out = appOutput(packed);
        EXPECT_EQ(packed.exitCode, 0) << packed.err.substr(0, 2000);
        EXPECT_EQ(packed.out, "load ext.Last: last of many\ncount many/1500.txt: 1\n") << packed.err.substr(0, 2000);
    }
}

// After many classes from a nested jar the loader looks in nested jars
// before asking its parent, for classes only they can hold: the order must
// stay parent-first wherever the parent can answer (a runtime module's
// package, the executable's top level), in both loader modes.
TEST_F(Loader, ManyNestedClassesKeepTheParentFirstOrder) {
    const std::string kit = kitDir();
    const std::vector<std::string> files = {"lib/probe.jar=" + kit + "/probe.jar", "lib/many.jar=" + kit + "/many.jar",
                                            "many/C7.class=" + kit + "/manytop/many/C7.class"};
    const std::vector<std::string> args = {"many",    "100",  "load",     "many.C7", "loaderof",
                                           "many.C7", "load", "many.C42", "load",    "javax.xml.namespace.QName"};
    for (const std::string& jdk : jdks_) {
        SCOPED_TRACE(jdk);
        RunResult plain = javaCp(jdk, kit + "/manytop:" + kit + "/probe.jar:" + kit + "/many.jar", args);
        ASSERT_EQ(plain.exitCode, 0) << plain.err;
        EXPECT_TRUE(has(plain.out,
                        "many 100: 100 loaded C7=top\nload many.C7: top\nloaderof many.C7: "
                        "jdk.internal.loader.ClassLoaders$AppClassLoader\nload many.C42: c42\n"))
            << plain.out;
        EXPECT_FALSE(has(plain.out, "shadow")) << plain.out;
        for (const std::string mode : {"true", "false"}) {
            SCOPED_TRACE("assystemclassloader " + mode);
            const std::string exe = packProbe(dir_, "many-" + mode, jdk, {"assystemclassloader " + mode}, files);
            RunResult packed = runOn(kLinux, exe, args);
            packed.out = appOutput(packed);
            EXPECT_EQ(packed.exitCode, 0) << packed.err;
            EXPECT_EQ(packed.out, plain.out);
        }
    }
}

TEST_F(Loader, NestedJarsServeInClassPathOrderWhateverTheirNames) {
    // The jar listed first is stored under the name that would sort last.
    // Only order-b.jar holds the directory entry "order/": "order" finds it as well.
    expectAsJavaCp(
        "order",
        {{"lib/probe.jar", "probe.jar"}, {"lib/zz-listed-first.jar", "order-a.jar"}, {"lib/b.jar", "order-b.jar"}},
        {"load", "order.Which", "each", "order.txt", "services", "entry", "order.txt", "entry", "order", "count",
         "order", "count", "order/", "entry", "order.Which", "count", "ord"},
        [](const std::string& out) {
            EXPECT_EQ(out,
                      "load order.Which: a\neach order.txt: [order a][order b]\nservices: [a b ]\nentry "
                      "order.txt: order.txt\nentry order: order\ncount order: 1\ncount order/: 1\nentry "
                      "order.Which: null\ncount ord: 0\n");
        });
}

// A -javaagent runs before the launcher has bound the loader's natives:
// the machine adds the agent's jar to the system class loader's path (which
// needs the loader to take it) and loads premain from there.
TEST_F(Loader, JavaAgentsRunAsUnderJavaCp) {
    const std::string agent = "-javaagent:" + kitDir() + "/agent.jar=opts";
    expectAsJavaCp("agent", {{"lib/probe.jar", "probe.jar"}}, {"count", "shared.txt"},
                   [](const std::string& out) {
                       EXPECT_TRUE(std::regex_match(out, std::regex("premain opts by the system loader true\n"
                                                                    "own class file jar\n"
                                                                    "transform probe/Main of [1-9][0-9]* bytes\n"
                                                                    "count shared.txt: 1\n")))
                           << out;
                   },
                   true, {agent});
}

TEST_F(Loader, ResourceDirectoriesWalkWithFileSystemPathsAsJarUrisDo) {
    // A directory only implied by its file, odd names through their URIs,
    // globs, and a missing file.
    expectAsJavaCp("walk", {{"lib/probe.jar", "probe.jar"}, {"lib/tree.jar", "tree.jar"}},
                   {"walk", "tree/data", "walk", "tree/data/", "fsread", "tree/data/odd name \u00e9 #1%.txt", "pathops",
                    "tree/data"},
                   [](const std::string& out) {
                       const std::string tree =
                           "[/][f.txt 9 true f content][h.md 1 true h][odd name \u00e9 #1%.txt 8 true odd "
                           "name][sub/][sub/g.txt 9 true g content] glob [f.txt, odd name \u00e9 #1%.txt] missing "
                           "false NoSuchFileException";
                       EXPECT_EQ(out.substr(0, out.find("pathops")),
                                 "walk tree/data: " + tree + "\nwalk tree/data/: " + tree +
                                     "\nfsread tree/data/odd name \u00e9 #1%.txt: odd name \u00e9 #1%.txt odd name\n");
                   });
}

TEST_F(Loader, AMultiReleaseJarServesItsVersionsAlsoFlattenedAfterAPlainJar) {
    // The first jar's manifest, which the flattened archive keeps, says
    // nothing of versions; the second jar's does.
    expectAsJavaCp(
        "mrflat", {{"lib/probe.jar", "probe.jar"}, {"lib/mr.jar", "mr.jar"}},
        {"load", "mr.Version", "bytes", "mr/other.txt"},
        [](const std::string& out) { EXPECT_EQ(out.find("load mr.Version: base"), std::string::npos) << out; }, true);
}

TEST_F(Loader, PackagesKeepTheirOwnJarsTitlesAndVersionsAlsoFlattened) {
    // The flattened archive's manifest is the first jar's (the probe's,
    // titled "probe"): the second jar's packages read their own attributes,
    // from its main section and from a package's own section.
    expectAsJavaCp(
        "pkgattrs", {{"lib/probe.jar", "probe.jar"}, {"lib/pkgattrs.jar", "pkgattrs.jar"}},
        {"pkg", "pa.A", "pkg", "pa.sec.B", "pkg", "probe.Main"},
        [](const std::string& out) {
            EXPECT_TRUE(has(out, "pkg pa.A: pa sealed=false title=lib version=2.0 spec=Lib \xC3\xA9/1.1/null\n"))
                << out;
            EXPECT_TRUE(
                has(out, "pkg pa.sec.B: pa.sec sealed=false title=section version=2.0 spec=Lib \xC3\xA9/1.1/vendor"))
                << out;
            EXPECT_TRUE(has(out, "title=probe version=null")) << out;
        },
        true);
}

TEST_F(Loader, AClassInARuntimeModulesPackageIsNotTakenFromAJarButAResourceIs) {
    expectAsJavaCp(
        "runtimepkg", {{"lib/probe.jar", "probe.jar"}, {"lib/runtimepkg.jar", "runtimepkg.jar"}},
        {"load", "javax.xml.parsers.HuxExtra", "load", "java.util.HuxExtra", "load", "org.w3c.dom.svg.HuxSvg", "entry",
         "javax/xml/parsers/hux.txt", "count", "java/util/hux.properties", "entry", "org/w3c/dom/svg/hux.txt"},
        [](const std::string& out) {
            EXPECT_EQ(out,
                      "load javax.xml.parsers.HuxExtra: java.lang.ClassNotFoundException\n"
                      "load java.util.HuxExtra: java.lang.ClassNotFoundException\n"
                      "load org.w3c.dom.svg.HuxSvg: not a runtime package\n"
                      "entry javax/xml/parsers/hux.txt: javax/xml/parsers/hux.txt\n"
                      "count java/util/hux.properties: 1\n"
                      "entry org/w3c/dom/svg/hux.txt: org/w3c/dom/svg/hux.txt\n");
        });
}

TEST_F(Loader, EntryPointsAndFailingInitialisersAsTheJavaLauncherTakesThem) {
    // Java 25 also runs instance mains and mains without parameters; earlier
    // runtimes refuse them. A failing initialiser is an exception of main. A
    // class that a public method's signature names and nobody has ends the
    // launch before main runs.
    const std::string kit = kitDir();
    for (const std::string& jdk : jdks_) {
        SCOPED_TRACE(jdk);
        const bool later = jdkMajorVersion(jdk) >= 25;
        for (const std::string mainClass : {"mains.Instance", "mains.InstanceArgs", "mains.NoArgs", "mains.PrivateOnly",
                                            "mains.BadInit", "mains.Unlinked"}) {
            SCOPED_TRACE(mainClass);
            RunResult plain = run({jdk + "/bin/java", "-cp", kit + "/mains.jar", mainClass, "one", "two"});
            const std::string exe = dir_.file("mains-" + mainClass);
            ASSERT_EQ(pack(kLinux, exe, {"mainclass " + mainClass, "jre_order c", "jvmdll " + jvmLibraryOf(jdk)},
                           {"lib/mains.jar=" + kit + "/mains.jar"})
                          .exitCode,
                      0);
            RunResult packed = runOn(kLinux, exe, {"one", "two"});
            packed.out = appOutput(packed);
            const bool runs = later && mainClass != "mains.PrivateOnly" && mainClass != "mains.BadInit" &&
                              mainClass != "mains.Unlinked";
            EXPECT_EQ(plain.exitCode, runs ? 0 : 1) << plain.err;
            if (runs) {
                EXPECT_EQ(packed.exitCode, 0) << packed.err;
                EXPECT_EQ(packed.out, plain.out);
                EXPECT_EQ(packed.err, "");
            } else if (mainClass == "mains.Unlinked") {
                EXPECT_EQ(plain.err,
                          "Error: Unable to initialize main class mains.Unlinked\n"
                          "Caused by: java.lang.NoClassDefFoundError: mains/Gone\n");
                EXPECT_EQ(packed.exitCode, 1) << packed.err;
                EXPECT_EQ(packed.err, plain.err);
                EXPECT_EQ(packed.out, "");
            } else if (mainClass == "mains.BadInit") {
                EXPECT_EQ(packed.exitCode, 1) << packed.err;
                EXPECT_TRUE(has(packed.err, "java.lang.ExceptionInInitializerError")) << packed.err;
                EXPECT_TRUE(has(packed.err, "Caused by: java.lang.IllegalStateException: initialiser failed"))
                    << packed.err;
                EXPECT_EQ(packed.out, "");
            } else {
                EXPECT_EQ(packed.exitCode, 8) << packed.err;  // the launcher's "main method missing"
                EXPECT_TRUE(has(packed.err, "main method missing")) << packed.err;
                EXPECT_EQ(packed.out, "");
            }
        }
    }
}

TEST_F(Loader, SignedJarsAreVerifiedWhereverTheirManifestIsStored) {
    // The manifest stored last: the signers still count, and altered signed
    // content still fails.
    expectAsJavaCp(
        "late",
        {{"lib/probe.jar", "probe.jar"},
         {"lib/signed-late.jar", "signed-late.jar"},
         {"lib/tampered-late.jar", "tampered-late.jar"}},
        {"cs", "sig.S", "load", "sig2.T", "load", "sig2.Plain"}, [](const std::string& out) {
            EXPECT_TRUE(has(out, "cs sig.S: file=true signers=1 by 1 certificate(s)\n")) << out;
            EXPECT_TRUE(has(out, "load sig2.T: java.lang.SecurityException: SHA-256 digest error for sig2/T.class\n"))
                << out;
        });
}
