// Class-loading misses with and without a multi-release jar. `java
// MissBench.java make <dir>` writes into <dir>: missbench.jar (the driver,
// missbench.Main, which asks the system class loader for 20,000 classes no jar
// holds, Class.forName as libraries probe for optional classes, and prints the
// wall time in microseconds), plain0.jar..plain19.jar (250 classes each),
// mr.jar (Multi-Release: true; 100 classes with versions 9, 11 and 17 and 101
// only version 11 holds) and nomr.jar (the same entries without the
// attribute). The driver loads the class its argument names first, so a run
// with mr.jar can prove that jar is served.
import java.io.*;
import java.nio.charset.StandardCharsets;
import java.nio.file.*;
import java.util.*;
import java.util.jar.*;
import javax.tools.*;

public class MissBench {
    public static void main(String[] args) throws Exception {
        Path dir = Paths.get(args[1]);
        Files.createDirectories(dir);
        Path work = Files.createTempDirectory("missbench");
        Path src = work.resolve("src");
        write(src.resolve("missbench/Main.java"),
                "package missbench;\n"
                + "public class Main {\n"
                + "  public static void main(String[] a) throws Exception {\n"
                + "    ClassLoader l = ClassLoader.getSystemClassLoader();\n"
                + "    if (a.length > 0) Class.forName(a[0], false, l);\n"
                + "    int found = 0;\n"
                + "    long start = System.nanoTime();\n"
                + "    for (int i = 0; i < 20000; i++) {\n"
                + "      try { Class.forName(\"missbench.none.M\" + i, false, l); found++; }\n"
                + "      catch (ClassNotFoundException e) { }\n"
                + "    }\n"
                + "    long us = (System.nanoTime() - start) / 1000;\n"
                + "    if (found > 0) { System.out.println(\"found \" + found); System.exit(1); }\n"
                + "    System.out.println(us);\n"
                + "  }\n"
                + "}\n");
        write(src.resolve("mr/C.java"), "package mr; public class C { }");
        Path classes = work.resolve("classes");
        Files.createDirectories(classes);
        JavaCompiler javac = ToolProvider.getSystemJavaCompiler();
        StandardJavaFileManager fm = javac.getStandardFileManager(null, null, StandardCharsets.UTF_8);
        if (!javac.getTask(null, fm, null, Arrays.asList("--release", "8", "-d", classes.toString()), null,
                fm.getJavaFileObjectsFromPaths(Arrays.asList(src.resolve("missbench/Main.java"), src.resolve("mr/C.java")))).call()) {
            throw new IllegalStateException("compile failed");
        }
        Map<String, byte[]> main = new TreeMap<>();
        main.put("missbench/Main.class", Files.readAllBytes(classes.resolve("missbench/Main.class")));
        jar(dir.resolve("missbench.jar"), "", main);
        byte[] filler = Files.readAllBytes(classes.resolve("mr/C.class"));
        for (int j = 0; j < 20; j++) {
            Map<String, byte[]> e = new TreeMap<>();
            for (int c = 0; c < 250; c++) e.put("plain" + j + "/C" + c + ".class", filler);
            jar(dir.resolve("plain" + j + ".jar"), "", e);
        }
        Map<String, byte[]> mr = new TreeMap<>();
        for (int c = 0; c < 100; c++) {
            mr.put("mr/C" + c + ".class", filler);
            for (String v : new String[] {"9", "11", "17"}) mr.put("META-INF/versions/" + v + "/mr/C" + c + ".class", filler);
        }
        // Only the version-11 directory holds mr.C: loadable as "mr.C" on 11 and later.
        mr.put("META-INF/versions/11/mr/C.class", filler);
        for (int c = 0; c < 100; c++) mr.put("META-INF/versions/11/mr/Only" + c + ".class", filler);
        jar(dir.resolve("mr.jar"), "Multi-Release: true\n", mr);
        jar(dir.resolve("nomr.jar"), "", mr);
    }

    static void write(Path p, String text) throws IOException {
        Files.createDirectories(p.getParent());
        Files.write(p, text.getBytes(StandardCharsets.UTF_8));
    }

    static void jar(Path file, String attributes, Map<String, byte[]> entries) throws IOException {
        Manifest m = new Manifest(new ByteArrayInputStream(("Manifest-Version: 1.0\n" + attributes).getBytes(StandardCharsets.UTF_8)));
        try (JarOutputStream jos = new JarOutputStream(Files.newOutputStream(file), m)) {
            for (Map.Entry<String, byte[]> e : entries.entrySet()) {
                jos.putNextEntry(new JarEntry(e.getKey()));
                jos.write(e.getValue());
                jos.closeEntry();
            }
        }
    }
}
