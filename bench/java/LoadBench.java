// Parallel class loading workload. `java LoadBench.java make <dir>` writes
// <dir>/loadbench.jar: 20,000 distinct small classes and a driver, loadbench.Main,
// which loads them from 4 threads (5,000 each) through the system class
// loader and prints the wall time in microseconds.
import java.io.*;
import java.nio.charset.StandardCharsets;
import java.nio.file.*;
import java.util.*;
import java.util.jar.*;
import javax.tools.*;

public class LoadBench {
    static final int THREADS = 4;
    static final int PER_THREAD = 5000;

    public static void main(String[] args) throws Exception {
        Path dir = Paths.get(args[1]);
        Path work = Files.createTempDirectory("loadbench");
        Path src = work.resolve("src/loadbench");
        Files.createDirectories(src);
        Files.write(src.resolve("C00000.java"), ("package loadbench; public class C00000 {"
                + " public static int value() { return 1; } }").getBytes(StandardCharsets.UTF_8));
        Files.write(src.resolve("Main.java"), (
                "package loadbench;\n"
                + "public class Main {\n"
                + "  public static void main(String[] a) throws Exception {\n"
                + "    final ClassLoader l = ClassLoader.getSystemClassLoader();\n"
                + "    final int per = " + PER_THREAD + ";\n"
                + "    Thread[] t = new Thread[" + THREADS + "];\n"
                + "    final int[] failures = new int[1];\n"
                + "    long start = System.nanoTime();\n"
                + "    for (int i = 0; i < t.length; i++) {\n"
                + "      final int base = i * per;\n"
                + "      t[i] = new Thread(() -> {\n"
                + "        for (int k = 0; k < per; k++) {\n"
                + "          try { Class.forName(String.format(\"loadbench.C%05d\", base + k), false, l); }\n"
                + "          catch (Throwable e) { synchronized (failures) { failures[0]++; } }\n"
                + "        }\n"
                + "      });\n"
                + "      t[i].start();\n"
                + "    }\n"
                + "    for (Thread x : t) x.join();\n"
                + "    long us = (System.nanoTime() - start) / 1000;\n"
                + "    if (failures[0] > 0) { System.out.println(\"failures \" + failures[0]); System.exit(1); }\n"
                + "    System.out.println(us);\n"
                + "  }\n"
                + "}\n").getBytes(StandardCharsets.UTF_8));
        Path classes = work.resolve("classes");
        Files.createDirectories(classes);
        JavaCompiler javac = ToolProvider.getSystemJavaCompiler();
        StandardJavaFileManager fm = javac.getStandardFileManager(null, null, StandardCharsets.UTF_8);
        if (!javac.getTask(null, fm, null, Arrays.asList("--release", "8", "-d", classes.toString()), null,
                fm.getJavaFileObjectsFromPaths(Arrays.asList(src.resolve("C00000.java"), src.resolve("Main.java")))).call()) {
            throw new IllegalStateException("compile failed");
        }
        byte[] template = Files.readAllBytes(classes.resolve("loadbench/C00000.class"));
        byte[] marker = "C00000".getBytes(StandardCharsets.US_ASCII);
        Files.createDirectories(dir);
        try (JarOutputStream jar = new JarOutputStream(Files.newOutputStream(dir.resolve("loadbench.jar")))) {
            for (String name : new String[] {"Main.class"}) {
                jar.putNextEntry(new JarEntry("loadbench/" + name));
                jar.write(Files.readAllBytes(classes.resolve("loadbench/" + name)));
            }
            for (File f : classes.resolve("loadbench").toFile().listFiles()) {
                if (f.getName().startsWith("Main$")) {
                    jar.putNextEntry(new JarEntry("loadbench/" + f.getName()));
                    jar.write(Files.readAllBytes(f.toPath()));
                }
            }
            for (int i = 0; i < THREADS * PER_THREAD; i++) {
                // Same-length names: the class file is the template with its name patched.
                byte[] b = template.clone();
                byte[] name = String.format("C%05d", i).getBytes(StandardCharsets.US_ASCII);
                for (int at = 0; at + marker.length <= b.length; at++) {
                    if (Arrays.equals(Arrays.copyOfRange(b, at, at + marker.length), marker)) {
                        System.arraycopy(name, 0, b, at, name.length);
                    }
                }
                jar.putNextEntry(new JarEntry(String.format("loadbench/C%05d.class", i)));
                jar.write(b);
            }
        }
    }
}
