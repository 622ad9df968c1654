package com.mordavin.hux.build;

import java.io.BufferedReader;
import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.io.InputStreamReader;
import java.nio.charset.Charset;
import java.util.ArrayList;
import java.util.List;

/** Finds the {@code hux} tool and runs it as a process, its output going to the build's log. */
public final class HuxTool {
    /** Where the lines the tool writes go. */
    public interface Log {
        void info(String line);

        void warn(String line);

        void error(String line);
    }

    private final File executable;

    public HuxTool(File executable) {
        this.executable = executable;
    }

    public File executable() {
        return executable;
    }

    /**
     * The tool named by the build ({@code explicit}: the build's setting or the
     * {@code hux.tool} property), else the first {@code hux} on {@code path}.
     * A named tool that is not there is an error, not a reason to look further.
     */
    public static HuxTool find(String explicit, String path, boolean windowsHost) throws PackException {
        if (explicit != null && !explicit.trim().isEmpty()) {
            File named = new File(explicit.trim());
            if (!named.isFile())
                throw new PackException("the hux tool '" + named.getPath() + "' does not exist"
                        + " (set hux.tool to the hux executable, e.g. build/linux/bin/hux)");
            return new HuxTool(named);
        }
        String name = windowsHost ? "hux.exe" : "hux";
        if (path != null)
            for (String dir : path.split(File.pathSeparator)) {
                if (dir.isEmpty()) continue;
                File candidate = new File(dir, name);
                if (candidate.isFile() && (windowsHost || candidate.canExecute())) return new HuxTool(candidate);
            }
        throw new PackException("the hux tool was not found on PATH"
                + " (put hux on PATH, or set the hux.tool property or the huxTool setting to its path)");
    }

    /** Runs the tool with these arguments and returns its exit code; every line it writes is logged. */
    public int run(List<String> arguments, File workingDirectory, Log log) throws PackException {
        List<String> command = new ArrayList<>();
        command.add(executable.getPath());
        command.addAll(arguments);
        ProcessBuilder builder = new ProcessBuilder(command);
        if (workingDirectory != null) builder.directory(workingDirectory);
        Process process;
        try {
            process = builder.start();
        } catch (IOException e) {
            throw new PackException("cannot run " + executable.getPath() + ": " + e.getMessage());
        }
        try {
            process.getOutputStream().close();
        } catch (IOException ignored) {
            // the tool reads nothing
        }
        Thread errors = pump(process.getErrorStream(), log, true);
        pump(process.getInputStream(), log, false).run();
        try {
            errors.join();
            return process.waitFor();
        } catch (InterruptedException e) {
            process.destroy();
            Thread.currentThread().interrupt();
            throw new PackException("interrupted while hux pack ran");
        }
    }

    private static Thread pump(InputStream stream, Log log, boolean standardError) {
        Runnable copy = () -> {
            try (BufferedReader reader = new BufferedReader(new InputStreamReader(stream, Charset.defaultCharset()))) {
                for (String line; (line = reader.readLine()) != null;) {
                    if (line.isEmpty()) continue;
                    if (!standardError) log.info(line);
                    else if (line.contains(": warning: ")) log.warn(line);
                    else log.error(line);
                }
            } catch (IOException e) {
                log.warn("reading the output of hux: " + e.getMessage());
            }
        };
        if (!standardError) return new Thread(copy);
        Thread thread = new Thread(copy, "hux-stderr");
        thread.setDaemon(true);
        thread.start();
        return thread;
    }

    /**
     * Packs every target of the request, one {@code hux pack} run each; the
     * first run that fails ends it with the tool's own last error line.
     */
    public List<File> pack(PackRequest request, File workingDirectory, Log log) throws PackException {
        List<String> targets = new ArrayList<>(request.targets());
        if (targets.isEmpty()) targets.add(null);
        List<File> written = new ArrayList<>();
        for (String target : targets) {
            File output = request.outputFile(target);
            File parent = output.getAbsoluteFile().getParentFile();
            if (parent != null && !parent.isDirectory() && !parent.mkdirs())
                throw new PackException("cannot create the folder " + parent.getPath());
            final String[] lastError = {null};
            Log recording = new Log() {
                public void info(String line) {
                    log.info(line);
                }

                public void warn(String line) {
                    log.warn(line);
                }

                public void error(String line) {
                    lastError[0] = line;
                    log.error(line);
                }
            };
            int exit = run(request.arguments(target), workingDirectory, recording);
            if (exit != 0)
                throw new PackException("hux pack" + (target == null ? "" : " for " + target) + " failed (exit "
                        + exit + ")" + (lastError[0] == null ? "" : ": " + lastError[0]));
            written.add(output);
        }
        return written;
    }
}
