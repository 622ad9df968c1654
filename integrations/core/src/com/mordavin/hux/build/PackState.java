package com.mordavin.hux.build;

import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.Arrays;
import java.util.Collection;

/**
 * What a pack was made from, kept beside its executables so that a build
 * packs again only when that changed: the tool's command lines, the files'
 * contents (a folder, such as a runtime image: its files' names, sizes and
 * times) and the tool itself.
 */
public final class PackState {
    private PackState() {
    }

    public static String fingerprint(Collection<String> arguments, Collection<File> inputs) throws PackException {
        MessageDigest digest;
        try {
            digest = MessageDigest.getInstance("SHA-256");
        } catch (NoSuchAlgorithmException e) {
            throw new PackException("no SHA-256 in this JVM");
        }
        for (String argument : arguments) add(digest, "arg " + argument);
        for (File input : inputs) addFile(digest, input);
        StringBuilder hex = new StringBuilder();
        for (byte b : digest.digest()) hex.append(String.format("%02x", b & 0xff));
        return hex.toString();
    }

    private static void add(MessageDigest digest, String text) {
        digest.update(text.getBytes(StandardCharsets.UTF_8));
        digest.update((byte) 0);
    }

    private static void addFile(MessageDigest digest, File file) throws PackException {
        add(digest, "file " + file.getPath());
        if (file.isDirectory()) {
            File[] children = file.listFiles();
            if (children == null) throw new PackException("cannot list the folder " + file.getPath());
            Arrays.sort(children);
            for (File child : children)
                if (child.isDirectory()) addFile(digest, child);
                else add(digest, child.getName() + " " + child.length() + " " + child.lastModified());
            return;
        }
        if (!file.isFile()) {
            add(digest, "absent");
            return;
        }
        byte[] buffer = new byte[65536];
        try (InputStream in = Files.newInputStream(file.toPath())) {
            for (int n; (n = in.read(buffer)) > 0;) digest.update(buffer, 0, n);
        } catch (IOException e) {
            throw new PackException("cannot read " + file.getPath() + ": " + e.getMessage());
        }
    }

    /** True when every output is there and the state file holds this fingerprint. */
    public static boolean upToDate(File stateFile, String fingerprint, Collection<File> outputs) {
        for (File output : outputs)
            if (!output.isFile()) return false;
        try {
            return stateFile.isFile()
                    && new String(Files.readAllBytes(stateFile.toPath()), StandardCharsets.UTF_8).trim().equals(fingerprint);
        } catch (IOException e) {
            return false;
        }
    }

    public static void record(File stateFile, String fingerprint) throws PackException {
        try {
            Files.write(stateFile.toPath(), (fingerprint + "\n").getBytes(StandardCharsets.UTF_8));
        } catch (IOException e) {
            throw new PackException("cannot write " + stateFile.getPath() + ": " + e.getMessage());
        }
    }

    /** Forgets the last pack, so that the next build packs whatever happens to this one. */
    public static void forget(File stateFile) {
        if (stateFile.exists() && !stateFile.delete()) stateFile.deleteOnExit();
    }
}
