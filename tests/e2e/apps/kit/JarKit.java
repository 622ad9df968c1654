// Builds the jars of the loader probes into the directory given as the first
// argument: run as `java JarKit.java <dir>` with a JDK that has its compiler
// and jarsigner. Each jar exercises one kind of jar the loader must treat as
// `java -cp` does.
import java.io.*;
import java.nio.charset.StandardCharsets;
import java.nio.file.*;
import java.util.*;
import java.util.jar.*;
import java.util.zip.*;
import javax.tools.*;

public class JarKit {
    static Path out;
    static Path work;

    public static void main(String[] args) throws Exception {
        out = Paths.get(args[0]);
        Files.createDirectories(out.resolve("ext/many"));
        work = Files.createTempDirectory("jarkit");

        Map<String, String> probe = new LinkedHashMap<>();
        probe.put("probe/Main.java", read("Probe.java"));
        probe.put("probe/Service.java", "package probe; public interface Service { String name(); }");
        Path probeClasses = compile("probe", probe);
        Map<String, byte[]> entries = tree(probeClasses);
        entries.put("probe/data/f.txt", bytes("f content"));
        entries.put("probe/data/sub/g.txt", bytes("g content"));
        entries.put("probe/x.txt", bytes("x content"));
        entries.put("probe/with space.txt", bytes("spaced"));
        entries.put("probe/caf\u00e9 #1%.txt", bytes("odd name"));
        entries.put("shared.txt", bytes("shared one"));
        jar("probe.jar", manifest("Implementation-Title: probe\n"), entries);

        jar("two.jar", null, map("shared.txt", bytes("shared two")));

        // A -javaagent: the virtual machine adds its jar to the system class
        // loader's path and runs premain while it starts; its transformer
        // then sees the application's classes.
        jar("agent.jar", manifest("Premain-Class: agent.Agent\n"), tree(compile("agent", src("agent/Agent.java",
                "package agent;\n"
                + "import java.lang.instrument.*;\n"
                + "public class Agent {\n"
                + "    public static void premain(String args, Instrumentation inst) {\n"
                + "        ClassLoader system = ClassLoader.getSystemClassLoader();\n"
                + "        System.out.println(\"premain \" + args + \" by the system loader \" + (Agent.class.getClassLoader() == system));\n"
                + "        java.net.URL own = Agent.class.getResource(\"/agent/Agent.class\");\n"
                + "        System.out.println(\"own class file \" + (own == null ? null : own.getProtocol()));\n"
                + "        inst.addTransformer(new ClassFileTransformer() {\n"
                + "            public byte[] transform(ClassLoader l, String name, Class<?> c, java.security.ProtectionDomain pd, byte[] b) {\n"
                + "                if (\"probe/Main\".equals(name)) System.out.println(\"transform \" + name + \" of \" + b.length + \" bytes\");\n"
                + "                return null;\n"
                + "            }\n"
                + "        });\n"
                + "    }\n"
                + "}\n"))));

        // Multi-release: base, 9, 17 and 21 variants of one class and one
        // resource; a second resource only in the base and version 17.
        Map<String, byte[]> mr = new LinkedHashMap<>();
        mr.putAll(tree(compile("mrbase", src("mr/Version.java", "package mr; public class Version { public static String say() { return \"base\"; } }"))));
        mr.put("mr/res.txt", bytes("resource base"));
        mr.put("mr/other.txt", bytes("other base"));
        for (String v : new String[] {"9", "17", "21"}) {
            for (Map.Entry<String, byte[]> e : tree(compile("mr" + v, src("mr/Version.java",
                    "package mr; public class Version { public static String say() { return \"version " + v + "\"; } }"))).entrySet()) {
                mr.put("META-INF/versions/" + v + "/" + e.getKey(), e.getValue());
            }
            mr.put("META-INF/versions/" + v + "/mr/res.txt", bytes("resource " + v + (v.equals("17") ? " (seventeen)" : "")));
        }
        mr.put("META-INF/versions/17/mr/other.txt", bytes("other 17"));
        // Names only a version directory holds: classes in 9, 11 and 21, a
        // resource in 11 and 17, one in 8, one under META-INF (never
        // versioned) and one in "09" (no version); a base class using the
        // version-11 class.
        Path only11 = null;
        for (String v : new String[] {"9", "11", "21"}) {
            Path classes = compile("mronly" + v, src("mr/Only" + v + ".java",
                    "package mr; public class Only" + v + " { public static String say() { return \"only in " + v + "\"; } }"));
            if (v.equals("11")) only11 = classes;
            for (Map.Entry<String, byte[]> e : tree(classes).entrySet()) {
                mr.put("META-INF/versions/" + v + "/" + e.getKey(), e.getValue());
            }
        }
        mr.putAll(tree(compile("mruses", src("mr/Uses.java",
                "package mr; public class Uses { public static String say() { return \"uses \" + Only11.say(); } }"), only11)));
        mr.put("META-INF/versions/11/mr/only.txt", bytes("only 11"));
        mr.put("META-INF/versions/17/mr/only.txt", bytes("only 17"));
        mr.put("META-INF/versions/8/mr/eight.txt", bytes("eight"));
        mr.put("META-INF/versions/9/META-INF/mr.txt", bytes("never"));
        mr.put("META-INF/versions/09/mr/zero.txt", bytes("never"));
        jar("mr.jar", manifest("Multi-Release: true\n"), mr);

        // The same layout without "Multi-Release: true": only the base counts.
        Map<String, byte[]> nomr = new LinkedHashMap<>(tree(compile("nomrbase", src("nomr/Base.java",
                "package nomr; public class Base { public static String say() { return \"base\"; } }"))));
        for (String c : new String[] {"Base", "Hidden"}) {
            for (Map.Entry<String, byte[]> e : tree(compile("nomr" + c, src("nomr/" + c + ".java",
                    "package nomr; public class " + c + " { public static String say() { return \"version 9\"; } }"))).entrySet()) {
                nomr.put("META-INF/versions/9/" + e.getKey(), e.getValue());
            }
        }
        nomr.put("META-INF/versions/9/nomr/hidden.txt", bytes("hidden"));
        jar("nomr.jar", null, nomr);

        // Sealing: one jar seals package "seal", another adds to it.
        jar("sealA.jar", manifest("Sealed: true\n"), tree(compile("sealA", src("seal/A.java", "package seal; public class A { public static String say() { return \"A\"; } }"))));
        // Package attributes from the main section and from a package's own section.
        jar("pkgattrs.jar", manifest("Implementation-Title: lib\nImplementation-Version: 2.0\nSpecification-Title: Lib \u00e9\n"
                + "Specification-Version: 1.1\n\nName: pa/sec/\nImplementation-Title: section\nSpecification-Vendor: " + String.join("", Collections.nCopies(20, "vendor ")) + "\n"),
            tree(compile("pkgattrs", sources("pa/A.java", "package pa; public class A {}", "pa/sec/B.java", "package pa.sec; public class B {}"))));
        jar("sealB.jar", null, tree(compile("sealB", src("seal/B.java", "package seal; public class B { public static String say() { return \"B\"; } }"))));

        // Signed, and signed then altered.
        Map<String, byte[]> sig = tree(compile("sig", src("sig/S.java", "package sig; public class S { public static String say() { return \"signed\"; } }")));
        Map<String, byte[]> sig2 = tree(compile("sig2", src("sig2/T.java", "package sig2; public class T { public static String say() { return \"original\"; } }")));
        Map<String, byte[]> sig2Altered = tree(compile("sig2x", src("sig2/T.java", "package sig2; public class T { public static String say() { return \"altered!\"; } }")));
        Path keystore = work.resolve("keys.p12");
        run(tool("keytool"), "-genkeypair", "-keystore", keystore.toString(), "-storepass", "secret12", "-keypass", "secret12",
                "-alias", "probe", "-keyalg", "RSA", "-keysize", "2048", "-dname", "CN=Probe Signer", "-validity", "3650", "-storetype", "PKCS12");
        jar("signed.jar", null, sig);
        sign("signed.jar", keystore);
        sig2.putAll(map("sig2/Plain.class", sig.get("sig/S.class")));
        jar("tampered.jar", null, sig2);
        sign("tampered.jar", keystore);
        replaceEntry(out.resolve("tampered.jar"), "sig2/T.class", sig2Altered.get("sig2/T.class"));
        // The same two jars with their manifest stored last.
        manifestLast(out.resolve("signed.jar"), out.resolve("signed-late.jar"));
        manifestLast(out.resolve("tampered.jar"), out.resolve("tampered-late.jar"));
        // Signed multi-release: a class only version 11 holds.
        Map<String, byte[]> mrsig = new LinkedHashMap<>();
        for (Map.Entry<String, byte[]> e : tree(compile("mrsig", src("mrsig/Only.java",
                "package mrsig; public class Only { public static String say() { return \"signed only in 11\"; } }"))).entrySet()) {
            mrsig.put("META-INF/versions/11/" + e.getKey(), e.getValue());
        }
        jar("mrsigned.jar", manifest("Multi-Release: true\n"), mrsig);
        sign("mrsigned.jar", keystore);

        // Zip64 end records: more entries than 16 bits count.
        Map<String, byte[]> big = new LinkedHashMap<>(tree(compile("big", src("big/Big.java", "package big; public class Big { public static String say() { return \"big\"; } }"))));
        for (int i = 0; i < 66000; i++) {
            big.put("filler/" + i, new byte[0]);
        }
        jar("big.jar", null, big);

        // A jar nested in a jar: neither its classes nor its services are on the class path.
        Map<String, byte[]> inner = tree(compile("inner", src("probe/deep/Impl.java", "package probe.deep; public class Impl implements probe.Service { public String name() { return \"deep\"; } }"), probeClasses));
        inner.put("META-INF/services/probe.Service", bytes("probe.deep.Impl\n"));
        jar("inner.jar", null, inner);
        jar("deep.jar", null, map("inner.jar", Files.readAllBytes(out.resolve("inner.jar"))));
        Files.delete(out.resolve("inner.jar"));

        // Manifest Class-Path to a jar beside it.
        jar("cpdep.jar", null, tree(compile("cpdep", src("cpdep/Dep.java", "package cpdep; public class Dep { public static String say() { return \"dependency\"; } }"))));
        jar("cp.jar", manifest("Class-Path: cpdep.jar\n"), tree(compile("cp", src("cp/Uses.java", "package cp; public class Uses { public static String say() { return \"uses \" + cpdep.Dep.say(); } }"), out.resolve("cpdep.jar"))));

        // Many classes of one nested jar (more than the loader takes from the
        // parent before it looks in nested jars first), a class of a runtime
        // module's package, and one copy of many.C7 for the top level.
        Map<String, String> many = new LinkedHashMap<>();
        for (int i = 0; i < 100; i++) {
            many.put("many/C" + i + ".java", "package many; public class C" + i + " { public static String say() { return \"c" + i + "\"; } }");
        }
        many.put("javax/xml/namespace/QName.java", "package javax.xml.namespace; public class QName { public static String say() { return \"shadow\"; } }");
        jar("many.jar", null, tree(compile("many", many)));
        Files.createDirectories(out.resolve("manytop/many"));
        Files.write(out.resolve("manytop/many/C7.class"), tree(compile("manytop", src("many/C7.java",
                "package many; public class C7 { public static String say() { return \"top\"; } }"))).get("many/C7.class"));

        // Entry points other than a static main(String[]), and a class whose
        // initialiser fails.
        Map<String, String> mains = new LinkedHashMap<>();
        mains.put("mains/Instance.java", "package mains; public class Instance { void main() { System.out.println(\"instance main\"); } }");
        mains.put("mains/InstanceArgs.java", "package mains; public class InstanceArgs { void main(String[] a) { System.out.println(\"instance main with \" + a.length); } void main() { System.out.println(\"not this one\"); } }");
        mains.put("mains/NoArgs.java", "package mains; public class NoArgs { static void main() { System.out.println(\"static main without arguments\"); } }");
        mains.put("mains/PrivateOnly.java", "package mains; public class PrivateOnly { private void main() { System.out.println(\"private\"); } }");
        mains.put("mains/BadInit.java", "package mains; public class BadInit { static { if (true) throw new IllegalStateException(\"initialiser failed\"); } public static void main(String[] a) { System.out.println(\"unreachable\"); } }");
        // A public method's signature names a class the jar lacks.
        mains.put("mains/Unlinked.java", "package mains; public class Unlinked { public static void main(String[] a) { System.out.println(\"main ran\"); } public static Gone make() { return null; } }");
        mains.put("mains/Gone.java", "package mains; public class Gone { }");
        Map<String, byte[]> mainEntries = tree(compile("mains", mains));
        mainEntries.remove("mains/Gone.class");
        jar("mains.jar", null, mainEntries);

        // New classes in packages of runtime modules: the application class
        // loader never looks for those on the class path.
        Map<String, String> runtimePackages = new LinkedHashMap<>();
        runtimePackages.put("javax/xml/parsers/HuxExtra.java", "package javax.xml.parsers; public class HuxExtra { public static String say() { return \"extra\"; } }");
        runtimePackages.put("java/util/HuxExtra.java", "package java.util; public class HuxExtra { public static String say() { return \"extra\"; } }");
        runtimePackages.put("org/w3c/dom/svg/HuxSvg.java", "package org.w3c.dom.svg; public class HuxSvg { public static String say() { return \"not a runtime package\"; } }");
        Map<String, byte[]> runtimeEntries = tree(compile("runtimepkg", runtimePackages));
        runtimeEntries.put("javax/xml/parsers/hux.txt", bytes("hidden"));
        runtimeEntries.put("java/util/hux.properties", bytes("hidden"));
        runtimeEntries.put("org/w3c/dom/svg/hux.txt", bytes("found"));
        jar("runtimepkg.jar", null, runtimeEntries);

        // Two jars holding the same class, resource and service file, with
        // differing contents: which one serves follows the class-path order.
        for (String name : new String[] {"a", "b"}) {
            Map<String, String> src = new LinkedHashMap<>();
            src.put("order/Which.java", "package order; public class Which { public static String say() { return \"" + name + "\"; } }");
            src.put("order/Provider" + name + ".java", "package order; public class Provider" + name
                    + " implements probe.Service { public String name() { return \"" + name + "\"; } }");
            Map<String, byte[]> e = tree(compile("order" + name, src, probeClasses));
            e.put("order.txt", bytes("order " + name));
            if (name.equals("b")) {
                e.put("order/", new byte[0]);  // a directory entry: found by "order" too
            }
            e.put("META-INF/services/probe.Service", bytes("order.Provider" + name + "\n"));
            jar("order-" + name + ".jar", null, e);
        }

        // A resource tree for file-system walks: explicit directory entries
        // for some directories, "tree/data/sub/" only implied by its file.
        Map<String, byte[]> walk = new LinkedHashMap<>();
        walk.put("tree/", new byte[0]);
        walk.put("tree/data/", new byte[0]);
        walk.put("tree/data/f.txt", bytes("f content"));
        walk.put("tree/data/sub/g.txt", bytes("g content"));
        walk.put("tree/data/odd name \u00e9 #1%.txt", bytes("odd name"));
        walk.put("tree/data/h.md", bytes("h"));
        jar("tree.jar", null, walk);

        // The external class path: two jars with the same class, and a folder of many jars.
        for (String name : new String[] {"b1", "a2"}) {
            Path dir = out.resolve("ext");
            jar(dir, name + ".jar", tree(compile("ext" + name, src("ext/Which.java", "package ext; public class Which { public static String say() { return \"" + name + "\"; } }"))));
        }
        byte[] last = tree(compile("extlast", src("ext/Last.java", "package ext; public class Last { public static String say() { return \"last of many\"; } }"))).get("ext/Last.class");
        for (int i = 0; i < 2000; i++) {
            Map<String, byte[]> e = map("many/" + i + ".txt", bytes("jar " + i));
            if (i == 1999) e.put("ext/Last.class", last);
            jar(out.resolve("ext/many"), String.format("m%04d.jar", i), e);
        }
    }

    static String read(String name) throws IOException {
        Path here = Paths.get(System.getProperty("jarkit.dir", "."));
        return new String(Files.readAllBytes(here.resolve(name)), StandardCharsets.UTF_8);
    }

    static byte[] bytes(String s) {
        return s.getBytes(StandardCharsets.UTF_8);
    }

    static Map<String, String> sources(String... namesAndTexts) {
        Map<String, String> m = new LinkedHashMap<>();
        for (int i = 0; i < namesAndTexts.length; i += 2) m.put(namesAndTexts[i], namesAndTexts[i + 1]);
        return m;
    }

    static Map<String, String> src(String name, String text) {
        return Collections.singletonMap(name, text);
    }

    static Map<String, byte[]> map(String name, byte[] data) {
        Map<String, byte[]> m = new LinkedHashMap<>();
        m.put(name, data);
        return m;
    }

    static Manifest manifest(String extra) throws IOException {
        return new Manifest(new ByteArrayInputStream(bytes("Manifest-Version: 1.0\n" + extra)));
    }

    static Path compile(String name, Map<String, String> sources, Path... classPath) throws IOException {
        Path srcDir = work.resolve("src-" + name);
        Path classes = work.resolve("classes-" + name);
        Files.createDirectories(classes);
        List<File> files = new ArrayList<>();
        for (Map.Entry<String, String> e : sources.entrySet()) {
            Path p = srcDir.resolve(e.getKey());
            Files.createDirectories(p.getParent());
            Files.write(p, bytes(e.getValue()));
            files.add(p.toFile());
        }
        JavaCompiler javac = ToolProvider.getSystemJavaCompiler();
        StandardJavaFileManager fm = javac.getStandardFileManager(null, null, StandardCharsets.UTF_8);
        List<String> options = new ArrayList<>(Arrays.asList("--release", "8", "-nowarn", "-Xlint:-options", "-d", classes.toString()));
        if (classPath.length > 0) {
            StringBuilder cp = new StringBuilder();
            for (Path p : classPath) cp.append(cp.length() > 0 ? File.pathSeparator : "").append(p);
            options.add("-cp");
            options.add(cp.toString());
        }
        if (!javac.getTask(null, fm, null, options, null, fm.getJavaFileObjectsFromFiles(files)).call()) {
            throw new IllegalStateException("compiling " + name + " failed");
        }
        return classes;
    }

    static Map<String, byte[]> tree(Path classes) throws IOException {
        Map<String, byte[]> m = new TreeMap<>();
        try (java.util.stream.Stream<Path> s = Files.walk(classes)) {
            for (Path p : (Iterable<Path>) s::iterator) {
                if (Files.isRegularFile(p)) m.put(classes.relativize(p).toString().replace('\\', '/'), Files.readAllBytes(p));
            }
        }
        return m;
    }

    static void jar(String name, Manifest manifest, Map<String, byte[]> entries) throws IOException {
        write(out.resolve(name), manifest, entries);
    }

    static void jar(Path dir, String name, Map<String, byte[]> entries) throws IOException {
        write(dir.resolve(name), null, entries);
    }

    static void write(Path file, Manifest manifest, Map<String, byte[]> entries) throws IOException {
        if (manifest == null) manifest = manifest("");
        try (JarOutputStream jos = new JarOutputStream(Files.newOutputStream(file), manifest)) {
            for (Map.Entry<String, byte[]> e : entries.entrySet()) {
                jos.putNextEntry(new JarEntry(e.getKey()));
                jos.write(e.getValue());
                jos.closeEntry();
            }
        }
    }

    static String tool(String name) {
        return Paths.get(System.getProperty("java.home"), "bin", name).toString();
    }

    static void run(String... command) throws Exception {
        Process p = new ProcessBuilder(command).redirectErrorStream(true).start();
        ByteArrayOutputStream o = new ByteArrayOutputStream();
        try (InputStream in = p.getInputStream()) {
            byte[] b = new byte[4096];
            int n;
            while ((n = in.read(b)) > 0) o.write(b, 0, n);
        }
        if (p.waitFor() != 0) throw new IllegalStateException(String.join(" ", command) + ": " + o);
    }

    static void sign(String jar, Path keystore) throws Exception {
        run(tool("jarsigner"), "-keystore", keystore.toString(), "-storepass", "secret12", "-storetype", "PKCS12",
                out.resolve(jar).toString(), "probe");
    }

    /** A jar's entries and their bytes, in the order the jar stores them. */
    static Map<String, byte[]> entriesOf(Path file) throws IOException {
        Map<String, byte[]> entries = new LinkedHashMap<>();
        try (ZipInputStream in = new ZipInputStream(Files.newInputStream(file))) {
            ZipEntry e;
            while ((e = in.getNextEntry()) != null) {
                ByteArrayOutputStream b = new ByteArrayOutputStream();
                byte[] buf = new byte[4096];
                int n;
                while ((n = in.read(buf)) > 0) b.write(buf, 0, n);
                entries.put(e.getName(), b.toByteArray());
            }
        }
        return entries;
    }

    /** Writes the entries as they are, in their order (no manifest of its own). */
    static void writeEntries(Path file, Map<String, byte[]> entries) throws IOException {
        try (ZipOutputStream zos = new ZipOutputStream(Files.newOutputStream(file))) {
            for (Map.Entry<String, byte[]> e : entries.entrySet()) {
                zos.putNextEntry(new ZipEntry(e.getKey()));
                zos.write(e.getValue());
                zos.closeEntry();
            }
        }
    }

    /** A copy of a jar with its manifest stored last, everything else as it was. */
    static void manifestLast(Path from, Path to) throws IOException {
        Map<String, byte[]> entries = entriesOf(from);
        byte[] manifest = entries.remove("META-INF/MANIFEST.MF");
        entries.put("META-INF/MANIFEST.MF", manifest);
        writeEntries(to, entries);
    }

    /** Rewrites a jar with one entry's bytes replaced, everything else (signature files included) as it was. */
    static void replaceEntry(Path file, String name, byte[] data) throws IOException {
        Map<String, byte[]> entries = entriesOf(file);
        entries.put(name, data);
        writeEntries(file, entries);
    }
}
