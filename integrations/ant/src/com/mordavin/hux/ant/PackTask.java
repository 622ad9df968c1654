package com.mordavin.hux.ant;

import com.mordavin.hux.build.HuxTool;
import com.mordavin.hux.build.PackException;
import com.mordavin.hux.build.PackRequest;
import java.io.File;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;
import org.apache.tools.ant.BuildException;
import org.apache.tools.ant.Project;
import org.apache.tools.ant.Task;
import org.apache.tools.ant.types.Resource;
import org.apache.tools.ant.types.ResourceCollection;
import org.apache.tools.ant.types.resources.FileProvider;

/**
 * {@code <hux:pack>}: packs jars, in the order given, into an executable for
 * each target by running {@code hux pack}.
 *
 * <pre>
 * &lt;hux:pack targets="linux-x64,windows-x64" destdir="dist" name="app" mainclass="app.Main"&gt;
 *   &lt;path&gt;&lt;pathelement location="build/app.jar"/&gt;&lt;fileset dir="lib" includes="*.jar"/&gt;&lt;/path&gt;
 *   &lt;option value="-Xmx512m"/&gt;
 *   &lt;line&gt;property app.mode=packed&lt;/line&gt;
 * &lt;/hux:pack&gt;
 * </pre>
 */
public class PackTask extends Task {
    /** A nested {@code <line>} or {@code <option>}: its value attribute or its text. */
    public static class Text {
        private String value;

        public void setValue(String value) {
            this.value = value;
        }

        public void addText(String text) {
            if (value == null && text != null && !text.trim().isEmpty()) value = text;
        }

        String value(Project project) {
            return value == null ? null : project.replaceProperties(value);
        }
    }

    private final List<ResourceCollection> jars = new ArrayList<>();
    private final List<Text> lines = new ArrayList<>();
    private final List<Text> options = new ArrayList<>();
    private final List<Text> args = new ArrayList<>();
    private String huxTool;
    private String targets;
    private File destDir;
    private String name;
    private String mainClass;
    private File configFile;
    private boolean flatten;
    private boolean fast;
    private File icon;
    private File manifest;
    private boolean gui;
    private File versionInfo;
    private String productName;
    private String fileDescription;
    private String company;
    private String copyright;
    private String version;
    private String productVersion;
    private String language;
    private File signKey;
    private File signCert;

    /** Jars in class-path order: a {@code <path>}, {@code <filelist>} or {@code <fileset>}. */
    public void add(ResourceCollection collection) {
        jars.add(collection);
    }

    public Text createLine() {
        Text line = new Text();
        lines.add(line);
        return line;
    }

    public Text createOption() {
        Text option = new Text();
        options.add(option);
        return option;
    }

    /** A further {@code hux pack} argument, e.g. {@code --jlink}. */
    public Text createArg() {
        Text arg = new Text();
        args.add(arg);
        return arg;
    }

    public void setHuxTool(String huxTool) {
        this.huxTool = huxTool;
    }

    /** Comma-separated: linux-x64, windows-x64; default: this machine's. */
    public void setTargets(String targets) {
        this.targets = targets;
    }

    public void setDestDir(File destDir) {
        this.destDir = destDir;
    }

    public void setName(String name) {
        this.name = name;
    }

    public void setMainClass(String mainClass) {
        this.mainClass = mainClass;
    }

    public void setConfigFile(File configFile) {
        this.configFile = configFile;
    }

    public void setFlatten(boolean flatten) {
        this.flatten = flatten;
    }

    public void setFast(boolean fast) {
        this.fast = fast;
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

    public void setVersionInfo(File versionInfo) {
        this.versionInfo = versionInfo;
    }

    public void setProductName(String productName) {
        this.productName = productName;
    }

    public void setFileDescription(String fileDescription) {
        this.fileDescription = fileDescription;
    }

    public void setCompany(String company) {
        this.company = company;
    }

    public void setCopyright(String copyright) {
        this.copyright = copyright;
    }

    public void setVersion(String version) {
        this.version = version;
    }

    public void setProductVersion(String productVersion) {
        this.productVersion = productVersion;
    }

    public void setLanguage(String language) {
        this.language = language;
    }

    public void setSignKey(File signKey) {
        this.signKey = signKey;
    }

    public void setSignCert(File signCert) {
        this.signCert = signCert;
    }

    @Override
    public void execute() throws BuildException {
        try {
            String named = huxTool != null ? huxTool : getProject().getProperty("hux.tool");
            boolean windowsHost = System.getProperty("os.name", "").toLowerCase(Locale.ROOT).startsWith("windows");
            HuxTool tool = HuxTool.find(named, System.getenv("PATH"), windowsHost);
            tool.pack(request(), getProject().getBaseDir(), new HuxTool.Log() {
                public void info(String line) {
                    log(line, Project.MSG_INFO);
                }

                public void warn(String line) {
                    log(line, Project.MSG_WARN);
                }

                public void error(String line) {
                    log(line, Project.MSG_ERR);
                }
            }).forEach(file -> log("wrote " + file.getPath()));
        } catch (PackException e) {
            throw new BuildException(e.getMessage(), getLocation());
        }
    }

    PackRequest request() throws PackException {
        PackRequest request = new PackRequest();
        for (ResourceCollection collection : jars)
            for (Resource resource : collection) {
                FileProvider provider = resource.as(FileProvider.class);
                if (provider == null) throw new PackException("'" + resource + "' is not a file: name jars on disk");
                File file = provider.getFile();
                if (!file.isFile()) throw new PackException("the jar '" + file.getPath() + "' does not exist");
                File parent = file.getParentFile();
                request.addJar(file, parent == null ? null : parent.getName());
            }
        if (request.jars().isEmpty()) throw new PackException("no jar to pack: add a <path> or <fileset> of jars");
        if (targets != null)
            for (String target : targets.split(",")) request.addTarget(target);
        request.setOutputDirectory(destDir != null ? destDir : getProject().getBaseDir());
        request.setOutputName(name);
        if (configFile != null) {
            if (!configFile.isFile())
                throw new PackException("the configuration file '" + configFile.getPath() + "' does not exist");
            request.setConfigFile(configFile);
        }
        for (Text line : lines) request.addLine(line.value(getProject()));
        request.setMainClass(mainClass);
        for (Text option : options) request.addOption(option.value(getProject()));
        request.setFlatten(flatten);
        request.setFast(fast);
        for (Text arg : args) request.addArgument(arg.value(getProject()));
        request.setIcon(icon);
        request.setManifest(manifest);
        request.setGui(gui);
        request.setVersionInfo(versionInfo);
        // The product is named after the build's project unless a file gives the version information.
        String projectName = versionInfo == null ? getProject().getName() : null;
        request.setVersionField("product-name", productName != null ? productName : projectName);
        request.setVersionField("file-description", fileDescription);
        request.setVersionField("company", company);
        request.setVersionField("copyright", copyright);
        request.setVersionField("version", version);
        request.setVersionField("product-version", productVersion);
        request.setVersionField("language", language);
        request.setSigning(signKey, signCert);
        return request;
    }
}
