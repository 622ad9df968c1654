package com.mordavin.hux.gradle;

import com.mordavin.hux.build.HuxTool;
import com.mordavin.hux.build.PackException;
import com.mordavin.hux.build.PackRequest;
import java.io.File;
import java.util.ArrayList;
import java.util.Collections;
import java.util.HashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import org.gradle.api.DefaultTask;
import org.gradle.api.GradleException;
import org.gradle.api.Project;
import org.gradle.api.artifacts.Configuration;
import org.gradle.api.artifacts.ResolvedArtifact;
import org.gradle.api.file.FileCollection;
import org.gradle.api.tasks.Input;
import org.gradle.api.tasks.InputFiles;
import org.gradle.api.tasks.Internal;
import org.gradle.api.tasks.OutputFile;
import org.gradle.api.tasks.TaskAction;

/**
 * Packs the project's jar, then the runtime class path in the order Gradle
 * resolved it, into the executable for one target by running {@code hux pack}.
 * The whole command line is an input, so a changed setting, jar list or order
 * packs again; the jars' and the named files' contents are inputs too.
 */
public class HuxPackTask extends DefaultTask {
    private String target;
    private HuxExtension settings;
    private FileCollection projectJar;
    private Configuration runtimeClasspath;

    void configure(String target, HuxExtension settings, FileCollection projectJar, Configuration runtimeClasspath) {
        this.target = target;
        this.settings = settings;
        this.projectJar = projectJar;
        this.runtimeClasspath = runtimeClasspath;
    }

    @Input
    public String getTarget() {
        return target;
    }

    /** The jars packed (their contents decide whether the task is up to date). */
    @InputFiles
    public FileCollection getJars() {
        return runtimeClasspath == null ? projectJar : projectJar.plus(runtimeClasspath);
    }

    /** The files the settings name: configuration, icon, manifest, version information, signing, runtime image. */
    @InputFiles
    public FileCollection getSettingFiles() {
        List<File> files = new ArrayList<>();
        for (File f : new File[] {settings.getConfigFile(), settings.getIcon(), settings.getManifest(),
                settings.getVersionInfo(), settings.getSignKey(), settings.getSignCert(), settings.getRuntime()})
            if (f != null) files.add(f);
        return getProject().files(files);
    }

    /** What hux pack is run with; a setting it refuses stands here as its message, and fails the run. */
    @Input
    public List<String> getCommandLine() {
        try {
            return request().arguments(target);
        } catch (PackException e) {
            return Collections.singletonList("refused: " + e.getMessage());
        }
    }

    @OutputFile
    public File getOutputFile() {
        // Named without resolving the class path: Gradle asks for outputs while it holds its locks.
        try {
            return named(new PackRequest()).outputFile(target);
        } catch (PackException e) {
            throw new IllegalStateException(e);  // cannot happen: the name is always set
        }
    }

    @TaskAction
    public void pack() {
        Project project = getProject();
        Object property = project.findProperty("hux.tool");
        String named = settings.getHuxTool() != null ? settings.getHuxTool() : property == null ? null : property.toString();
        try {
            HuxTool tool = HuxTool.find(named, System.getenv("PATH"), isWindowsHost());
            PackRequest request = request();
            File output = request.outputFile(target);
            File parent = output.getAbsoluteFile().getParentFile();
            if (parent != null && !parent.isDirectory() && !parent.mkdirs())
                throw new PackException("cannot create the folder " + parent.getPath());
            int exit = tool.run(request.arguments(target), project.getProjectDir(), new GradleLog());
            if (exit != 0)
                throw new PackException("hux pack for " + target + " failed (exit " + exit + ")"
                        + (lastError == null ? "" : ": " + lastError));
            getLogger().lifecycle("hux: wrote " + output.getPath());
        } catch (PackException e) {
            throw new GradleException(e.getMessage());
        }
    }

    private String lastError;

    private PackRequest named(PackRequest request) {
        request.setOutputDirectory(outputDirectory());
        request.setOutputName(settings.getName() != null ? settings.getName() : getProject().getName());
        return request;
    }

    PackRequest request() throws PackException {
        Project project = getProject();
        PackRequest request = named(new PackRequest());
        for (File jar : projectJar.getFiles()) request.addJar(jar, String.valueOf(project.getGroup()));
        if (runtimeClasspath != null) {
            Map<File, String> groups = new HashMap<>();
            for (ResolvedArtifact artifact : runtimeClasspath.getResolvedConfiguration().getResolvedArtifacts())
                groups.put(artifact.getFile(), artifact.getModuleVersion().getId().getGroup());
            for (File file : runtimeClasspath.getFiles())
                if (file.isFile()) request.addJar(file, groups.get(file));
        }
        request.addTarget(target);
        request.setConfigFile(settings.getConfigFile());
        for (String line : settings.getConfig()) request.addLine(line);
        request.setMainClass(settings.getMainClass() != null ? settings.getMainClass() : applicationMainClass(project));
        for (String option : settings.getOptions()) request.addOption(option);
        request.setFlatten(settings.getFlatten());
        request.setFast(settings.getFast());
        for (String argument : settings.getArguments()) request.addArgument(argument);
        request.setIcon(settings.getIcon());
        request.setManifest(settings.getManifest());
        request.setGui(settings.getGui());
        request.setVersionInfo(settings.getVersionInfo());
        // The project's own facts fill the version information unless a file gives it.
        boolean fromProject = settings.getVersionInfo() == null;
        String projectVersion = String.valueOf(project.getVersion());
        request.setVersionField("product-name", or(settings.getProductName(), fromProject ? project.getName() : null));
        request.setVersionField("file-description",
                or(settings.getFileDescription(), fromProject ? project.getDescription() : null));
        request.setVersionField("company", settings.getCompany());
        request.setVersionField("copyright", settings.getCopyright());
        request.setVersionField("version", or(settings.getVersion(),
                fromProject && !"unspecified".equals(projectVersion) ? projectVersion : null));
        request.setVersionField("product-version", settings.getProductVersion());
        request.setVersionField("language", settings.getLanguage());
        request.setSigning(settings.getSignKey(), settings.getSignCert());
        request.setJlink(settings.getJlink());
        request.setEmbed(settings.getEmbed());
        request.setRuntime(settings.getRuntime());
        request.setJdk(settings.getJdk());
        for (String modules : settings.getAddModules()) request.addModules(modules);
        request.setTraining(settings.getTrain(), settings.getTrainArguments());
        return request;
    }

    private File outputDirectory() {
        return settings.getOutputDirectory() != null ? settings.getOutputDirectory()
                : new File(getProject().getBuildDir(), "hux");
    }

    /**
     * The application plugin's main class: the {@code application} extension's
     * {@code mainClass} in current Gradle, the {@code mainClassName} property in
     * older ones. Null without the plugin: the tool then takes the jar's Main-Class.
     */
    static String applicationMainClass(Project project) {
        Object application = project.getExtensions().findByName("application");
        if (application != null) {
            try {
                Object property = application.getClass().getMethod("getMainClass").invoke(application);
                Object value = property.getClass().getMethod("getOrNull").invoke(property);
                if (value != null) return value.toString();
            } catch (ReflectiveOperationException | RuntimeException ignored) {
                // no such property in this Gradle: the older one below
            }
        }
        Object legacy = project.hasProperty("mainClassName") ? project.property("mainClassName") : null;
        return legacy == null ? null : legacy.toString();
    }

    private static String or(String value, String fallback) {
        return value != null && !value.trim().isEmpty() ? value : fallback;
    }

    private static boolean isWindowsHost() {
        return System.getProperty("os.name", "").toLowerCase(Locale.ROOT).startsWith("windows");
    }

    private final class GradleLog implements HuxTool.Log {
        public void info(String line) {
            getLogger().info(line);
        }

        public void warn(String line) {
            getLogger().warn(line);
        }

        public void error(String line) {
            lastError = line;
            getLogger().error(line);
        }
    }
}
