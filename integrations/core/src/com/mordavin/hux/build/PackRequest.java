package com.mordavin.hux.build;

import java.io.File;
import java.util.ArrayList;
import java.util.Collections;
import java.util.HashSet;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.Set;

/**
 * What one {@code hux pack} run of a build is asked to do, independent of the
 * build tool: the jars in class-path order, the targets, the configuration and
 * the Windows options. {@link #arguments(String)} turns it into the tool's
 * command line for one target.
 */
public final class PackRequest {
    public static final String LINUX = "linux-x64";
    public static final String WINDOWS = "windows-x64";

    /** One jar to pack: the name it is stored under and the file. */
    public static final class Jar {
        public final String name;
        public final File file;

        Jar(String name, File file) {
            this.name = name;
            this.file = file;
        }
    }

    private final List<Jar> jars = new ArrayList<>();
    private final Set<String> names = new HashSet<>();
    private final List<String> targets = new ArrayList<>();
    private final List<String> lines = new ArrayList<>();
    private final List<String> extraArguments = new ArrayList<>();
    private final Map<String, String> versionFields = new LinkedHashMap<>();
    private File outputDirectory = new File(".");
    private String outputName;
    private File configFile;
    private boolean flatten;
    private boolean fast;
    private boolean train;
    private String trainArguments;
    private File icon;
    private File manifest;
    private boolean gui;
    private File versionInfo;
    private File signKey;
    private File signCert;
    private boolean jlink;
    private boolean embed;
    private File runtime;
    private File jdk;
    private final List<String> addModules = new ArrayList<>();

    /**
     * Adds a jar after the ones added so far. It is stored under its file name;
     * when a jar of that name is packed already, under {@code qualifier-name}
     * (then with a number), so that two libraries' {@code core-1.0.jar} both stay.
     */
    public void addJar(File file, String qualifier) {
        String base = file.getName().replace('=', '_');
        String name = base;
        if (names.contains(name.toLowerCase(Locale.ROOT)) && qualifier != null && !qualifier.isEmpty())
            name = qualifier.replace('=', '_').replace('/', '_').replace('\\', '_') + "-" + base;
        for (int n = 2; names.contains(name.toLowerCase(Locale.ROOT)); n++) name = n + "-" + base;
        names.add(name.toLowerCase(Locale.ROOT));
        jars.add(new Jar(name, file));
    }

    public List<Jar> jars() {
        return Collections.unmodifiableList(jars);
    }

    /** Adds a target; empty or blank entries are skipped, an unknown one is refused. */
    public void addTarget(String target) throws PackException {
        String t = target == null ? "" : target.trim();
        if (t.isEmpty()) return;
        if (!t.equals(LINUX) && !t.equals(WINDOWS))
            throw new PackException("unknown hux target '" + t + "' (use " + LINUX + " or " + WINDOWS + ")");
        if (!targets.contains(t)) targets.add(t);
    }

    /** The targets asked for; none means this machine's own. */
    public List<String> targets() {
        return Collections.unmodifiableList(targets);
    }

    /** One configuration line ("key value"), after the configuration file's. */
    public void addLine(String line) {
        if (line != null && !line.trim().isEmpty()) lines.add(line.trim());
    }

    public void setMainClass(String mainClass) {
        if (mainClass != null && !mainClass.trim().isEmpty()) addLine("mainclass " + mainClass.trim());
    }

    public void addOption(String option) {
        if (option != null && !option.trim().isEmpty()) addLine("option " + option.trim());
    }

    /** Further arguments for {@code hux pack} (e.g. {@code --jlink}), passed as they are. */
    public void addArgument(String argument) {
        if (argument != null && !argument.isEmpty()) extraArguments.add(argument);
    }

    public void setOutputDirectory(File directory) {
        outputDirectory = directory;
    }

    /** The executable's name without {@code .exe}; default: the first jar's name without {@code .jar}. */
    public void setOutputName(String name) {
        outputName = name == null || name.trim().isEmpty() ? null : name.trim();
    }

    public void setConfigFile(File file) {
        configFile = file;
    }

    public void setFlatten(boolean flatten) {
        this.flatten = flatten;
    }

    /** The fastest start with java -cp's class loading (see hux pack --fast). */
    public void setFast(boolean fast) {
        this.fast = fast;
    }

    /**
     * Run the application once at pack time, with {@code arguments} (one text,
     * split as a command line; null: none), and store its ahead-of-time cache
     * with the runtime inside the executable (see hux pack --train).
     */
    public void setTraining(boolean train, String arguments) {
        this.train = train;
        trainArguments = arguments == null ? "" : arguments.trim();
    }

    public void setIcon(File icon) {
        this.icon = icon;
    }

    public void setManifest(File manifest) {
        this.manifest = manifest;
    }

    public void setGui(boolean gui) {
        this.gui = gui;
    }

    public void setVersionInfo(File file) {
        versionInfo = file;
    }

    /**
     * A version-information field for Windows executables: product-name,
     * file-description, company, copyright, version, product-version, language.
     * A blank value leaves the field out.
     */
    public void setVersionField(String field, String value) {
        if (value == null || value.trim().isEmpty()) versionFields.remove(field);
        else versionFields.put(field, value.trim());
    }

    public void setSigning(File key, File cert) {
        signKey = key;
        signCert = cert;
    }

    /** Make a small runtime with jlink beside the executable (inside it with {@link #setEmbed}). */
    public void setJlink(boolean jlink) {
        this.jlink = jlink;
    }

    /** Store the runtime (jlink's, or {@link #setRuntime}'s) inside the executable instead of beside it. */
    public void setEmbed(boolean embed) {
        this.embed = embed;
    }

    /** A runtime image (a JDK or a jlink output) to ship with the executable. */
    public void setRuntime(File runtime) {
        this.runtime = runtime;
    }

    /** The JDK whose modules jlink links. */
    public void setJdk(File jdk) {
        this.jdk = jdk;
    }

    /** Modules jlink adds to those jdeps finds; entries may be comma-separated. */
    public void addModules(String modules) {
        if (modules == null) return;
        for (String module : modules.split(","))
            if (!module.trim().isEmpty()) addModules.add(module.trim());
    }

    /** Every file the pack reads: the jars, then the files the settings name. */
    public List<File> inputFiles() {
        List<File> files = new ArrayList<>();
        for (Jar jar : jars) files.add(jar.file);
        for (File f : new File[] {configFile, icon, manifest, versionInfo, signKey, signCert, runtime})
            if (f != null) files.add(f);
        return files;
    }

    /** The file {@code hux pack} writes for a target (null: this machine's). */
    public File outputFile(String target) throws PackException {
        String base = outputName;
        if (base == null) {
            if (jars.isEmpty()) throw new PackException("no jar to pack");
            base = jars.get(0).name;
            if (base.toLowerCase(Locale.ROOT).endsWith(".jar")) base = base.substring(0, base.length() - 4);
        }
        boolean windows = WINDOWS.equals(target) || (target == null && isWindowsHost());
        if (windows && !base.toLowerCase(Locale.ROOT).endsWith(".exe")) base += ".exe";
        return new File(outputDirectory, base);
    }

    /**
     * The arguments after the tool's path for one target (null: this machine's).
     * The Windows options go only to windows-x64: the tool refuses them for Linux.
     */
    public List<String> arguments(String target) throws PackException {
        if (jars.isEmpty()) throw new PackException("no jar to pack");
        List<String> args = new ArrayList<>();
        args.add("pack");
        if (target != null) {
            args.add("-t");
            args.add(target);
        }
        args.add("-o");
        args.add(outputFile(target).getPath());
        if (configFile != null) {
            args.add("-c");
            args.add(configFile.getPath());
        }
        for (String line : lines) {
            args.add("-l");
            args.add(line);
        }
        if (flatten) args.add("--flatten");
        if (fast) args.add("--fast");
        boolean windows = WINDOWS.equals(target) || (target == null && isWindowsHost());
        if (windows) {
            if (icon != null) addPair(args, "--icon", icon.getPath());
            if (manifest != null) addPair(args, "--manifest", manifest.getPath());
            if (gui) args.add("--gui");
            // The file first: fields named in the build override its lines.
            if (versionInfo != null) addPair(args, "--version-info", versionInfo.getPath());
            for (Map.Entry<String, String> field : versionFields.entrySet())
                addPair(args, "--" + field.getKey(), field.getValue());
            if (signKey != null || signCert != null) {
                if (signKey == null || signCert == null)
                    throw new PackException("signing needs both the key and the certificate");
                addPair(args, "--sign-key", signKey.getPath());
                addPair(args, "--sign-cert", signCert.getPath());
            }
        }
        addRuntimeArguments(args);
        args.addAll(extraArguments);
        // After "--" every argument is a file, even one that starts with '-'.
        args.add("--");
        for (Jar jar : jars) args.add(jar.name + "=" + jar.file.getPath());
        return args;
    }

    private void addRuntimeArguments(List<String> args) throws PackException {
        if (runtime != null && jlink)
            throw new PackException("give either a runtime image or jlink, not both");
        if (!jlink && (jdk != null || !addModules.isEmpty()))
            throw new PackException("the jdk and addModules settings need jlink");
        if (runtime != null) addPair(args, embed ? "--embed-runtime" : "--runtime", runtime.getPath());
        if (jlink) {
            args.add("--jlink");
            if (embed) args.add("--embed");
            if (jdk != null) addPair(args, "--jdk", jdk.getPath());
            if (!addModules.isEmpty()) addPair(args, "--add-modules", String.join(",", addModules));
        } else if (embed && runtime == null) {
            throw new PackException("embed needs jlink or a runtime image");
        }
        if (train && !embed) throw new PackException("train needs embed (the runtime inside the executable)");
        if (train) addPair(args, "--train", trainArguments);
    }

    private static void addPair(List<String> args, String option, String value) {
        args.add(option);
        args.add(value);
    }

    static boolean isWindowsHost() {
        return System.getProperty("os.name", "").toLowerCase(Locale.ROOT).startsWith("windows");
    }
}
