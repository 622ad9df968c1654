package com.mordavin.hux;

import java.io.File;
import java.io.IOException;
import java.net.URI;
import java.net.URISyntaxException;
import java.nio.file.LinkOption;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.nio.file.ProviderMismatchException;
import java.nio.file.WatchEvent;
import java.nio.file.WatchKey;
import java.nio.file.WatchService;
import java.util.ArrayList;
import java.util.Iterator;
import java.util.List;

/**
 * A path inside one archive of the executable: '/'-separated, absolute when
 * it starts with '/'. Kept without repeated or trailing separators, so equal
 * paths have equal text.
 */
final class ArchivePath implements Path {
    private final ArchiveFileSystem fs;
    private final String path;
    private volatile String[] names;

    ArchivePath(ArchiveFileSystem fs, String path) {
        this.fs = fs;
        this.path = tidy(path);
    }

    /** Repeated separators become one; a trailing one goes (the root stays). */
    static String tidy(String path) {
        if (path.indexOf('\0') >= 0) {
            throw new java.nio.file.InvalidPathException(path, "Nul character not allowed");
        }
        StringBuilder b = new StringBuilder(path.length());
        char last = 0;
        for (int i = 0; i < path.length(); i++) {
            char c = path.charAt(i);
            if (c == '/' && last == '/') {
                continue;
            }
            b.append(c);
            last = c;
        }
        if (b.length() > 1 && last == '/') {
            b.setLength(b.length() - 1);
        }
        return b.toString();
    }

    /** The entry name this path stands for: the absolute path without its leading '/'. */
    String entryName() {
        String abs = toAbsolutePath().normalize().toString();
        return abs.substring(1);
    }

    private String[] names() {
        String[] n = names;
        if (n == null) {
            List<String> parts = new ArrayList<String>();
            if (path.isEmpty()) {
                parts.add("");
            } else {
                for (String part : path.split("/")) {
                    if (!part.isEmpty()) {
                        parts.add(part);
                    }
                }
            }
            n = parts.toArray(new String[0]);
            names = n;
        }
        return n;
    }

    private ArchivePath of(String text) {
        return new ArchivePath(fs, text);
    }

    private static String join(String[] parts, int from, int to) {
        StringBuilder b = new StringBuilder();
        for (int i = from; i < to; i++) {
            if (i > from) {
                b.append('/');
            }
            b.append(parts[i]);
        }
        return b.toString();
    }

    private ArchivePath check(Path other) {
        if (other == null) {
            throw new NullPointerException();
        }
        if (!(other instanceof ArchivePath)) {
            throw new ProviderMismatchException();
        }
        return (ArchivePath) other;
    }

    @Override
    public ArchiveFileSystem getFileSystem() {
        return fs;
    }

    @Override
    public boolean isAbsolute() {
        return path.startsWith("/");
    }

    @Override
    public Path getRoot() {
        return isAbsolute() ? of("/") : null;
    }

    @Override
    public Path getFileName() {
        if (path.equals("/")) {
            return null;
        }
        String[] n = names();
        return n.length == 1 && !isAbsolute() ? this : of(n[n.length - 1]);
    }

    @Override
    public Path getParent() {
        String[] n = names();
        if (n.length == 0 || (n.length == 1 && !isAbsolute())) {
            return null;
        }
        if (n.length == 1) {
            return of("/");
        }
        return of((isAbsolute() ? "/" : "") + join(n, 0, n.length - 1));
    }

    @Override
    public int getNameCount() {
        return names().length;
    }

    @Override
    public Path getName(int index) {
        String[] n = names();
        if (index < 0 || index >= n.length) {
            throw new IllegalArgumentException();
        }
        return of(n[index]);
    }

    @Override
    public Path subpath(int beginIndex, int endIndex) {
        String[] n = names();
        if (beginIndex < 0 || beginIndex >= n.length || endIndex > n.length || beginIndex >= endIndex) {
            throw new IllegalArgumentException();
        }
        return of(join(n, beginIndex, endIndex));
    }

    /** `other` when it is a path of this same file system, else null. */
    private ArchivePath sameSystem(Path other) {
        return other instanceof ArchivePath && ((ArchivePath) other).fs == fs ? (ArchivePath) other : null;
    }

    /** Whether this path's first (or last) names are `theirs`. */
    private boolean holdsNames(String[] theirs, boolean atEnd) {
        String[] mine = names();
        if (theirs.length > mine.length) {
            return false;
        }
        int offset = atEnd ? mine.length - theirs.length : 0;
        for (int i = 0; i < theirs.length; i++) {
            if (!theirs[i].equals(mine[offset + i])) {
                return false;
            }
        }
        return true;
    }

    @Override
    public boolean startsWith(Path other) {
        ArchivePath o = sameSystem(other);
        if (o == null || o.isAbsolute() != isAbsolute() || (o.path.isEmpty() && !path.isEmpty())) {
            return false;
        }
        return holdsNames(o.names(), false);
    }

    @Override
    public boolean startsWith(String other) {
        return startsWith(fs.getPath(other));
    }

    @Override
    public boolean endsWith(Path other) {
        ArchivePath o = sameSystem(other);
        if (o == null) {
            return false;
        }
        if (o.isAbsolute()) {
            return o.path.equals(path);
        }
        if (o.path.isEmpty()) {
            return path.isEmpty();
        }
        return holdsNames(o.names(), true);
    }

    @Override
    public boolean endsWith(String other) {
        return endsWith(fs.getPath(other));
    }

    @Override
    public Path normalize() {
        String[] n = names();
        List<String> out = new ArrayList<String>();
        for (String part : n) {
            if (part.equals(".")) {
                continue;
            }
            if (part.equals("..")) {
                if (!out.isEmpty() && !out.get(out.size() - 1).equals("..")) {
                    out.remove(out.size() - 1);
                    continue;
                }
                if (isAbsolute()) {
                    continue;  // nothing lies above the root
                }
            }
            out.add(part);
        }
        String text = join(out.toArray(new String[0]), 0, out.size());
        return of(isAbsolute() ? "/" + text : text);
    }

    @Override
    public Path resolve(Path other) {
        ArchivePath o = check(other);
        if (o.isAbsolute()) {
            return o;
        }
        if (o.path.isEmpty()) {
            return this;
        }
        if (path.isEmpty()) {
            return o;
        }
        return of(path + "/" + o.path);
    }

    @Override
    public Path resolve(String other) {
        return resolve(fs.getPath(other));
    }

    @Override
    public Path resolveSibling(Path other) {
        check(other);
        Path parent = getParent();
        return parent == null ? other : parent.resolve(other);
    }

    @Override
    public Path resolveSibling(String other) {
        return resolveSibling(fs.getPath(other));
    }

    @Override
    public Path relativize(Path other) {
        ArchivePath o = check(other);
        if (o.isAbsolute() != isAbsolute()) {
            throw new IllegalArgumentException("'" + other + "' is not relative to '" + this + "' in the same way");
        }
        if (o.path.equals(path)) {
            return of("");
        }
        String[] mine = path.isEmpty() ? new String[0] : names();
        String[] theirs = o.path.isEmpty() ? new String[0] : o.names();
        int common = 0;
        while (common < mine.length && common < theirs.length && mine[common].equals(theirs[common])) {
            common++;
        }
        StringBuilder b = new StringBuilder();
        for (int i = common; i < mine.length; i++) {
            b.append(b.length() == 0 ? "" : "/").append("..");
        }
        for (int i = common; i < theirs.length; i++) {
            b.append(b.length() == 0 ? "" : "/").append(theirs[i]);
        }
        return of(b.toString());
    }

    /** "hux:" + the archive + the entry, as the class loader's resource URLs name it. */
    @Override
    public URI toUri() {
        try {
            return new URI("hux", fs.archive() + entryName(), null);
        } catch (URISyntaxException e) {
            throw new java.io.IOError(e);
        }
    }

    @Override
    public Path toAbsolutePath() {
        return isAbsolute() ? this : of("/" + path);
    }

    @Override
    public Path toRealPath(LinkOption... options) throws IOException {
        ArchivePath real = (ArchivePath) toAbsolutePath().normalize();
        if (fs.node(real.entryName()) == null) {
            throw new NoSuchFileException(toString());
        }
        return real;
    }

    @Override
    public File toFile() {
        throw new UnsupportedOperationException("an archive entry is no file");
    }

    @Override
    public WatchKey register(WatchService watcher, WatchEvent.Kind<?>[] events, WatchEvent.Modifier... modifiers) {
        throw new UnsupportedOperationException("the archive does not change");
    }

    @Override
    public WatchKey register(WatchService watcher, WatchEvent.Kind<?>... events) {
        return register(watcher, events, new WatchEvent.Modifier[0]);
    }

    @Override
    public Iterator<Path> iterator() {
        List<Path> parts = new ArrayList<Path>();
        for (int i = 0; i < getNameCount(); i++) {
            parts.add(getName(i));
        }
        return parts.iterator();
    }

    @Override
    public int compareTo(Path other) {
        return path.compareTo(check(other).path);
    }

    @Override
    public boolean equals(Object other) {
        return other instanceof ArchivePath && ((ArchivePath) other).fs == fs && ((ArchivePath) other).path.equals(path);
    }

    @Override
    public int hashCode() {
        return path.hashCode();
    }

    @Override
    public String toString() {
        return path;
    }
}
