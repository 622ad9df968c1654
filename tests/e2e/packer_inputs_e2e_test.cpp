// The packer as a user meets it: `hux pack app.jar` with every default, argument
// files, outputs that would destroy an input, the warnings about classes it
// packs, and flattened packages that read their own jar's attributes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/harness.h"
#include "tool/payload/zip_writer.h"

using namespace hux::e2e;
namespace fs = std::filesystem;

namespace {

// Compiles `sources` (path under src/ -> text) for `release` into `classes`
// and jars them with `manifest` (none when empty).
void makeJar(const TempDir& dir, const std::string& jar, const std::map<std::string, std::string>& sources,
             const std::string& manifest = "", int release = 8, const std::string& name = "") {
    const std::string jdk = installedJdks().front();
    const std::string tag = name.empty() ? fs::path(jar).stem().string() : name;
    const std::string src = dir.file("src-" + tag), classes = dir.file("classes-" + tag);
    std::vector<std::string> javac = {jdk + "/bin/javac", "--release", std::to_string(release), "-d", classes};
    for (const auto& [path, text] : sources) {
        fs::create_directories(fs::path(src + "/" + path).parent_path());
        std::ofstream(src + "/" + path) << text;
        javac.push_back(src + "/" + path);
    }
    RunResult compiled = run(javac);
    ASSERT_EQ(compiled.exitCode, 0) << compiled.err;
    std::vector<std::string> jarCommand = {jdk + "/bin/jar", manifest.empty() ? "cf" : "cfm", dir.file(jar)};
    if (!manifest.empty()) jarCommand.push_back(dir.write("manifest-" + tag + ".txt", manifest));
    jarCommand.insert(jarCommand.end(), {"-C", classes, "."});
    RunResult jarred = run(jarCommand);
    ASSERT_EQ(jarred.exitCode, 0) << jarred.err;
}

const char* const kMain =
    "package demo;\npublic class Main {\n"
    "  public static void main(String[] a) { System.out.println(\"hello from demo\"); }\n}\n";

std::string warningsOf(const std::string& err) {
    std::string out;
    size_t at = 0;
    while ((at = err.find("hux pack: warning: ", at)) != std::string::npos) {
        const size_t end = err.find('\n', at);
        out += err.substr(at, end - at + 1);
        at = end;
    }
    return out;
}

}  // namespace

TEST(PackerInputs, AJarAloneIsEnough) {
    TempDir dir;
    makeJar(dir, "app.jar", {{"demo/Main.java", kMain}}, "Main-Class: demo.Main \n");
    const std::string jdk = installedJdks().front();
    RunResult packed = run({toolPath(), "pack", "app.jar"}, {.cwd = dir.path()});
    ASSERT_EQ(packed.exitCode, 0) << packed.err;
    EXPECT_EQ(packed.err, "");  // nothing extra when standard error is no terminal
    RunResult shown = run({toolPath(), "inspect", dir.file("app")});
    EXPECT_TRUE(has(shown.out, "  mainclass demo.Main\n")) << shown.out;  // trimmed, as java -jar takes it
    RunResult ran = runOn(Target{"linux-x64"}, dir.file("app"), {}, {.env = {{"JAVA_HOME", jdk}}});
    EXPECT_EQ(ran.out, "hello from demo\n") << ran.err;

    // Arguments from a file, quotes around one with blanks; the version.
    dir.write("args.txt", "pack -t linux-x64\n  -l \"mainclass demo.Main\" -o 'my app' app.jar\n");
    RunResult fromFile = run({toolPath(), "@args.txt"}, {.cwd = dir.path()});
    ASSERT_EQ(fromFile.exitCode, 0) << fromFile.err;
    EXPECT_TRUE(fs::exists(dir.file("my app")));
    EXPECT_EQ(run({toolPath(), "--version"}).out.rfind("hux ", 0), 0u);
    if (windowsStubAvailable()) {
        RunResult windows = run({toolPath(), "pack", "-t", "windows-x64", "app.jar"}, {.cwd = dir.path()});
        ASSERT_EQ(windows.exitCode, 0) << windows.err;
        EXPECT_TRUE(fs::exists(dir.file("app.exe")));
        // The checksum kept while streaming, CRC and size patches included,
        // is the one the image needs (osslsigncode drops the last byte of a
        // file of odd length, so the file is made even).
        dir.write("notes.txt", std::string(5000, 'n'));
        for (const std::string comment : {"", "x"}) {
            const std::string exe = dir.file("sum.exe");
            ASSERT_EQ(run({toolPath(), "pack", "-t", "windows-x64", "-o", exe, "--archive-comment", comment, "app.jar",
                           "notes.txt"},
                          {.cwd = dir.path()})
                          .exitCode,
                      0);
            if (fs::file_size(exe) % 2 != 0) continue;
            RunResult verified = run({"osslsigncode", "verify", "-in", exe});
            EXPECT_TRUE(has(verified.out + verified.err, "PE checksum")) << verified.out << verified.err;
            EXPECT_FALSE(has(verified.out + verified.err, "Calculated PE checksum")) << verified.out;
        }
    }
    // A jar without Main-Class and no mainclass line: one line that says what to add.
    makeJar(dir, "lib.jar", {{"demo/Main.java", kMain}}, "", 8, "lib");
    RunResult none = run({toolPath(), "pack", "lib.jar"}, {.cwd = dir.path()});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_EQ(none.err,
              "hux pack: 'lib.jar' names no Main-Class in its manifest and the configuration no 'mainclass' (add -l "
              "\"mainclass your.app.Main\", or pass --no-main)\n");
    EXPECT_FALSE(fs::exists(dir.file("lib")));
}

TEST(PackerInputs, AnOutputThatIsAnInputIsRefusedAndNothingWritten) {
    TempDir dir;
    makeJar(dir, "in.jar", {{"demo/Main.java", kMain}}, "Main-Class: demo.Main\n");
    dir.write("self.cfg", "mainclass demo.Main\n");
    fs::create_hard_link(dir.file("in.jar"), dir.file("same.jar"));
    fs::create_directories(dir.file("sub"));
    const std::string stub = dir.file("stub");
    fs::copy_file(buildDir() + "/share/hux/stubs/linux-x64/hux-stub", stub);
    struct Case {
        const char* what;
        std::vector<std::string> args;
        std::string victim;
    };
    const std::vector<Case> cases = {
        {"the input", {"-l", "mainclass demo.Main", "-o", "in.jar", "in.jar"}, "in.jar"},
        {"the input spelt otherwise", {"-o", "sub/../in.jar", "in.jar"}, "in.jar"},
        {"the input through a hard link", {"-o", "same.jar", "in.jar"}, "in.jar"},
        {"the configuration", {"-o", "self.cfg", "-c", "self.cfg", "in.jar"}, "self.cfg"},
        {"the stub", {"-o", "stub", "--stub", "stub", "in.jar"}, "stub"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string before = readFile(dir.file(c.victim));
        std::vector<std::string> argv = {toolPath(), "pack", "-t", "linux-x64"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        RunResult r = run(argv, {.cwd = dir.path()});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_TRUE(has(r.err, "writing it would destroy that file")) << r.err;
        EXPECT_EQ(readFile(dir.file(c.victim)), before);
    }
}

TEST(PackerInputs, WarningsAboutTheClassesPacked) {
    TempDir dir;
    makeJar(dir, "app.jar",
            {{"demo/Main.java", kMain},
             {"demo/Child.java", "package demo;\npublic class Child extends Main {}\n"},
             {"demo/NoMain.java", "package demo;\npublic class NoMain { static void main(String[] a) {} }\n"}},
            "", 8);
    makeJar(dir, "new.jar", {{"lib/New.java", "package lib;\npublic class New {}\n"}}, "", 11);
    // Java 8 classes beside a module descriptor and a multi-release jar's
    // classes for later Java versions, which a class path on Java 8 never loads.
    {
        hux::tool::ZipWriter modular;
        std::string error;
        auto classOf = [](uint8_t major) { return std::vector<uint8_t>{0xCA, 0xFE, 0xBA, 0xBE, 0, 0, 0, major}; };
        ASSERT_TRUE(modular.add("lib/Old.class", classOf(52), hux::tool::ZipWriter::Method::Deflated, error));
        ASSERT_TRUE(modular.add("module-info.class", classOf(53), hux::tool::ZipWriter::Method::Deflated, error));
        ASSERT_TRUE(modular.add("META-INF/versions/11/lib/Old.class", classOf(55),
                                hux::tool::ZipWriter::Method::Deflated, error));
        ASSERT_TRUE(modular.add("META-INF/versions/9/module-info.class", classOf(53),
                                hux::tool::ZipWriter::Method::Deflated, error));
        ASSERT_TRUE(modular.finish(error)) << error;
        dir.write("modular.jar", std::string(modular.bytes().begin(), modular.bytes().end()));
    }
    struct Case {
        const char* what;
        std::vector<std::string> lines;
        std::vector<std::string> jars;
        const char* warning;  // empty: no warning at all
    };
    const std::vector<Case> cases = {
        {"all well", {"mainclass demo.Main"}, {"app.jar"}, ""},
        {"an inherited main", {"mainclass demo.Child"}, {"app.jar"}, ""},
        {"no such class", {"mainclass demo.Missing"}, {"app.jar"}, "'demo.Missing' is in none of the packed files"},
        {"no such class, but a class path outside", {"mainclass demo.Missing", "classpath ext/*.jar"}, {"app.jar"}, ""},
        {"main not public", {"mainclass demo.NoMain"}, {"app.jar"}, "has no 'public static void main(String[])'"},
        {"classes for Java 11",
         {"mainclass demo.Main"},
         {"app.jar", "new.jar"},
         "the packed classes need Java 11 (class file version 55, 'lib/New.class' in 'new.jar'), but without "
         "'minjre' the launcher accepts Java 8; set 'minjre 11'"},
        {"classes for Java 11, minjre 1.8",
         {"mainclass demo.Main", "minjre 1.8"},
         {"app.jar", "new.jar"},
         "but 'minjre 1.8' allows Java 8; set 'minjre 11'"},
        {"classes for Java 11, minjre 11", {"mainclass demo.Main", "minjre 11.0.2"}, {"app.jar", "new.jar"}, ""},
        {"a module descriptor and versioned classes", {"mainclass demo.Main"}, {"app.jar", "modular.jar"}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> files;
        for (const std::string& jar : c.jars) files.push_back(dir.file(jar));
        RunResult r = pack(Target{"linux-x64"}, dir.file("out"), c.lines, files);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const std::string warnings = warningsOf(r.err);
        if (*c.warning == 0) {
            EXPECT_EQ(warnings, "");
        } else {
            EXPECT_EQ(std::count(warnings.begin(), warnings.end(), '\n'), 1) << warnings;
            EXPECT_TRUE(has(warnings, c.warning)) << warnings;
        }
    }
}

TEST(PackerInputs, FlattenedPackagesReadTheirOwnJarsAttributesAsWithJavaCp) {
    TempDir dir;
    const std::string show =
        "package first;\npublic class Show {\n"
        "  public static void main(String[] a) throws Exception {\n"
        "    for (String c : new String[] {\"first.Show\", \"second.B\", \"third.C\", \"fourth.D\"}) {\n"
        "      Package p = Class.forName(c).getPackage();\n"
        "      System.out.println(p.getName() + \" [\" + p.getImplementationTitle() + \"] [\" + "
        "p.getImplementationVersion() + \"] [\" + p.getImplementationVendor() + \"] [\" + "
        "p.getSpecificationTitle() + \"] [\" + p.getSpecificationVersion() + \"] [\" + "
        "p.getSpecificationVendor() + \"]\");\n"
        "    }\n  }\n}\n";
    makeJar(dir, "first.jar", {{"first/Show.java", show}},
            "Implementation-Title: First\nImplementation-Version: 1.0\nSpecification-Title: Spec\n"
            "Specification-Vendor: Acme\n");
    makeJar(dir, "second.jar", {{"second/B.java", "package second;\npublic class B {}\n"}}, "");
    makeJar(dir, "third.jar", {{"third/C.java", "package third;\npublic class C {}\n"}},
            "Implementation-Version: 3.0\nImplementation-Vendor: Third\n");
    makeJar(dir, "fourth.jar", {{"fourth/D.java", "package fourth;\npublic class D {}\n"}},
            "Name: fourth/\nImplementation-Title: Fourth\n\n");
    const std::vector<std::string> jars = {dir.file("first.jar"), dir.file("second.jar"), dir.file("third.jar"),
                                           dir.file("fourth.jar")};
    for (const std::string& jdk : installedJdks()) {
        SCOPED_TRACE(jdk);
        RunResult expected =
            run({jdk + "/bin/java", "-cp", jars[0] + ":" + jars[1] + ":" + jars[2] + ":" + jars[3], "first.Show"});
        ASSERT_EQ(expected.exitCode, 0) << expected.err;
        ASSERT_TRUE(has(expected.out, "second [null] [null]")) << expected.out;
        const std::string exe = dir.file("flat");
        RunResult packed =
            pack(Target{"linux-x64"}, exe, {"mainclass first.Show", "jre_order c", "jvmdll " + jvmLibraryOf(jdk)}, jars,
                 {"--flatten"});
        ASSERT_EQ(packed.exitCode, 0) << packed.err;
        RunResult flattened = runOn(Target{"linux-x64"}, exe);
        EXPECT_EQ(flattened.out, expected.out) << flattened.err;
    }
}

TEST(PackerInputs, MistakesNameTheirCauseAndCommandLineMistakesExitTwo) {
    TempDir dir;
    makeJar(dir, "app.jar", {{"demo/Main.java", kMain}}, "Main-Class: demo.Main\n");
    dir.write("notzip.jar", "not a zip archive");
    const std::vector<std::string> before = filesIn(dir.path());
    const struct {
        std::vector<std::string> args;
        int code;
        std::string line;  // all of standard error
    } cases[] = {
        {{"pack", "nonexist.jar"}, 1, "hux pack: cannot read 'nonexist.jar': No such file or directory\n"},
        {{"pack", "-o", "out", "app.jar", "."}, 1, "hux pack: cannot read '.': it is a folder\n"},
        {{"pack", "-c", "missing.cfg", "app.jar"},
         1,
         "hux pack: cannot read the configuration file 'missing.cfg': No such file or directory\n"},
        {{"pack", "notzip.jar"},
         1,
         "hux pack: 'notzip.jar' is not a jar (no zip archive), so it names no Main-Class, and the configuration no "
         "'mainclass' (add -l \"mainclass your.app.Main\", or pass --no-main)\n"},
        {{"pack", "-o", "missingdir/app", "app.jar"},
         1,
         "hux pack: cannot write 'missingdir/app': the folder 'missingdir' does not exist\n"},
        {{"pack", "--jlink", "-o", "missingdir/app", "app.jar"},
         1,
         "hux pack: cannot write 'missingdir/app': the folder 'missingdir' does not exist\n"},
        {{"pack", "-o", "app.jar/app", "app.jar"},
         1,
         "hux pack: cannot write 'app.jar/app': the folder 'app.jar' is not a folder\n"},
        {{"pack"}, 2, "hux pack: nothing to pack: name the jar (hux pack app.jar; see --help)\n"},
        {{"pack", "-t", "macos", "app.jar"}, 2, "hux pack: unknown target 'macos' (use linux-x64 or windows-x64)\n"},
        {{"pack", "-t", "linux-x64", "--gui", "app.jar"},
         2,
         "hux pack: --icon, --manifest, --gui and the version options apply to windows-x64 only\n"},
        {{"pack", "-t", "linux-x64", "--sign-key", "k.pem", "--sign-cert", "c.pem", "app.jar"},
         2,
         "hux pack: signing applies to windows-x64 only\n"},
        {{"pack", "-t", "windows-x64", "--sign-key", "k.pem", "app.jar"},
         2,
         "hux pack: signing needs both --sign-key and --sign-cert (or a .pfx or .p12 --sign-key alone)\n"},
        {{"pack", "-t", "windows-x64", "--language", "xx-nowhere", "app.jar"}, 2, ""},
        {{"pack", "-l", "mainclass a\nb", "app.jar"},
         2,
         "hux pack: the configuration line 'mainclass a\nb' cannot be encoded (line break, NUL or invalid UTF-8)\n"},
        {{"pack", "--embed", "app.jar"}, 2, ""},
        {{"pack", "--no-such-option", "app.jar"}, 2, ""},
        {{"inspect"}, 2, ""},
        {{"inspect", "nonexist"}, 1, "hux inspect: cannot read 'nonexist': No such file or directory\n"},
        {{}, 2, "hux: name a command: pack, inspect or installer (see --help)\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {toolPath()};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(testing::PrintToString(c.args));
        RunResult r = run(argv, {.cwd = dir.path()});
        EXPECT_EQ(r.exitCode, c.code) << r.err;
        if (c.line.empty()) {
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        } else {
            EXPECT_EQ(r.err, c.line);
        }
        EXPECT_EQ(filesIn(dir.path()), before);  // nothing written
    }
    // The usage line names the program; the commands are told in a user's words.
    RunResult help = run({toolPath(), "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(has(help.out, "Usage: hux [OPTIONS] [SUBCOMMAND]")) << help.out;
    EXPECT_TRUE(has(help.out, "Show what a packed executable holds: its configuration and the files in it"))
        << help.out;
}

// A manifest naming its main class with slashes runs, as under `java -jar`.
TEST(PackerInputs, AManifestMainClassWrittenWithSlashesRuns) {
    TempDir dir;
    makeJar(dir, "app.jar", {{"demo/Main.java", kMain}}, "Main-Class: demo/Main\n");
    for (const std::string& jdk : installedJdks()) {
        SCOPED_TRACE(jdk);
        ASSERT_EQ(run({toolPath(), "pack", "-t", "linux-x64", "app.jar"}, {.cwd = dir.path()}).exitCode, 0);
        RunResult ran = runOn(Target{"linux-x64"}, dir.file("app"), {}, {.env = {{"JAVA_HOME", jdk}}});
        EXPECT_EQ(ran.out, "hello from demo\n") << ran.err;
        EXPECT_EQ(ran.exitCode, 0) << ran.err;
    }
}

// An in-process compiler (Debian's Eclipse compiler) compiling against a
// library packed with it finds the library through `java.class.path`, which
// it reads only as a list of directories and ".jar" files: flattened, that
// names a link ending in ".jar" that leads to the executable, while the
// classes keep the executable as their code source.
TEST(PackerInputs, AnInProcessCompilerCompilesAgainstTheFlattenedLibrary) {
    const std::string ecj = "/usr/share/java/eclipse-jdt-core.jar";
    if (!fs::exists(ecj)) GTEST_SKIP() << "no " << ecj << " (apt install ecj)";
    TempDir dir;
    makeJar(dir, "lib.jar",
            {{"p/Lib.java", "package p;\npublic class Lib { public static int six() { return 6; } }\n"}});
    makeJar(dir, "build.jar",
            {{"b/Build.java",
              "package b;\nimport java.lang.reflect.*;\npublic class Build {\n"
              "  public static void main(String[] a) throws Exception {\n"
              "    System.out.println(\"from \" + Build.class.getProtectionDomain().getCodeSource().getLocation());\n"
              "    Method compile = null;\n"
              "    for (Method m : Class.forName(\"org.eclipse.jdt.internal.compiler.batch.Main\").getMethods())\n"
              "      if (m.getName().equals(\"compile\") && Modifier.isStatic(m.getModifiers())\n"
              "          && m.getParameterCount() == 4 && m.getParameterTypes()[0] == String[].class) compile = m;\n"
              "    Object ok = compile.invoke(null, new String[] {\"-17\", \"-proc:none\", \"-d\", a[1], a[0]},\n"
              "        new java.io.PrintWriter(System.out, true), new java.io.PrintWriter(System.err, true), null);\n"
              "    System.exit(Boolean.TRUE.equals(ok) ? 0 : 3);\n  }\n}\n"}},
            "", 17, "build");
    const std::string source = dir.write("src/U.java", "public class U { int v = p.Lib.six(); }\n");
    RunOptions home;
    home.env["XDG_CACHE_HOME"] = dir.file("cache");
    // Nested, the packer says it needs --flatten.
    RunResult nested = run({toolPath(), "pack", "-t", "linux-x64", "-l", "mainclass b.Build", "-o", dir.file("nested"),
                            dir.file("build.jar"), dir.file("lib.jar"), ecj});
    EXPECT_TRUE(has(nested.err, "the Eclipse compiler compiles against the jars java.class.path lists")) << nested.err;
    EXPECT_TRUE(has(nested.err, "pack with --flatten")) << nested.err;
    for (const std::string& jdk : installedJdks()) {
        if (jdkMajorVersion(jdk) < 17) continue;
        SCOPED_TRACE(jdk);
        const std::string exe = dir.file("build");
        RunResult packed = run({toolPath(), "pack", "-t", "linux-x64", "--flatten", "-l", "mainclass b.Build", "-l",
                                "jvmdll " + jvmLibraryOf(jdk), "-l", "jre_order c", "-o", exe, dir.file("build.jar"),
                                dir.file("lib.jar"), ecj});
        ASSERT_EQ(packed.exitCode, 0) << packed.err;
        EXPECT_FALSE(has(packed.err, "the Eclipse compiler")) << packed.err;
        fs::remove_all(dir.file("out"));
        RunResult ran = runOn(Target{"linux-x64"}, exe, {source, dir.file("out")}, home);
        EXPECT_EQ(ran.exitCode, 0) << ran.out << ran.err;
        EXPECT_FALSE(has(ran.out + ran.err, "incorrect classpath")) << ran.out << ran.err;
        EXPECT_TRUE(fs::exists(dir.file("out/U.class"))) << ran.out << ran.err;
        // The classes' code source stays the executable.
        EXPECT_TRUE(has(ran.out, "from file:" + exe + "\n")) << ran.out;
    }
}
