package com.mordavin.hux.maven;

import com.mordavin.hux.build.HuxTool;
import com.mordavin.hux.build.PackException;
import com.mordavin.hux.build.PackRequest;
import com.mordavin.hux.build.PackState;
import java.io.File;
import java.util.ArrayList;
import java.util.List;
import org.apache.maven.artifact.Artifact;
import org.apache.maven.model.Organization;
import org.apache.maven.plugin.AbstractMojo;
import org.apache.maven.plugin.MojoExecutionException;
import org.apache.maven.plugins.annotations.LifecyclePhase;
import org.apache.maven.plugins.annotations.Mojo;
import org.apache.maven.plugins.annotations.Parameter;
import org.apache.maven.plugins.annotations.ResolutionScope;
import org.apache.maven.project.MavenProject;

/**
 * Packs the project's jar and its runtime dependencies, in class-path order,
 * into an executable for each target, by running {@code hux pack}.
 */
@Mojo(name = "pack", defaultPhase = LifecyclePhase.PACKAGE, requiresDependencyResolution = ResolutionScope.RUNTIME,
      threadSafe = true)
public class PackMojo extends AbstractMojo {
    @Parameter(defaultValue = "${project}", readonly = true, required = true)
    private MavenProject project;

    /** The hux tool; default: the one on PATH. */
    @Parameter(property = "hux.tool")
    private String huxTool;

    /** linux-x64 and/or windows-x64; default: this machine's. */
    @Parameter
    private List<String> targets;

    @Parameter(defaultValue = "${project.build.directory}", required = true)
    private File outputDirectory;

    /** The executable's name (.exe is added for Windows). */
    @Parameter(property = "hux.name", defaultValue = "${project.artifactId}")
    private String name;

    /** Configuration lines ("key value"), after those of configFile. */
    @Parameter
    private List<String> config;

    @Parameter
    private File configFile;

    @Parameter
    private String mainClass;

    /** JVM options, one per element. */
    @Parameter
    private List<String> options;

    /** Store all classes as one jar (see hux pack --flatten). */
    @Parameter(defaultValue = "false")
    private boolean flatten;

    /** The fastest start with java -cp's class loading (see hux pack --fast). */
    @Parameter(defaultValue = "false")
    private boolean fast;

    /** Further hux pack arguments, e.g. --jlink. */
    @Parameter
    private List<String> arguments;

    @Parameter
    private File icon;

    @Parameter
    private File manifest;

    @Parameter(defaultValue = "false")
    private boolean gui;

    /** A file of key=value version fields; with it, only the fields set here are added to it. */
    @Parameter
    private File versionInfo;

    /** Default: the project's name. */
    @Parameter
    private String productName;

    @Parameter
    private String fileDescription;

    /** Default: the project's organization. */
    @Parameter
    private String company;

    @Parameter
    private String copyright;

    /** Default: the project's version. */
    @Parameter
    private String version;

    @Parameter
    private String productVersion;

    @Parameter
    private String language;

    @Parameter
    private File signKey;

    @Parameter
    private File signCert;

    /** Make a small runtime with jdeps and jlink as jre/ beside the executable. */
    @Parameter(defaultValue = "false")
    private boolean jlink;

    /** Store the runtime (jlink's or the runtime image) inside the executable. */
    @Parameter(defaultValue = "false")
    private boolean embed;

    /** A runtime image (a JDK or a jlink output) to ship with the executable. */
    @Parameter
    private File runtime;

    /** With jlink: the JDK whose modules are linked. */
    @Parameter
    private File jdk;

    /** With jlink: modules to add to those jdeps finds. */
    @Parameter
    private List<String> addModules;

    /** With embed, on Java 24+: run the application once at pack time and store its ahead-of-time cache. */
    @Parameter(defaultValue = "false")
    private boolean train;

    /** The arguments of that run, one text split as a command line. */
    @Parameter
    private String trainArguments;

    /** Pack even when nothing changed since the last pack. */
    @Parameter(property = "hux.force", defaultValue = "false")
    private boolean force;

    @Parameter(property = "hux.skip", defaultValue = "false")
    private boolean skip;

    @Override
    public void execute() throws MojoExecutionException {
        if (skip) {
            getLog().info("hux pack skipped");
            return;
        }
        try {
            HuxTool tool = HuxTool.find(huxTool, System.getenv("PATH"), isWindowsHost());
            PackRequest request = request();
            List<String> arguments = new ArrayList<>();
            List<File> outputs = new ArrayList<>();
            for (String target : request.targets().isEmpty() ? java.util.Collections.<String>singletonList(null)
                    : request.targets()) {
                arguments.addAll(request.arguments(target));
                outputs.add(request.outputFile(target));
            }
            List<File> inputs = new ArrayList<>(request.inputFiles());
            inputs.add(tool.executable());
            String fingerprint = PackState.fingerprint(arguments, inputs);
            File state = new File(outputDirectory, "." + outputs.get(0).getName() + ".hux-inputs");
            if (!force && PackState.upToDate(state, fingerprint, outputs)) {
                getLog().info("hux: " + outputs + " up to date (nothing changed since the last pack)");
                return;
            }
            PackState.forget(state);
            for (File written : tool.pack(request, project.getBasedir(), new MavenLog()))
                getLog().info("hux: wrote " + written.getPath());
            PackState.record(state, fingerprint);
        } catch (PackException e) {
            throw new MojoExecutionException(e.getMessage());
        }
    }

    PackRequest request() throws PackException {
        PackRequest request = new PackRequest();
        File jar = project.getArtifact().getFile();
        if (jar == null || !jar.isFile())
            throw new PackException("the project's jar is not built yet: run hux:pack in the package phase"
                    + " (mvn package), after the jar");
        request.addJar(jar, project.getGroupId());
        for (Artifact artifact : project.getArtifacts()) {
            String scope = artifact.getScope();
            boolean runtime = scope == null || Artifact.SCOPE_COMPILE.equals(scope)
                    || Artifact.SCOPE_RUNTIME.equals(scope);
            File file = artifact.getFile();
            if (!runtime || !artifact.getArtifactHandler().isAddedToClasspath() || file == null || !file.isFile())
                continue;
            request.addJar(file, artifact.getGroupId());
        }
        if (targets != null)
            for (String target : targets) request.addTarget(target);
        request.setOutputDirectory(outputDirectory);
        request.setOutputName(name);
        if (configFile != null) {
            if (!configFile.isFile()) throw new PackException("the configuration file '" + configFile + "' does not exist");
            request.setConfigFile(configFile);
        }
        if (config != null)
            for (String line : config) request.addLine(line);
        request.setMainClass(mainClass);
        if (options != null)
            for (String option : options) request.addOption(option);
        request.setFlatten(flatten);
        request.setFast(fast);
        if (arguments != null)
            for (String argument : arguments) request.addArgument(argument);
        request.setIcon(icon);
        request.setManifest(manifest);
        request.setGui(gui);
        request.setVersionInfo(versionInfo);
        // The project's own facts fill the version information unless a file gives it.
        boolean fromProject = versionInfo == null;
        Organization organization = project.getOrganization();
        request.setVersionField("product-name", or(productName, fromProject ? project.getName() : null));
        request.setVersionField("file-description", fileDescription);
        request.setVersionField("company",
                or(company, fromProject && organization != null ? organization.getName() : null));
        request.setVersionField("copyright", copyright);
        request.setVersionField("version", or(version, fromProject ? project.getVersion() : null));
        request.setVersionField("product-version", productVersion);
        request.setVersionField("language", language);
        request.setSigning(signKey, signCert);
        request.setJlink(jlink);
        request.setEmbed(embed);
        request.setRuntime(runtime);
        request.setJdk(jdk);
        if (addModules != null)
            for (String modules : addModules) request.addModules(modules);
        request.setTraining(train, trainArguments);
        return request;
    }

    private static String or(String value, String fallback) {
        return value != null && !value.trim().isEmpty() ? value : fallback;
    }

    private static boolean isWindowsHost() {
        return System.getProperty("os.name", "").toLowerCase(java.util.Locale.ROOT).startsWith("windows");
    }

    private final class MavenLog implements HuxTool.Log {
        public void info(String line) {
            getLog().info(line);
        }

        public void warn(String line) {
            getLog().warn(line);
        }

        public void error(String line) {
            getLog().error(line);
        }
    }
}
