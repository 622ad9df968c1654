package com.mordavin.hux;

import java.io.File;
import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.channels.ClosedChannelException;
import java.nio.channels.NonWritableChannelException;
import java.nio.channels.SeekableByteChannel;
import java.nio.file.ClosedFileSystemException;
import java.nio.file.FileStore;
import java.nio.file.FileSystem;
import java.nio.file.FileSystemException;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.nio.file.PathMatcher;
import java.nio.file.WatchService;
import java.nio.file.attribute.BasicFileAttributeView;
import java.nio.file.attribute.BasicFileAttributes;
import java.nio.file.attribute.FileAttributeView;
import java.nio.file.attribute.FileStoreAttributeView;
import java.nio.file.attribute.FileTime;
import java.nio.file.attribute.UserPrincipalLookupService;
import java.nio.file.spi.FileSystemProvider;
import java.util.ArrayList;
import java.util.Collections;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.regex.Pattern;

/**
 * One archive of the executable (its own archive, or a jar nested in it) as
 * a read-only file system, so that a resource's "hux:" URI can be walked with
 * java.nio.file as a "jar:" URI can. Directories are also those that only the
 * entry names imply.
 */
final class ArchiveFileSystem extends FileSystem {
    private final ArchiveFileSystemProvider provider;
    private final String archive;
    private final Index index;
    private volatile boolean open = true;

    ArchiveFileSystem(ArchiveFileSystemProvider provider, String archive, Index index) {
        this.provider = provider;
        this.archive = archive;
        this.index = index;
    }

    /** The archive's part of a "hux:" URL: "" or "libs/a.jar!". */
    String archive() {
        return archive;
    }

    /** A file or directory of the archive. */
    static final class Node {
        final String entry;  // the entry that holds it, or null for an implied directory
        final boolean directory;
        final List<String> children;

        Node(String entry, boolean directory) {
            this.entry = entry;
            this.directory = directory;
            this.children = directory ? new ArrayList<String>() : null;
        }
    }

    /** The tree of an archive's entry names, keyed by name without a trailing '/' ("" is the root). */
    static final class Index {
        final Map<String, Node> nodes = new HashMap<String, Node>();

        Index(String[] entries) {
            nodes.put("", new Node(null, true));
            for (String raw : entries) {
                boolean directory = raw.endsWith("/");
                String name = directory ? raw.substring(0, raw.length() - 1) : raw;
                if (!plain(name)) {
                    continue;  // no path reaches it
                }
                Node existing = nodes.get(name);
                if (existing != null) {
                    if (directory && existing.directory && existing.entry == null) {
                        Node explicit = new Node(raw, true);
                        explicit.children.addAll(existing.children);
                        nodes.put(name, explicit);
                    }
                    continue;  // the first entry of a name is the one read
                }
                addParents(name);
                nodes.put(name, new Node(raw, directory));
                nodes.get(parentOf(name)).children.add(name.substring(name.lastIndexOf('/') + 1));
            }
        }

        private void addParents(String name) {
            String parent = parentOf(name);
            Node node = nodes.get(parent);
            if (node == null) {
                addParents(parent);
                nodes.put(parent, new Node(null, true));
                nodes.get(parentOf(parent)).children.add(parent.substring(parent.lastIndexOf('/') + 1));
            } else if (!node.directory) {
                // a file and a directory of the same name: the directory wins, as names go on below it
                Node directory = new Node(node.entry, true);
                nodes.put(parent, directory);
            }
        }

        private static String parentOf(String name) {
            int slash = name.lastIndexOf('/');
            return slash < 0 ? "" : name.substring(0, slash);
        }

        private static boolean plain(String name) {
            if (name.isEmpty()) {
                return false;
            }
            for (String part : name.split("/", -1)) {
                if (part.isEmpty() || part.equals(".") || part.equals("..")) {
                    return false;
                }
            }
            return true;
        }
    }

    Node node(String entryName) {
        ensureOpen();
        return index.nodes.get(entryName);
    }

    /** The node of an existing path; NoSuchFileException otherwise. */
    Node existing(ArchivePath path) throws NoSuchFileException {
        Node node = node(path.entryName());
        if (node == null) {
            throw new NoSuchFileException(path.toString());
        }
        return node;
    }

    void ensureOpen() {
        if (!open) {
            throw new ClosedFileSystemException();
        }
    }

    /** The URL text of an entry, for the handler's natives. */
    String urlText(Node node) {
        return "hux:" + archive + node.entry;
    }

    byte[] read(ArchivePath path) throws IOException {
        Node node = existing(path);
        if (node.directory) {
            throw new FileSystemException(path.toString(), null, "is a directory");
        }
        byte[] data = Handler.data(urlText(node));
        if (data == null) {
            throw new FileSystemException(path.toString(), null, "the entry cannot be read");
        }
        return data;
    }

    BasicFileAttributes attributes(ArchivePath path) throws IOException {
        Node node = existing(path);
        long size = 0;
        long time = -1;
        if (node.entry != null) {
            long[] info = Handler.shared().entryInfo(urlText(node));
            if (info != null) {
                size = node.directory ? 0 : info[0];
                time = Handler.entryTime(info[1], info[2]);
            }
        }
        if (time < 0) {
            String app = System.getProperty("hux.app.path");
            time = app == null ? 0 : new File(app).lastModified();
        }
        return new Attributes(node, size, FileTime.fromMillis(time));
    }

    static final class Attributes implements BasicFileAttributes {
        private final Node node;
        private final long size;
        private final FileTime time;

        Attributes(Node node, long size, FileTime time) {
            this.node = node;
            this.size = size;
            this.time = time;
        }

        public FileTime lastModifiedTime() {
            return time;
        }

        public FileTime lastAccessTime() {
            return time;
        }

        public FileTime creationTime() {
            return time;
        }

        public boolean isRegularFile() {
            return !node.directory;
        }

        public boolean isDirectory() {
            return node.directory;
        }

        public boolean isSymbolicLink() {
            return false;
        }

        public boolean isOther() {
            return false;
        }

        public long size() {
            return size;
        }

        public Object fileKey() {
            return null;
        }
    }

    /** A read-only channel over an entry's bytes. */
    static final class BytesChannel implements SeekableByteChannel {
        private final byte[] data;
        private long position;
        private boolean closed;

        BytesChannel(byte[] data) {
            this.data = data;
        }

        private void check() throws ClosedChannelException {
            if (closed) {
                throw new ClosedChannelException();
            }
        }

        public synchronized int read(ByteBuffer dst) throws IOException {
            check();
            if (position >= data.length) {
                return -1;
            }
            int n = (int) Math.min(dst.remaining(), data.length - position);
            dst.put(data, (int) position, n);
            position += n;
            return n;
        }

        public int write(ByteBuffer src) {
            throw new NonWritableChannelException();
        }

        public synchronized long position() throws IOException {
            check();
            return position;
        }

        public synchronized SeekableByteChannel position(long newPosition) throws IOException {
            check();
            if (newPosition < 0) {
                throw new IllegalArgumentException("negative position");
            }
            position = newPosition;
            return this;
        }

        public long size() throws IOException {
            check();
            return data.length;
        }

        public SeekableByteChannel truncate(long size) {
            throw new NonWritableChannelException();
        }

        public synchronized boolean isOpen() {
            return !closed;
        }

        public synchronized void close() {
            closed = true;
        }
    }

    /** The store every path of this file system is on. */
    final class Store extends FileStore {
        public String name() {
            return archive.isEmpty() ? "/" : archive;
        }

        public String type() {
            return "hux";
        }

        public boolean isReadOnly() {
            return true;
        }

        public long getTotalSpace() {
            return 0;
        }

        public long getUsableSpace() {
            return 0;
        }

        public long getUnallocatedSpace() {
            return 0;
        }

        public boolean supportsFileAttributeView(Class<? extends FileAttributeView> type) {
            return type == BasicFileAttributeView.class;
        }

        public boolean supportsFileAttributeView(String name) {
            return "basic".equals(name);
        }

        public <V extends FileStoreAttributeView> V getFileStoreAttributeView(Class<V> type) {
            return null;
        }

        public Object getAttribute(String attribute) {
            throw new UnsupportedOperationException("'" + attribute + "' is not supported");
        }
    }

    @Override
    public FileSystemProvider provider() {
        return provider;
    }

    @Override
    public void close() {
        if (open) {
            open = false;
            provider.closed(this);
        }
    }

    @Override
    public boolean isOpen() {
        return open;
    }

    @Override
    public boolean isReadOnly() {
        return true;
    }

    @Override
    public String getSeparator() {
        return "/";
    }

    @Override
    public Iterable<Path> getRootDirectories() {
        ensureOpen();
        return Collections.<Path>singletonList(new ArchivePath(this, "/"));
    }

    @Override
    public Iterable<FileStore> getFileStores() {
        ensureOpen();
        return Collections.<FileStore>singletonList(new Store());
    }

    @Override
    public Set<String> supportedFileAttributeViews() {
        return Collections.singleton("basic");
    }

    @Override
    public ArchivePath getPath(String first, String... more) {
        StringBuilder b = new StringBuilder(first);
        for (String part : more) {
            if (part.isEmpty()) {
                continue;
            }
            if (b.length() > 0) {
                b.append('/');
            }
            b.append(part);
        }
        return new ArchivePath(this, b.toString());
    }

    @Override
    public PathMatcher getPathMatcher(String syntaxAndPattern) {
        int colon = syntaxAndPattern.indexOf(':');
        if (colon <= 0) {
            throw new IllegalArgumentException("'" + syntaxAndPattern + "' is not syntax:pattern");
        }
        String syntax = syntaxAndPattern.substring(0, colon);
        String pattern = syntaxAndPattern.substring(colon + 1);
        final Pattern regex;
        if (syntax.equalsIgnoreCase("glob")) {
            regex = Pattern.compile(globToRegex(pattern));
        } else if (syntax.equalsIgnoreCase("regex")) {
            regex = Pattern.compile(pattern);
        } else {
            throw new UnsupportedOperationException("syntax '" + syntax + "' is not supported");
        }
        return new PathMatcher() {
            public boolean matches(Path path) {
                return regex.matcher(path.toString()).matches();
            }
        };
    }

    /**
     * A glob as a regular expression over '/'-separated paths: '*' and '?'
     * stay within one name, '**' crosses names, [...] and {a,b} as usual, '\'
     * escapes the next character.
     */
    static String globToRegex(String glob) {
        StringBuilder r = new StringBuilder("^");
        boolean inGroup = false;
        for (int i = 0; i < glob.length(); i++) {
            char c = glob.charAt(i);
            switch (c) {
                case '\\':
                    if (++i >= glob.length()) {
                        throw new java.util.regex.PatternSyntaxException("no character to escape", glob, i - 1);
                    }
                    appendLiteral(r, glob.charAt(i));
                    break;
                case '*':
                    if (i + 1 < glob.length() && glob.charAt(i + 1) == '*') {
                        r.append(".*");
                        i++;
                    } else {
                        r.append("[^/]*");
                    }
                    break;
                case '?':
                    r.append("[^/]");
                    break;
                case '{':
                    if (inGroup) {
                        throw new java.util.regex.PatternSyntaxException("nested group", glob, i);
                    }
                    r.append("(?:(?:");
                    inGroup = true;
                    break;
                case '}':
                    if (inGroup) {
                        r.append("))");
                        inGroup = false;
                    } else {
                        appendLiteral(r, c);
                    }
                    break;
                case ',':
                    if (inGroup) {
                        r.append(")|(?:");
                    } else {
                        appendLiteral(r, c);
                    }
                    break;
                case '[':
                    i = appendClass(r, glob, i);
                    break;
                default:
                    appendLiteral(r, c);
                    break;
            }
        }
        if (inGroup) {
            throw new java.util.regex.PatternSyntaxException("missing '}'", glob, glob.length());
        }
        return r.append('$').toString();
    }

    private static void appendLiteral(StringBuilder r, char c) {
        if ("\\^$.|?*+()[]{}".indexOf(c) >= 0) {
            r.append('\\');
        }
        r.append(c);
    }

    /** Appends the bracket expression that starts at `start`; returns the index of its ']'. */
    private static int appendClass(StringBuilder r, String glob, int start) {
        int i = start + 1;
        r.append("[[^/]&&[");
        if (i < glob.length() && (glob.charAt(i) == '!' || glob.charAt(i) == '^')) {
            r.append('^');
            i++;
        }
        boolean first = true;
        for (; i < glob.length(); i++) {
            char c = glob.charAt(i);
            if (c == ']' && !first) {
                r.append("]]");
                return i;
            }
            if (c == '/') {
                throw new java.util.regex.PatternSyntaxException("'/' in a bracket expression", glob, i);
            }
            if (c == '-' && !first && i + 1 < glob.length() && glob.charAt(i + 1) != ']') {
                r.append('-');
            } else {
                if (c == '\\' || c == '[' || c == '&' || c == '^' || c == '-' || c == ']') {
                    r.append('\\');
                }
                r.append(c);
            }
            first = false;
        }
        throw new java.util.regex.PatternSyntaxException("missing ']'", glob, glob.length());
    }

    @Override
    public UserPrincipalLookupService getUserPrincipalLookupService() {
        throw new UnsupportedOperationException("an archive has no owners");
    }

    @Override
    public WatchService newWatchService() {
        throw new UnsupportedOperationException("the archive does not change");
    }
}
