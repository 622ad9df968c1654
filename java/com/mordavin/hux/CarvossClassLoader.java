package com.mordavin.hux;

import java.io.ByteArrayInputStream;
import java.io.File;
import java.io.IOException;
import java.net.URL;
import java.security.CodeSigner;
import java.security.CodeSource;
import java.security.Permission;
import java.security.PermissionCollection;
import java.util.ArrayList;
import java.util.Enumeration;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.ConcurrentHashMap;
import java.util.jar.Attributes;
import java.util.jar.JarEntry;
import java.util.jar.JarInputStream;
import java.util.jar.Manifest;

/**
 * The system class loader of a hux application: classes and resources come out
 * of the archive appended to the executable (through the executable's natives),
 * everything else from the external class path in "hux.class.path".
 *
 * Every class from the archive has the executable as its code source location,
 * with the signers of its jar when that jar is signed. Packages follow their
 * jar's manifest (sealing included), and multi-release jars serve the entries
 * of the running Java version.
 */
public class CarvossClassLoader extends java.net.URLClassLoader {
    private static final int FEATURE_VERSION;

    static {
        // Without the property the launcher is still starting the runtime
        // (this loader as the system class loader), and binds the natives
        // itself once it can.
        if (System.getProperty("hux.app.path") != null) {
            NativeLink.link(CarvossClassLoader.class);
        }
        registerAsParallelCapable();
        FEATURE_VERSION = featureVersion();
    }

    /** The nested archives classes came from, by their "name!" prefix ("" for the top level). */
    private final Map<String, Archive> archives = new ConcurrentHashMap<String, Archive>();

    /**
     * Whether the parent is the loader of the executable's top level (the
     * JDK's application class loader, which loaded this class), whose reach
     * NestedFirst knows; a loader made with any other parent always asks it
     * first.
     */
    private final boolean parentIsTopLevel;

    public CarvossClassLoader() {
        super(getHuxClassPath());
        parentIsTopLevel = getParent() == CarvossClassLoader.class.getClassLoader();
    }

    public CarvossClassLoader(ClassLoader parent) {
        super(getHuxClassPath(), parent);
        parentIsTopLevel = parent == CarvossClassLoader.class.getClassLoader();
    }

    /**
     * "app", the name of the JDK's application class loader, which loads an
     * application's classes under java -cp (Java 9 and later ask for it).
     */
    public String getName() {
        return "app";
    }

    public static URL[] getHuxClassPath() {
        String path = System.getProperty("hux.class.path", "");
        List<URL> urls = new ArrayList<URL>();
        // Split by hand: a regular expression here would be the first of the
        // launch and cost its whole set-up before main.
        char separator = File.pathSeparatorChar;
        int start = 0;
        while (start <= path.length()) {
            int end = path.indexOf(separator, start);
            if (end < 0) {
                end = path.length();
            }
            if (end > start) {
                try {
                    urls.add(new File(path.substring(start, end)).toURI().toURL());
                } catch (Exception e) {
                    // an element that cannot be a URL is left out (the catch
                    // names a class the runtime has loaded already: verifying
                    // the loader at start then loads none)
                }
            }
            start = end + 1;
        }
        return urls.toArray(new URL[0]);
    }

    /**
     * The permissions of a code source, worked out when first asked for, as
     * the JDK's own class-path loader does: the file permission of the
     * location costs the set-up of the security properties, which most
     * applications never need. With a security manager installed they are
     * worked out at once, under its checks.
     */
    @Override
    @SuppressWarnings("removal")
    protected PermissionCollection getPermissions(CodeSource cs) {
        if (System.getSecurityManager() != null) {
            return super.getPermissions(cs);
        }
        return LazyPermissions.of(this, cs);
    }

    /**
     * What URLClassLoader grants, and "exitVM" where the JDK's own
     * application class loader grants it to the classes it loads.
     */
    private PermissionCollection permissionsNow(CodeSource cs) {
        PermissionCollection permissions = super.getPermissions(cs);
        Seldom.grantExit(permissions);
        return permissions;
    }

    /**
     * The loader's seldom-taken paths, in a class of their own: verifying the
     * loader at start then loads none of the types only they use.
     */
    private static final class Seldom {
        private static volatile Boolean exitGranted;

        /**
         * The feature version whose entries multi-release jars serve, as the JDK's
         * jar reader works it out: the running one, or a lower one that
         * "jdk.util.jar.version" names; 0 (none) with
         * "jdk.util.jar.enableMultiRelease=false".
         */
        static int servedFeatureVersion() {
            if ("false".equals(System.getProperty("jdk.util.jar.enableMultiRelease"))) {
                return 0;
            }
            String version = System.getProperty("jdk.util.jar.version");
            if (version != null) {
                try {
                    return Math.min(FEATURE_VERSION, Integer.parseInt(version));
                } catch (NumberFormatException e) {
                    // the running version, which a malformed value leaves in place
                }
            }
            return FEATURE_VERSION;
        }

        /** The "hux:" URL of the nested archive `tree`; null when it cannot be made. */
        static URL archiveUrl(String tree) {
            try {
                return new URL(null, "hux:" + tree, Handler.shared());
            } catch (IOException e) {
                return null;
            }
        }

        /** Adds "exitVM" when the JDK's application class loader, which loaded this class, grants it. */
        static void grantExit(PermissionCollection permissions) {
            Boolean granted = exitGranted;
            if (granted == null) {
                try {
                    PermissionCollection own = CarvossClassLoader.class.getProtectionDomain().getPermissions();
                    granted = own != null && own.implies(new RuntimePermission("exitVM"));
                } catch (SecurityException e) {
                    // only a runtime with a security manager gets here, and those grant it
                    granted = Boolean.TRUE;
                }
                exitGranted = granted;
            }
            if (granted) {
                permissions.add(new RuntimePermission("exitVM"));
            }
        }

        /**
         * As readSigned, through a JarFile over a private temporary copy of
         * the jar (only signed jars whose manifest is not at their start get
         * here).
         */
        static void readSignedFile(byte[] jar, Map<String, CodeSigner[]> signers, Map<String, String> failures) {
            java.nio.file.Path copy = null;
            try {
                copy = java.nio.file.Files.createTempFile("hux-signed", ".jar");
                java.nio.file.Files.write(copy, jar);
                java.util.jar.JarFile file = new java.util.jar.JarFile(copy.toFile(), true);
                try {
                    byte[] buffer = new byte[8192];
                    Enumeration<JarEntry> entries = file.entries();
                    while (entries.hasMoreElements()) {
                        JarEntry e = entries.nextElement();
                        java.io.InputStream in = file.getInputStream(e);
                        try {
                            readEntry(e, in, buffer, signers, failures);
                        } finally {
                            in.close();
                        }
                    }
                } finally {
                    file.close();
                }
            } catch (IOException e) {
                // what was read so far stands
            } catch (SecurityException e) {
                // a signature that does not verify: its entries count as unsigned
            } finally {
                if (copy != null) {
                    copy.toFile().delete();
                }
            }
        }

        /**
         * Reads one entry to its end, which checks its digest, then records
         * its signers, or why it failed.
         */
        private static void readEntry(JarEntry e, java.io.InputStream in, byte[] buffer,
                Map<String, CodeSigner[]> signers, Map<String, String> failures) throws IOException {
            try {
                while (in.read(buffer) != -1) {
                    // digests are checked as the entry is read
                }
                CodeSigner[] by = e.getCodeSigners();
                if (by != null) {
                    signers.put(e.getName(), by);
                }
            } catch (SecurityException bad) {
                failures.put(e.getName(), bad.getMessage());
            }
        }

        static RuntimeException security(String message) {
            return new SecurityException(message);
        }

        /** Reads a whole jar through the JDK's verifying reader: each entry's signers, or why it failed. */
        static void readSigned(byte[] jar, Map<String, CodeSigner[]> signers, Map<String, String> failures) {
            byte[] buffer = new byte[8192];
            try {
                JarInputStream in = new JarInputStream(new ByteArrayInputStream(jar), true);
                try {
                    if (in.getManifest() == null) {
                        // The stream reader verifies only a jar whose manifest
                        // comes first; the JDK's jar files verify any order.
                        readSignedFile(jar, signers, failures);
                        return;
                    }
                    JarEntry e;
                    while ((e = in.getNextJarEntry()) != null) {
                        readEntry(e, in, buffer, signers, failures);
                    }
                } finally {
                    in.close();
                }
            } catch (IOException e) {
                // what was read so far stands
            } catch (SecurityException e) {
                // a signature that does not verify: its entries count as unsigned
            }
        }
    }

    /**
     * Asking the parent first costs an exception for every class a nested
     * archive holds (tens of microseconds each before the code is compiled:
     * a fifth of the time of loading thousands of classes). The parent can
     * only find a class in a package of the runtime's modules, on the
     * executable's top level, on the boot class path appended to, or on a
     * class path of other entries; when none of those can hold the class, a
     * nested archive's copy is what the parent-first order ends at anyway.
     * Applications that load only a few classes never pay for the set of
     * the runtime's packages: it is made once the parent has missed
     * `MISSES_BEFORE` times.
     */
    private static final class NestedFirst {
        private static final int MISSES_BEFORE = 64;
        private static volatile int misses;
        /** The runtime modules' packages once nested-first applies; null while it does not. */
        private static volatile java.util.Set<String> runtimePackages;
        private static volatile boolean unavailable;
        /** The boot layer's packages, made once; null while not (yet) known. */
        private static volatile java.util.Set<String> bootPackages;
        private static volatile boolean noModules;

        static void parentMissed() {
            if (runtimePackages == null && !unavailable && ++misses >= MISSES_BEFORE) {
                java.util.Set<String> packages = packagesOfRuntimeModules();
                if (packages == null) {
                    unavailable = true;
                } else {
                    runtimePackages = packages;
                }
            }
        }

        static boolean applies(String name) {
            java.util.Set<String> packages = runtimePackages;
            if (packages == null) {
                return false;
            }
            int dot = name.lastIndexOf('.');
            return dot < 0 || !packages.contains(name.substring(0, dot));
        }

        /**
         * Whether `name` is in a package of a runtime module. The JDK's
         * application class loader serves such a package from its module
         * alone and never from the class path, so a copy in a jar is not
         * found there either. The set is made for names that can be in such
         * a package (or once the nested-first lookup made it anyway), so
         * that an application whose classes lie elsewhere never pays for it.
         */
        static boolean inRuntimeModule(String name) {
            int dot = name.lastIndexOf('.');
            if (dot < 0) {
                return false;
            }
            java.util.Set<String> packages = bootPackages;
            if (packages == null && mayBeRuntimeName(name)) {
                packages = bootLayerPackages();
            }
            return packages != null && packages.contains(name.substring(0, dot));
        }

        private static boolean mayBeRuntimeName(String name) {
            return name.startsWith("java.") || name.startsWith("javax.") || name.startsWith("jdk.")
                    || name.startsWith("sun.") || name.startsWith("com.sun.") || name.startsWith("org.w3c.")
                    || name.startsWith("org.xml.") || name.startsWith("org.ietf.") || name.startsWith("netscape.")
                    || name.startsWith("org.graalvm.");
        }

        /**
         * The packages of every module of the boot layer (those the JDK's
         * own loaders serve), or null where the parent may find classes
         * elsewhere too: a runtime without modules, an appended boot class
         * path, or a class path beyond the executable.
         */
        private static java.util.Set<String> packagesOfRuntimeModules() {
            String bootAppend = System.getProperty("jdk.boot.class.path.append");
            String classPath = System.getProperty("java.class.path", "");
            if ((bootAppend != null && bootAppend.length() > 0) || classPath.indexOf(File.pathSeparatorChar) >= 0) {
                return null;
            }
            return bootLayerPackages();
        }

        /** The boot layer's packages, through reflection (none on Java 8); null without modules. */
        @SuppressWarnings("unchecked")
        private static java.util.Set<String> bootLayerPackages() {
            java.util.Set<String> known = bootPackages;
            if (known != null || noModules) {
                return known;
            }
            try {
                Class<?> layer = Class.forName("java.lang.ModuleLayer");
                Object boot = layer.getMethod("boot").invoke(null);
                java.lang.reflect.Method packagesOf = Class.forName("java.lang.Module").getMethod("getPackages");
                java.util.Set<String> all = new java.util.HashSet<String>();
                for (Object module : (java.util.Set<Object>) layer.getMethod("modules").invoke(boot)) {
                    all.addAll((java.util.Set<String>) packagesOf.invoke(module));
                }
                bootPackages = all;
                return all;
            } catch (Exception e) {
                noModules = true;
                return null;
            }
        }
    }

    /** A code source's permissions, made by the loader on first use. */
    private static final class LazyPermissions extends PermissionCollection {
        private static final long serialVersionUID = 1L;
        private final transient CarvossClassLoader loader;
        private final transient CodeSource source;
        private PermissionCollection permissions;
        private boolean frozen;

        /** Typed as its superclass, so that verifying the loader does not load this class. */
        static PermissionCollection of(CarvossClassLoader loader, CodeSource source) {
            return new LazyPermissions(loader, source);
        }

        private LazyPermissions(CarvossClassLoader loader, CodeSource source) {
            this.loader = loader;
            this.source = source;
        }

        private synchronized PermissionCollection permissions() {
            if (permissions == null) {
                PermissionCollection made = loader.permissionsNow(source);
                if (frozen) {
                    made.setReadOnly();
                }
                permissions = made;
            }
            return permissions;
        }

        @Override
        public void add(Permission permission) {
            if (isReadOnly()) {
                throw Seldom.security("attempt to add a Permission to a readonly PermissionCollection");
            }
            permissions().add(permission);
        }

        @Override
        public boolean implies(Permission permission) {
            return permissions().implies(permission);
        }

        @Override
        public Enumeration<Permission> elements() {
            return permissions().elements();
        }

        @Override
        public void setReadOnly() {
            synchronized (this) {
                frozen = true;
                if (permissions != null) {
                    permissions.setReadOnly();
                }
            }
            super.setReadOnly();
        }
    }

    /** Set once the archive's natives are known to be bound. */
    private static volatile boolean archiveBound;

    /**
     * Whether the archive can be read: the launcher binds the natives, and
     * then sets "hux.app.path", right after the virtual machine has started
     * (on Windows the static initialiser binds them). A -javaagent's premain
     * runs while the machine starts, before that: its classes then come from
     * the parent and the external class path, where its jar was added.
     */
    private static boolean archiveBound() {
        if (!archiveBound && System.getProperty("hux.app.path") != null) {
            archiveBound = true;
        }
        return archiveBound;
    }

    /**
     * Called by the virtual machine for a -javaagent jar (and by
     * Instrumentation.appendToSystemClassLoaderSearch): the jar joins the
     * external class path, as the JDK's application class loader takes it.
     * Without this method the machine refuses to start with an agent.
     */
    @SuppressWarnings("unused")
    private void appendToClassPathForInstrumentation(String path) throws java.net.MalformedURLException {
        addURL(new File(path).toURI().toURL());
    }

    /** The executable as a file: URL, or null before its path is known. */
    static URL applicationUrl() {
        String app = System.getProperty("hux.app.path");
        if (app == null) {
            return null;
        }
        try {
            return new File(app).toURI().toURL();
        } catch (Exception e) {
            return null;
        }
    }

    /** The executable first (what the archive's classes come from), then the external class path. */
    @Override
    public URL[] getURLs() {
        URL[] external = super.getURLs();
        URL app = applicationUrl();
        if (app == null) {
            return external;
        }
        URL[] all = new URL[external.length + 1];
        all[0] = app;
        System.arraycopy(external, 0, all, 1, external.length);
        return all;
    }

    /**
     * The JDK asks the system loader for "com.mordavin.&lt;protocol&gt;.Handler"
     * for every protocol it meets, since the launcher's package is in
     * java.protocol.handler.pkgs. Only "hux" has one: the others are refused
     * here, before the external class path is opened (which itself makes URLs
     * and would ask again).
     */
    static boolean isForeignHandlerName(String name) {
        return name.startsWith("com.mordavin.") && name.endsWith(".Handler")
                && name.indexOf('.', 13) == name.length() - 8 && !name.equals("com.mordavin.hux.Handler");
    }

    /**
     * Parent first, as ClassLoader.loadClass does, except that a class found
     * nowhere costs one exception, as under java -cp: the parent's stands for
     * this loader's when neither the archive nor the external class path
     * holds the class (applications that probe for classes meet many). Once
     * the parent has missed often, a class that only a nested archive can
     * hold is taken from there first (see NestedFirst).
     */
    @Override
    protected Class<?> loadClass(String name, boolean resolve) throws ClassNotFoundException {
        if (isForeignHandlerName(name)) {
            throw new ClassNotFoundException(name);
        }
        ClassLoader parent = getParent();
        if (parent == null) {
            return super.loadClass(name, resolve);
        }
        synchronized (getClassLoadingLock(name)) {
            Class<?> c = findLoadedClass(name);
            // The archive is searched once: a class the nested-first lookup
            // did not find is not there for the parent's miss either (the
            // top level, which it leaves out, is the parent's).
            boolean searched = false;
            if (c == null && parentIsTopLevel && NestedFirst.applies(name)) {
                c = findArchiveClass(name, true);
                searched = true;
            }
            if (c == null) {
                try {
                    c = parent.loadClass(name);
                } catch (ClassNotFoundException missing) {
                    if (parentIsTopLevel) {
                        NestedFirst.parentMissed();
                        // Standing in for the application class loader, which
                        // looks for a runtime module's package nowhere else.
                        if (NestedFirst.inRuntimeModule(name)) {
                            throw missing;
                        }
                    }
                    c = searched ? null : findArchiveClass(name, false);
                    if (c == null) {
                        if (super.getURLs().length == 0) {
                            throw missing;
                        }
                        c = super.findClass(name);
                    }
                }
            }
            if (resolve) {
                resolveClass(c);
            }
            return c;
        }
    }

    @Override
    protected Class<?> findClass(String name) throws ClassNotFoundException {
        Class<?> c = findArchiveClass(name, false);
        return c != null ? c : super.findClass(name);
    }

    /**
     * The class from the archive, or null where the archive does not hold it
     * (or, with `nestedOnly`, holds it at its top level, where the parent
     * finds it).
     */
    private Class<?> findArchiveClass(String name, boolean nestedOnly) throws ClassNotFoundException {
        if (!archiveBound()) {
            return null;
        }
        serveVersionsOnce();
        String entry = name.replace('.', '/') + ".class";
        String tree = findEntry(entry);
        if (tree == null) {
            return null;
        }
        int bang = tree.indexOf('!');
        if (nestedOnly && bang < 0) {
            return null;
        }
        Archive archive = archiveOf(bang < 0 ? "" : tree.substring(0, bang + 1));
        String inJar = bang < 0 ? tree : tree.substring(bang + 1);
        byte[] bytes = entryBytes(tree);
        if (bytes == null) {
            throw new ClassNotFoundException(name);
        }
        CodeSigner[] signers = archive.signersOf(inJar);
        int dot = name.lastIndexOf('.');
        if (dot > 0) {
            definePackageOf(name.substring(0, dot), archive);
        }
        return defineClass(name, bytes, 0, bytes.length, archive.codeSource(signers));
    }

    /** Defines the package from the archive's manifest, or checks it against the archive's sealing. */
    private void definePackageOf(String pkg, Archive archive) {
        Package p = getPackage(pkg);
        if (p == null) {
            try {
                if (archive.manifest != null) {
                    // The seal base only counts for a sealed package; made
                    // only then, since a nested archive's costs the URL handler.
                    definePackage(pkg, archive.manifest,
                            isSealed(pkg, archive.manifest) ? archive.sealBase() : null);
                } else {
                    definePackage(pkg, null, null, null, null, null, null, null);
                }
                return;
            } catch (IllegalArgumentException alreadyDefined) {
                // another thread defined the package first
                p = getPackage(pkg);
                if (p == null) {
                    return;
                }
            }
        }
        if (p.isSealed()) {
            if (!p.isSealed(archive.sealBase())) {
                throw Seldom.security("sealing violation: package " + pkg + " is sealed");
            }
        } else if (archive.manifest != null && isSealed(pkg, archive.manifest)) {
            throw Seldom.security("sealing violation: can't seal package " + pkg + ": already loaded");
        }
    }

    private static boolean isSealed(String pkg, Manifest manifest) {
        String sealed = null;
        Attributes entry = manifest.getAttributes(pkg.replace('.', '/') + "/");
        if (entry != null) {
            sealed = entry.getValue(Attributes.Name.SEALED);
        }
        if (sealed == null) {
            sealed = manifest.getMainAttributes().getValue(Attributes.Name.SEALED);
        }
        return "true".equalsIgnoreCase(sealed);
    }

    private Archive archiveOf(String prefix) {
        Archive a = archives.get(prefix);
        if (a == null) {
            a = new Archive(prefix);
            Archive raced = ((ConcurrentHashMap<String, Archive>) archives).putIfAbsent(prefix, a);
            if (raced != null) {
                a = raced;
            }
        }
        return a;
    }

    /** The running JDK's feature version, from its class-file version (52 is Java 8). */
    private static int featureVersion() {
        String classVersion = System.getProperty("java.class.version", "52.0");
        int major = 0;
        int i = 0;
        for (; i < classVersion.length() && i < 6; i++) {
            char c = classVersion.charAt(i);
            if (c < '0' || c > '9') {
                break;
            }
            major = major * 10 + (c - '0');
        }
        boolean whole = i > 0 && (i == classVersion.length() || classVersion.charAt(i) == '.');
        return whole && major >= 52 ? major - 44 : 8;
    }

    /** What the loader knows about one archive classes come from. */
    private final class Archive {
        final String prefix;
        final Manifest manifest;
        private URL sealBase;
        final boolean multiRelease;
        final boolean signed;
        final CodeSource unsigned;
        private Map<String, CodeSigner[]> signers;
        private Map<String, String> failures;
        private final Map<List<CodeSigner>, CodeSource> sources = new HashMap<List<CodeSigner>, CodeSource>();

        Archive(String prefix) {
            this.prefix = prefix;
            Manifest m = null;
            byte[] bytes = entryBytes(prefix + "META-INF/MANIFEST.MF");
            if (bytes != null) {
                try {
                    m = new Manifest(new ByteArrayInputStream(bytes));
                } catch (Exception e) {
                    // unreadable: served as a jar without a manifest
                    m = null;
                }
            }
            manifest = m;
            URL app = applicationUrl();
            multiRelease = FEATURE_VERSION >= 9 && m != null
                    && "true".equalsIgnoreCase(m.getMainAttributes().getValue("Multi-Release"));
            signed = prefix.length() > 0 && m != null && hasDigests(m);
            unsigned = new CodeSource(app, (CodeSigner[]) null);
        }

        /** What a package sealed by this archive's manifest is sealed to: the archive's own URL. */
        synchronized URL sealBase() {
            if (sealBase == null) {
                URL seal = unsigned.getLocation();
                if (prefix.length() > 0) {
                    URL own = Seldom.archiveUrl(prefix.substring(0, prefix.length() - 1));
                    if (own != null) {
                        seal = own;
                    }
                }
                sealBase = seal;
            }
            return sealBase;
        }

        CodeSource codeSource(CodeSigner[] by) {
            if (by == null || by.length == 0) {
                return unsigned;
            }
            List<CodeSigner> key = java.util.Arrays.asList(by);
            synchronized (sources) {
                CodeSource cs = sources.get(key);
                if (cs == null) {
                    cs = new CodeSource(unsigned.getLocation(), by);
                    sources.put(key, cs);
                }
                return cs;
            }
        }

        /** The verified signers of `entry`; a SecurityException when its signed content was altered. */
        CodeSigner[] signersOf(String entry) {
            if (!signed) {
                return null;
            }
            synchronized (this) {
                if (signers == null) {
                    verify();
                }
            }
            String failure = failures.get(entry);
            if (failure != null) {
                throw Seldom.security(failure);
            }
            return signers.get(entry);
        }

        /** Reads the whole jar once through the JDK's verifying reader. */
        private void verify() {
            signers = new HashMap<String, CodeSigner[]>();
            failures = new HashMap<String, String>();
            byte[] jar = entryBytes(prefix.substring(0, prefix.length() - 1));
            if (jar != null) {
                Seldom.readSigned(jar, signers, failures);
            }
        }
    }

    /** Whether a manifest carries per-entry digests, the mark of a signed jar. */
    private static boolean hasDigests(Manifest m) {
        for (Attributes a : m.getEntries().values()) {
            for (Object key : a.keySet()) {
                if (key.toString().toUpperCase(java.util.Locale.ROOT).endsWith("-DIGEST")) {
                    return true;
                }
            }
        }
        return false;
    }

    /** The full tree name ('/' separators, "!" between archives) `name` resolves to, or null. */
    protected native String findEntry(String name);

    /** The bytes of the entry with full tree name `tree`, or null. */
    protected native byte[] entryBytes(String tree);

    /** The resource's URL: its archive entry first, then the external class path. */
    @Override
    public URL findResource(String name) {
        if (!archiveBound()) {
            return super.findResource(name);
        }
        serveVersionsOnce();
        return findArchiveResource(name);
    }

    /** Every match: the nested jars' entries, then the external class path's. */
    @Override
    public Enumeration<URL> findResources(String name) throws IOException {
        if (!archiveBound()) {
            return super.findResources(name);
        }
        serveVersionsOnce();
        return findArchiveResources(name);
    }

    /** Set once the nested multi-release jars serve the running version's entries. */
    private volatile boolean versionsServed;
    /** True while this loader's thread works out the multi-release jars (under versionLock). */
    private boolean servingVersions;
    private final Object versionLock = new Object();

    /**
     * Before the first lookup: the natives name the nested jars that have
     * version directories (none in most applications, which so pay for no
     * manifest), and those whose manifest says "Multi-Release: true" are told
     * to serve the running Java version's entries from then on, also for names
     * that only a version directory holds. Later lookups, hits and misses,
     * make no native call more than before.
     */
    private void serveVersionsOnce() {
        if (versionsServed) {
            return;
        }
        synchronized (versionLock) {
            // A lookup made while the jars are looked at (by this thread) goes on without them.
            if (versionsServed || servingVersions) {
                return;
            }
            servingVersions = true;
            try {
                // Only jars with version directories need the served version worked out.
                String[] candidates = versionedArchives();
                int feature = candidates != null && candidates.length > 0 ? Seldom.servedFeatureVersion() : 0;
                for (int i = 0; feature >= 9 && i < candidates.length; i++) {
                    if (archiveOf(candidates[i]).multiRelease) {
                        serveVersions(candidates[i], feature);
                    }
                }
            } finally {
                servingVersions = false;
                versionsServed = true;
            }
        }
    }

    /**
     * The "name!" prefixes of the nested jars with version directories
     * ("META-INF/versions/N/"), spelled as findEntry spells their entries.
     */
    protected native String[] versionedArchives();

    /**
     * From now on, lookups by name in the nested jar `prefix` resolve to the
     * entry of its highest version directory up to `feature` that holds the
     * name, where one does.
     */
    protected native void serveVersions(String prefix, int feature);

    /** The archive's URL for resource `name`, or the external class path's, or null. */
    protected native URL findArchiveResource(String name);

    /** The nested jars' URLs for resource `name`, then the external class path's. */
    protected native Enumeration<URL> findArchiveResources(String name) throws IOException;
}
