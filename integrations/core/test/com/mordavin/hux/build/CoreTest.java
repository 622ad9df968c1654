package com.mordavin.hux.build;

import java.io.File;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

/**
 * Checks of the build-tool-neutral part: the command line built for each
 * target, jar naming, finding the tool, and running a stand-in tool.
 * Run: java -cp CLASSES com.mordavin.hux.build.CoreTest SCRATCH_DIR
 */
public final class CoreTest {
    private static int passed;
    private static int failed;

    private static void check(String what, Object expected, Object actual) {
        if (String.valueOf(expected).equals(String.valueOf(actual))) {
            passed++;
        } else {
            failed++;
            System.out.println("FAIL " + what + "\n  expected: " + expected + "\n  actual:   " + actual);
        }
    }

    private interface Step {
        Object run() throws Exception;
    }

    /** The message of the PackException a step throws, or "no error". */
    private static String error(Step step) {
        try {
            step.run();
            return "no error";
        } catch (PackException e) {
            return e.getMessage();
        } catch (Exception e) {
            return "unexpected " + e;
        }
    }

    private static PackRequest sample() throws PackException {
        PackRequest r = new PackRequest();
        r.addJar(new File("/b/app.jar"), "com.example");
        r.addJar(new File("/m/core-1.0.jar"), "org.one");
        r.addJar(new File("/m2/core-1.0.jar"), "org.two");
        r.addJar(new File("/m3/CORE-1.0.jar"), "org.two");
        r.setOutputDirectory(new File("/out"));
        r.setConfigFile(new File("app.cfg"));
        r.setMainClass("app.Main");
        r.addOption(" -Xmx64m ");
        r.addLine("  ");
        r.setIcon(new File("app.ico"));
        r.setGui(true);
        r.setVersionField("product-name", "App Name");
        r.setVersionField("company", " ");
        r.setVersionField("version", "1.0-SNAPSHOT");
        r.addArgument("--verbose");
        r.setFast(true);
        return r;
    }

    private static void commandLines() throws Exception {
        PackRequest r = sample();
        String jars = "-- app.jar=/b/app.jar core-1.0.jar=/m/core-1.0.jar org.two-core-1.0.jar=/m2/core-1.0.jar"
                + " 2-CORE-1.0.jar=/m3/CORE-1.0.jar";
        String[][] table = {
            // target, expected arguments
            {"linux-x64", "pack -t linux-x64 -o /out/app -c app.cfg -l mainclass app.Main -l option -Xmx64m --fast"
                    + " --verbose " + jars},
            {"windows-x64", "pack -t windows-x64 -o /out/app.exe -c app.cfg -l mainclass app.Main -l option -Xmx64m"
                    + " --fast --icon app.ico --gui --product-name App Name --version 1.0-SNAPSHOT --verbose " + jars},
        };
        for (String[] row : table) check("arguments for " + row[0], row[1], String.join(" ", r.arguments(row[0])));

        r.setOutputName("tool.exe");
        check("a name ending in .exe keeps one", "/out/tool.exe", r.outputFile(PackRequest.WINDOWS).getPath());
        check("the Linux name is as given", "/out/tool.exe", r.outputFile(PackRequest.LINUX).getPath());

        PackRequest v = new PackRequest();
        v.addJar(new File("a.JAR"), null);
        v.setVersionInfo(new File("v.txt"));
        v.setVersionField("version", "2.0");
        check("the version file comes before the fields that override it",
                "pack -t windows-x64 -o ./a.exe --version-info v.txt --version 2.0 -- a.JAR=a.JAR",
                String.join(" ", v.arguments(PackRequest.WINDOWS)));
        check("no Windows option reaches a Linux pack", "pack -t linux-x64 -o ./a -- a.JAR=a.JAR",
                String.join(" ", v.arguments(PackRequest.LINUX)));

        PackRequest eq = new PackRequest();
        eq.addJar(new File("/x/we=ird.jar"), null);
        check("'=' in a jar's name cannot split NAME=PATH", "we_ird.jar=/x/we=ird.jar",
                eq.arguments(PackRequest.LINUX).get(6));
    }

    private static void refusals() throws Exception {
        PackRequest r = new PackRequest();
        r.addTarget(" linux-x64 ");
        r.addTarget("");
        r.addTarget("linux-x64");
        check("targets are trimmed, blanks skipped, repeats dropped", "[linux-x64]", r.targets());
        String[][] table = {
            {"unknown target", error(() -> { r.addTarget("macos-arm64"); return null; }),
             "unknown hux target 'macos-arm64' (use linux-x64 or windows-x64)"},
            {"no jars", error(() -> r.arguments(PackRequest.LINUX)), "no jar to pack"},
            {"key without certificate", error(() -> {
                PackRequest s = sample();
                s.setSigning(new File("k.pem"), null);
                return s.arguments(PackRequest.WINDOWS);
            }), "signing needs both the key and the certificate"},
            {"signing is for Windows only", error(() -> {
                PackRequest s = sample();
                s.setSigning(new File("k.pem"), null);
                return s.arguments(PackRequest.LINUX);
            }), "no error"},
        };
        for (String[] row : table) check(row[0], row[2], row[1]);
    }

    /** A one-jar request with runtime settings: jlink, embed, runtime image, jdk, modules. */
    private static String runtime(boolean jlink, boolean embed, String image, String jdk, String modules) {
        return runtime(jlink, embed, image, jdk, modules, null);
    }

    /** The same with training at pack time; {@code train} null: none. */
    private static String runtime(boolean jlink, boolean embed, String image, String jdk, String modules,
                                  String train) {
        PackRequest r = new PackRequest();
        r.setTraining(train != null, train);
        r.addJar(new File("a.jar"), null);
        r.setJlink(jlink);
        r.setEmbed(embed);
        if (image != null) r.setRuntime(new File(image));
        if (jdk != null) r.setJdk(new File(jdk));
        r.addModules(modules);
        String args = error(() -> String.join(" ", r.arguments(PackRequest.LINUX)));
        return args.equals("no error") ? String.join(" ", runtimeArguments(r)) : args;
    }

    private static List<String> runtimeArguments(PackRequest r) {
        try {
            List<String> all = r.arguments(PackRequest.LINUX);
            return all.subList(5, all.indexOf("--"));
        } catch (PackException e) {
            throw new IllegalStateException(e);
        }
    }

    private static void runtimeOptions() {
        String[][] table = {
            {"jlink beside", runtime(true, false, null, null, null), "--jlink"},
            {"jlink embedded, with a JDK and modules", runtime(true, true, null, "/jdk", "java.sql, jdk.unsupported,"),
             "--jlink --embed --jdk /jdk --add-modules java.sql,jdk.unsupported"},
            {"an image beside", runtime(false, false, "/rt", null, null), "--runtime /rt"},
            {"an image embedded", runtime(false, true, "/rt", null, null), "--embed-runtime /rt"},
            {"an image and jlink", runtime(true, false, "/rt", null, null),
             "give either a runtime image or jlink, not both"},
            {"modules without jlink", runtime(false, false, null, null, "java.sql"),
             "the jdk and addModules settings need jlink"},
            {"embed with nothing to embed", runtime(false, true, null, null, null),
             "embed needs jlink or a runtime image"},
            {"trained, with arguments", runtime(true, true, null, null, null, " --demo 'a b' "),
             "--jlink --embed --train --demo 'a b'"},
            {"trained, an image without arguments", runtime(false, true, "/rt", null, null, ""),
             "--embed-runtime /rt --train "},
            {"trained without embed", runtime(true, false, null, null, null, "x"),
             "train needs embed (the runtime inside the executable)"},
        };
        for (String[] row : table) check(row[0], row[2], row[1]);
    }

    private static File script(File dir, String name, String body) throws IOException {
        File f = new File(dir, name);
        Files.write(f.toPath(), ("#!/bin/sh\n" + body).getBytes(StandardCharsets.UTF_8));
        if (!f.setExecutable(true)) throw new IOException("cannot make " + f + " executable");
        return f;
    }

    private static void findingTheTool(File scratch) throws Exception {
        File plain = new File(scratch, "plain");
        File bin = new File(scratch, "bin");
        plain.mkdirs();
        bin.mkdirs();
        Files.write(new File(plain, "hux").toPath(), new byte[0]);  // not executable: passed over
        File tool = script(bin, "hux", "exit 0\n");
        String path = plain + File.pathSeparator + File.pathSeparator + bin;
        String[][] table = {
            {"from PATH, past a file that does not run", tool.getPath(),
             String.valueOf(HuxTool.find(null, path, false).executable())},
            {"named, even with PATH set", tool.getPath(),
             String.valueOf(HuxTool.find(" " + tool + " ", "/nowhere", false).executable())},
            {"named but missing", "the hux tool '/no/hux' does not exist (set hux.tool to the hux executable,"
                    + " e.g. build/linux/bin/hux)", error(() -> HuxTool.find("/no/hux", path, false))},
            {"on no PATH", "the hux tool was not found on PATH (put hux on PATH, or set the hux.tool property"
                    + " or the huxTool setting to its path)", error(() -> HuxTool.find("", plain.getPath(), false))},
        };
        for (String[] row : table) check(row[0], row[1], row[2]);
    }

    private static void running(File scratch) throws Exception {
        File argsFile = new File(scratch, "args");
        // A stand-in tool: records its arguments, one per line, writes a
        // line, a warning, and fails for Windows.
        File tool = script(scratch, "fake-hux",
                "for a in \"$@\"; do printf '%s\\n' \"$a\"; done >> '" + argsFile + "'\n"
                + "echo 'packed 3 files'\n"
                + "echo 'hux pack: warning: look here' >&2\n"
                + "case \"$*\" in *windows-x64*) echo 'hux pack: cannot read the icon' >&2; exit 1;; esac\n");
        final List<String> logged = new ArrayList<>();
        HuxTool.Log log = new HuxTool.Log() {
            public void info(String line) {
                synchronized (logged) { logged.add("info " + line); }
            }

            public void warn(String line) {
                synchronized (logged) { logged.add("warn " + line); }
            }

            public void error(String line) {
                synchronized (logged) { logged.add("error " + line); }
            }
        };
        PackRequest r = new PackRequest();
        r.addJar(new File(scratch, "my app.jar"), null);
        r.setOutputDirectory(new File(scratch, "out/nested"));
        r.addLine("property a=b c");
        r.addTarget(PackRequest.LINUX);
        List<File> written = new HuxTool(tool).pack(r, scratch, log);
        check("the folder of the output is made", true, new File(scratch, "out/nested").isDirectory());
        check("one file per target", Arrays.asList(new File(scratch, "out/nested/my app")), written);
        check("arguments with blanks arrive whole",
                "pack|-t|linux-x64|-o|" + scratch + "/out/nested/my app|-l|property a=b c|--|my app.jar="
                        + scratch + "/my app.jar",
                String.join("|", Files.readAllLines(argsFile.toPath())));
        logged.sort(null);
        check("output lines go to the log by kind", "[info packed 3 files, warn hux pack: warning: look here]",
                logged);

        r.addTarget(PackRequest.WINDOWS);
        check("a failing run fails with the tool's own line",
                "hux pack for windows-x64 failed (exit 1): hux pack: cannot read the icon",
                error(() -> new HuxTool(tool).pack(r, scratch, log)));
        String cannot = error(() -> new HuxTool(argsFile).run(new ArrayList<>(), scratch, log));
        check("a tool that cannot start is named", "cannot run " + scratch + "/args: ",
                cannot.substring(0, Math.min(cannot.length(), ("cannot run " + scratch + "/args: ").length())));
    }

    private static void write(File file, String text) throws IOException {
        file.getParentFile().mkdirs();
        Files.write(file.toPath(), text.getBytes(StandardCharsets.UTF_8));
    }

    /** What makes a pack stale: each row changes one thing and says whether the fingerprint moves. */
    private static void packState(File scratch) throws Exception {
        File jar = new File(scratch, "state/app.jar");
        File image = new File(scratch, "state/jre");
        File release = new File(image, "lib/release");
        File out = new File(scratch, "state/app");
        File stateFile = new File(scratch, "state/.app.hux-inputs");
        write(jar, "classes");
        write(release, "JAVA_VERSION=17");
        List<File> inputs = Arrays.asList(jar, image);
        String base = PackState.fingerprint(Arrays.asList("pack", "-t", "linux-x64"), inputs);
        Object[][] table = {
            {"the same inputs", (Step) () -> null, false},
            {"another argument", (Step) () -> { write(jar, "classes"); return "pack -t windows-x64"; }, true},
            {"a jar's content", (Step) () -> { write(jar, "classes 2"); return null; }, true},
            {"a file inside a runtime image", (Step) () -> { write(jar, "classes"); write(release, "JAVA_VERSION=21");
                return null; }, true},
        };
        for (Object[] row : table) {
            Object args = ((Step) row[1]).run();
            List<String> arguments = args == null ? Arrays.asList("pack", "-t", "linux-x64")
                    : Arrays.asList(args.toString().split(" "));
            check("the fingerprint moves with " + row[0], row[2], !base.equals(PackState.fingerprint(arguments, inputs)));
        }
        String now = PackState.fingerprint(Arrays.asList("pack"), inputs);
        check("stale before any pack", false, PackState.upToDate(stateFile, now, Arrays.asList(out)));
        PackState.record(stateFile, now);
        check("stale while the executable is missing", false, PackState.upToDate(stateFile, now, Arrays.asList(out)));
        write(out, "exe");
        check("up to date after the pack", true, PackState.upToDate(stateFile, now, Arrays.asList(out)));
        PackState.forget(stateFile);
        check("stale once forgotten", false, PackState.upToDate(stateFile, now, Arrays.asList(out)));
    }

    public static void main(String[] args) throws Exception {
        File scratch = new File(args[0]).getAbsoluteFile();
        commandLines();
        refusals();
        runtimeOptions();
        findingTheTool(scratch);
        running(scratch);
        packState(scratch);
        System.out.println("core: " + passed + " passed, " + failed + " failed");
        System.exit(failed == 0 ? 0 : 1);
    }
}
