package com.mordavin.hux.gradle;

import java.io.File;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

/**
 * The {@code hux { … }} block: the Maven plugin's settings under the same
 * names. Unset values take the project's (name, version, description) or the
 * tool's defaults (the main class from the application plugin or the jar's
 * manifest). Booleans have {@code getX} getters so that the Kotlin DSL
 * spells them as Groovy does ({@code flatten = true}).
 */
public class HuxExtension {
    private String huxTool;
    private List<String> targets = new ArrayList<>(Arrays.asList("linux-x64", "windows-x64"));
    private File outputDirectory;
    private String name;
    private File configFile;
    private List<String> config = new ArrayList<>();
    private String mainClass;
    private List<String> options = new ArrayList<>();
    private boolean flatten;
    private boolean fast;
    private boolean train;
    private String trainArguments;
    private List<String> arguments = new ArrayList<>();
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
    private boolean jlink;
    private boolean embed;
    private File runtime;
    private File jdk;
    private List<String> addModules = new ArrayList<>();

    public String getHuxTool() { return huxTool; }
    public void setHuxTool(String huxTool) { this.huxTool = huxTool; }
    public List<String> getTargets() { return targets; }
    public void setTargets(List<String> targets) { this.targets = new ArrayList<>(targets); }
    public File getOutputDirectory() { return outputDirectory; }
    public void setOutputDirectory(File outputDirectory) { this.outputDirectory = outputDirectory; }
    public String getName() { return name; }
    public void setName(String name) { this.name = name; }
    public File getConfigFile() { return configFile; }
    public void setConfigFile(File configFile) { this.configFile = configFile; }
    public List<String> getConfig() { return config; }
    public void setConfig(List<String> config) { this.config = new ArrayList<>(config); }
    public String getMainClass() { return mainClass; }
    public void setMainClass(String mainClass) { this.mainClass = mainClass; }
    public List<String> getOptions() { return options; }
    public void setOptions(List<String> options) { this.options = new ArrayList<>(options); }
    public boolean getFlatten() { return flatten; }
    public void setFlatten(boolean flatten) { this.flatten = flatten; }
    public boolean getFast() { return fast; }
    public void setFast(boolean fast) { this.fast = fast; }
    public boolean getTrain() { return train; }
    public void setTrain(boolean train) { this.train = train; }
    public String getTrainArguments() { return trainArguments; }
    public void setTrainArguments(String trainArguments) { this.trainArguments = trainArguments; }
    public List<String> getArguments() { return arguments; }
    public void setArguments(List<String> arguments) { this.arguments = new ArrayList<>(arguments); }
    public File getIcon() { return icon; }
    public void setIcon(File icon) { this.icon = icon; }
    public File getManifest() { return manifest; }
    public void setManifest(File manifest) { this.manifest = manifest; }
    public boolean getGui() { return gui; }
    public void setGui(boolean gui) { this.gui = gui; }
    public File getVersionInfo() { return versionInfo; }
    public void setVersionInfo(File versionInfo) { this.versionInfo = versionInfo; }
    public String getProductName() { return productName; }
    public void setProductName(String productName) { this.productName = productName; }
    public String getFileDescription() { return fileDescription; }
    public void setFileDescription(String fileDescription) { this.fileDescription = fileDescription; }
    public String getCompany() { return company; }
    public void setCompany(String company) { this.company = company; }
    public String getCopyright() { return copyright; }
    public void setCopyright(String copyright) { this.copyright = copyright; }
    public String getVersion() { return version; }
    public void setVersion(String version) { this.version = version; }
    public String getProductVersion() { return productVersion; }
    public void setProductVersion(String productVersion) { this.productVersion = productVersion; }
    public String getLanguage() { return language; }
    public void setLanguage(String language) { this.language = language; }
    public File getSignKey() { return signKey; }
    public void setSignKey(File signKey) { this.signKey = signKey; }
    public File getSignCert() { return signCert; }
    public void setSignCert(File signCert) { this.signCert = signCert; }
    public boolean getJlink() { return jlink; }
    public void setJlink(boolean jlink) { this.jlink = jlink; }
    public boolean getEmbed() { return embed; }
    public void setEmbed(boolean embed) { this.embed = embed; }
    public File getRuntime() { return runtime; }
    public void setRuntime(File runtime) { this.runtime = runtime; }
    public File getJdk() { return jdk; }
    public void setJdk(File jdk) { this.jdk = jdk; }
    public List<String> getAddModules() { return addModules; }
    public void setAddModules(List<String> addModules) { this.addModules = new ArrayList<>(addModules); }
}
