package com.mordavin.hux.gradle;

import java.util.concurrent.Callable;
import org.gradle.api.GradleException;
import org.gradle.api.Plugin;
import org.gradle.api.Project;
import org.gradle.api.Task;
import org.gradle.api.artifacts.Configuration;

/**
 * {@code id 'com.mordavin.hux'}: with the java plugin, a pack task per target
 * after {@code jar}, {@code huxPack} running those of the targets set in
 * {@code hux { targets = … }}, and {@code assemble} running {@code huxPack}.
 */
public class HuxPlugin implements Plugin<Project> {
    static final String[][] TARGETS = {{"linux-x64", "huxPackLinuxX64"}, {"windows-x64", "huxPackWindowsX64"}};

    @Override
    public void apply(Project project) {
        HuxExtension settings = project.getExtensions().create("hux", HuxExtension.class);
        project.getPluginManager().withPlugin("java", applied -> addTasks(project, settings));
    }

    private static void addTasks(Project project, HuxExtension settings) {
        Task jar = project.getTasks().getByName("jar");
        Configuration runtime = project.getConfigurations().findByName("runtimeClasspath");
        Task all = project.getTasks().create("huxPack");
        all.setGroup("build");
        all.setDescription("Packs the application for the targets set in hux { targets = … }.");
        for (String[] target : TARGETS) {
            HuxPackTask pack = project.getTasks().create(target[1], HuxPackTask.class);
            pack.setGroup("build");
            pack.setDescription("Packs the jar and its runtime class path into the " + target[0] + " executable.");
            pack.configure(target[0], settings, project.files(jar), runtime);
            pack.dependsOn(jar);
            all.dependsOn((Callable<Object>) () -> settings.getTargets().contains(target[0]) ? pack : null);
        }
        all.dependsOn((Callable<Object>) () -> checkTargets(settings));
        project.getTasks().getByName("assemble").dependsOn(all);
    }

    /** A target that no task packs fails the build rather than pack nothing for it. */
    private static Object checkTargets(HuxExtension settings) {
        for (String target : settings.getTargets()) {
            boolean known = false;
            for (String[] t : TARGETS) known |= t[0].equals(target);
            if (!known)
                throw new GradleException("unknown hux target '" + target + "' (use linux-x64 or windows-x64)");
        }
        return null;
    }
}
