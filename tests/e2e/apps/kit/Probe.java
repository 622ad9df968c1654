package probe;

import java.io.*;
import java.net.*;
import java.security.CodeSource;
import java.util.*;
import java.util.zip.CRC32;

/**
 * Prints what the class loader answers, one line per command, in a form that
 * does not depend on where the jars are: run packed and with `java -cp`, the
 * two outputs must be the same.
 */
public class Main {
    public static void main(String[] args) throws Exception {
        // The loader of the probe's own classes: the system class loader under
        // `java -cp`, and the launcher's loader in either of its modes.
        ClassLoader loader = Main.class.getClassLoader();
        for (int i = 0; i < args.length; i++) {
            String cmd = args[i];
            String line;
            try {
                switch (cmd) {
                    case "load": line = load(loader, args[++i]); break;
                    case "cs": line = codeSource(loader, args[++i]); break;
                    case "many": line = many(loader, Integer.parseInt(args[++i])); break;
                    case "loaderof": line = Class.forName(args[++i], false, loader).getClassLoader().getClass().getName(); break;
                    case "loadername": line = String.valueOf(ClassLoader.class.getMethod("getName").invoke(Class.forName(args[++i], false, loader).getClassLoader())); break;
                    case "perm": line = permissions(loader, args[++i]); break;
                    case "bytes": line = bytes(loader, args[++i]); break;
                    case "conn": line = connection(loader, args[++i]); break;
                    case "rel": { String base = args[++i]; line = relative(loader, base, args[++i]); break; }
                    case "uri": line = uri(loader, args[++i]); break;
                    case "count": line = String.valueOf(Collections.list(loader.getResources(args[++i])).size()); break;
                    case "services": line = services(loader); break;
                    case "urltext": line = content(new URL(args[++i])); break;
                    case "pkg": line = pkg(loader, args[++i]); break;
                    case "where": line = new File(Class.forName(args[++i], false, loader).getProtectionDomain().getCodeSource().getLocation().toURI()).getPath(); break;
                    case "urls": line = urls(loader); break;
                    case "each": line = each(loader, args[++i]); break;
                    case "entry": line = entryName(loader.getResource(args[++i])); break;
                    case "walk": line = walk(loader, args[++i]); break;
                    case "pathops": line = pathOps(loader, args[++i]); break;
                    case "fslist": { java.util.List<String> names = new java.util.ArrayList<>(); try (java.util.stream.Stream<java.nio.file.Path> s = java.nio.file.Files.list(pathOf(new URI(args[++i])))) { s.forEach(p -> names.add(p.getFileName().toString())); } Collections.sort(names); line = names.toString(); break; }
                    case "fsread": { java.nio.file.Path p = pathOf(loader.getResource(args[++i]).toURI()); line = p.getFileName() + " " + new String(java.nio.file.Files.readAllBytes(p), "UTF-8"); break; }
                    case "classres": { String c = args[++i]; line = classResource(loader, c, args[++i]); break; }
                    default: line = "unknown command"; break;
                }
            } catch (Throwable t) {
                line = describe(t);
            }
            System.out.println(cmd + (cmd.equals("services") || cmd.equals("urls") ? "" : " " + args[i]) + ": " + line);
        }
    }

    /**
     * A resource directory walked with java.nio.file, the way applications
     * list their own resources: a path from the resource's URI, with a file
     * system made for it where the scheme needs one first.
     */
    static String walk(ClassLoader loader, String dir) throws Exception {
        java.nio.file.Path root = pathOf(loader.getResource(dir).toURI());
        StringBuilder b = new StringBuilder();
        java.util.List<java.nio.file.Path> all;
        try (java.util.stream.Stream<java.nio.file.Path> s = java.nio.file.Files.walk(root)) {
            all = s.sorted().collect(java.util.stream.Collectors.toList());
        }
        for (java.nio.file.Path p : all) {
            b.append('[').append(root.relativize(p));
            if (java.nio.file.Files.isDirectory(p)) {
                b.append("/]");
                continue;
            }
            java.nio.file.attribute.BasicFileAttributes a =
                    java.nio.file.Files.readAttributes(p, java.nio.file.attribute.BasicFileAttributes.class);
            byte[] data = java.nio.file.Files.readAllBytes(p);
            b.append(' ').append(a.size()).append(' ').append(a.isRegularFile()).append(' ')
                    .append(new String(data, "UTF-8")).append(']');
            // the path's own URI leads back to the same entry
            b.append(java.nio.file.Files.size(pathOf(p.toUri())) == data.length ? "" : "(uri differs)");
        }
        java.util.List<String> globbed = new java.util.ArrayList<>();
        try (java.nio.file.DirectoryStream<java.nio.file.Path> ds = java.nio.file.Files.newDirectoryStream(root, "*.t?t")) {
            for (java.nio.file.Path p : ds) globbed.add(p.getFileName().toString());
        }
        Collections.sort(globbed);
        b.append(" glob ").append(globbed);
        b.append(" missing ").append(java.nio.file.Files.exists(root.resolve("missing.txt")));
        try {
            java.nio.file.Files.newBufferedReader(root.resolve("missing.txt"));
        } catch (java.nio.file.NoSuchFileException e) {
            b.append(" NoSuchFileException");
        }
        return b.toString();
    }

    /** Path operations and matchers on a resource directory's path, which the JDK's zip file system also answers. */
    static String pathOps(ClassLoader loader, String dir) throws Exception {
        java.nio.file.Path root = pathOf(loader.getResource(dir).toURI());
        java.nio.file.FileSystem fs = root.getFileSystem();
        java.nio.file.Path rel = fs.getPath("a", "./b/", "../c//d");
        java.util.List<Object> out = new java.util.ArrayList<>();
        out.add(root);
        out.add(root.getFileName());
        out.add(root.getParent());
        out.add(root.getRoot());
        out.add(root.getNameCount());
        out.add(root.subpath(0, 1));
        out.add(root.resolve("x/../y").normalize());
        out.add(root.resolveSibling("z"));
        out.add(root.relativize(root.resolve("p/q")));
        out.add(root.resolve("p/q").relativize(root));
        out.add(root.startsWith("/tree") + " " + root.startsWith("/tre") + " " + root.endsWith("data") + " " + root.endsWith("/tree/data"));
        out.add(rel + " " + rel.normalize() + " " + rel.isAbsolute() + " " + rel.getNameCount() + " " + rel.getParent());
        out.add(fs.getPath("/../a/./b/..").normalize() + " " + fs.getPath("../../a").normalize() + " " + fs.getPath("").getNameCount());
        out.add(rel.toAbsolutePath().startsWith(fs.getPath("/")) + " " + fs.getPath("").resolve(rel).equals(rel));
        java.util.List<String> matched = new java.util.ArrayList<>();
        for (String glob : new String[] {"glob:**/*.txt", "glob:*.txt", "glob:/tree/data/{f,h}.*", "glob:/tree/data/[a-g].txt",
                "glob:/tree/data/[!f]*", "glob:/tree/**", "regex:.*/sub/.*"}) {
            java.nio.file.PathMatcher m = fs.getPathMatcher(glob);
            java.util.List<String> hits = new java.util.ArrayList<>();
            try (java.util.stream.Stream<java.nio.file.Path> s = java.nio.file.Files.walk(root)) {
                s.filter(m::matches).forEach(p -> hits.add(root.relativize(p).toString()));
            }
            Collections.sort(hits);
            matched.add(glob + "=" + hits);
        }
        out.add(matched);
        out.add(root.resolve("sub/../f.txt").toRealPath());
        // (the zip file system is writable where the archive is not: isWritable differs by design)
        out.add(java.nio.file.Files.isReadable(root.resolve("f.txt")) + " " + java.nio.file.Files.isReadable(root.resolve("nope")));
        try {
            java.nio.file.Files.newDirectoryStream(root.resolve("f.txt"));
        } catch (java.nio.file.NotDirectoryException e) {
            out.add("NotDirectoryException");
        }
        return out.toString();
    }

    static java.nio.file.Path pathOf(URI uri) throws IOException {
        try {
            return java.nio.file.Paths.get(uri);
        } catch (java.nio.file.FileSystemNotFoundException e) {
            java.nio.file.FileSystems.newFileSystem(uri, Collections.<String, Object>emptyMap());
            return java.nio.file.Paths.get(uri);
        }
    }

    static String describe(Throwable t) {
        // Messages naming files or URLs differ by layout; the kind of failure must not.
        if (t instanceof FileNotFoundException || t instanceof ClassNotFoundException) return t.getClass().getName();
        return t.getClass().getName() + ": " + t.getMessage();
    }

    static String load(ClassLoader loader, String name) throws Exception {
        Class<?> c = Class.forName(name, true, loader);
        return (String) c.getMethod("say").invoke(null);
    }

    // Loads many.C(n-1) down to many.C0 and says what each says, in short.
    static String many(ClassLoader loader, int n) throws Exception {
        StringBuilder said = new StringBuilder();
        for (int k = n - 1; k >= 0; k--) {
            String s = (String) Class.forName("many.C" + k, true, loader).getMethod("say").invoke(null);
            if (!s.equals("c" + k)) said.append(" C").append(k).append('=').append(s);
        }
        return n + " loaded" + said;
    }

    static String codeSource(ClassLoader loader, String name) throws Exception {
        CodeSource cs = Class.forName(name, false, loader).getProtectionDomain().getCodeSource();
        if (cs == null) return "no code source";
        File f = new File(cs.getLocation().toURI());
        return "file=" + f.isFile() + " signers=" + (cs.getCodeSigners() == null ? 0 : cs.getCodeSigners().length)
                + (cs.getCodeSigners() == null ? "" : " by " + cs.getCodeSigners()[0].getSignerCertPath().getCertificates().size() + " certificate(s)");
    }

    /** What a class's protection domain grants on its own code source's file, and whether it is sealed. */
    static String permissions(ClassLoader loader, String name) throws Exception {
        java.security.ProtectionDomain pd = Class.forName(name, false, loader).getProtectionDomain();
        java.security.PermissionCollection p = pd.getPermissions();
        if (p == null) return "none";
        String file = new File(pd.getCodeSource().getLocation().toURI()).getPath();
        String added;
        try {
            p.add(new RuntimePermission("exitVM"));
            added = "added";
        } catch (SecurityException e) {
            added = "refused";
        }
        return "read=" + p.implies(new FilePermission(file, "read")) + " write="
                + p.implies(new FilePermission(file, "write")) + " readonly=" + p.isReadOnly() + " add " + added
                + " elements=" + Collections.list(p.elements()).size();
    }

    static byte[] readAll(InputStream in) throws IOException {
        try {
            ByteArrayOutputStream o = new ByteArrayOutputStream();
            byte[] b = new byte[4096];
            int n;
            while ((n = in.read(b)) > 0) o.write(b, 0, n);
            return o.toByteArray();
        } finally {
            in.close();
        }
    }

    static String bytes(ClassLoader loader, String name) throws IOException {
        InputStream in = loader.getResourceAsStream(name);
        if (in == null) return "null";
        byte[] b = readAll(in);
        CRC32 crc = new CRC32();
        crc.update(b);
        return "n=" + b.length + " crc=" + Long.toHexString(crc.getValue());
    }

    /** Size, and the entry time as a library that compares class and source dates reads it. */
    static String connection(ClassLoader loader, String name) throws IOException {
        URL url = loader.getResource(name);
        if (url == null) return "null";
        URLConnection c = url.openConnection();
        long time = c instanceof JarURLConnection ? ((JarURLConnection) c).getJarEntry().getTime() : c.getLastModified();
        return "length=" + c.getContentLengthLong() + " time=" + time + " type=" + c.getContentType();
    }

    static String content(URL url) throws IOException {
        return new String(readAll(url.openStream()), "UTF-8");
    }

    static String relative(ClassLoader loader, String base, String spec) throws IOException {
        URL url = loader.getResource(base);
        if (url == null) return "null";
        return content(new URL(url, spec));
    }

    static String uri(ClassLoader loader, String name) throws Exception {
        URL url = loader.getResource(name);
        if (url == null) return "null";
        URI uri = url.toURI();
        return content(new URL(uri.toString())) + " / " + content(uri.toURL());
    }

    /** The content of every URL the loader lists for `name`, in order. */
    static String each(ClassLoader loader, String name) throws IOException {
        StringBuilder b = new StringBuilder();
        for (URL u : Collections.list(loader.getResources(name))) b.append('[').append(content(u).trim()).append(']');
        return b.toString();
    }

    /** The entry a URL names inside its jar, whatever the URL's scheme. */
    static String entryName(URL url) {
        if (url == null) return "null";
        String path = url.getPath();
        String entry = path.substring(path.lastIndexOf('!') + 1);
        return entry.startsWith("/") ? entry.substring(1) : entry;
    }

    /** A resource named relative to a class, as the class itself reads it. */
    static String classResource(ClassLoader loader, String className, String name) throws Exception {
        InputStream in = Class.forName(className, false, loader).getResourceAsStream(name);
        return in == null ? "null" : new String(readAll(in), "UTF-8").trim();
    }

    static String services(ClassLoader loader) {
        StringBuilder b = new StringBuilder("[");
        for (Service s : ServiceLoader.load(Service.class, loader)) b.append(s.name()).append(' ');
        return b.append(']').toString();
    }

    static String urls(ClassLoader loader) throws Exception {
        if (!(loader instanceof URLClassLoader)) return "not a URLClassLoader";
        StringBuilder b = new StringBuilder();
        for (URL u : ((URLClassLoader) loader).getURLs()) b.append(new File(u.toURI()).getPath()).append(' ');
        return b.toString().trim();
    }

    static String pkg(ClassLoader loader, String name) throws Exception {
        Package p = Class.forName(name, false, loader).getPackage();
        return p == null ? "null" : p.getName() + " sealed=" + p.isSealed() + " title=" + p.getImplementationTitle()
                + " version=" + p.getImplementationVersion() + " spec=" + p.getSpecificationTitle() + "/"
                + p.getSpecificationVersion() + "/" + p.getSpecificationVendor();
    }
}
