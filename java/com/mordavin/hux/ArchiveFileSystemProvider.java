package com.mordavin.hux;

import java.io.ByteArrayInputStream;
import java.io.IOException;
import java.io.InputStream;
import java.net.URI;
import java.nio.channels.SeekableByteChannel;
import java.nio.file.AccessDeniedException;
import java.nio.file.AccessMode;
import java.nio.file.CopyOption;
import java.nio.file.DirectoryStream;
import java.nio.file.FileStore;
import java.nio.file.FileSystem;
import java.nio.file.FileSystemNotFoundException;
import java.nio.file.LinkOption;
import java.nio.file.NoSuchFileException;
import java.nio.file.NotDirectoryException;
import java.nio.file.OpenOption;
import java.nio.file.Path;
import java.nio.file.ProviderMismatchException;
import java.nio.file.ReadOnlyFileSystemException;
import java.nio.file.StandardOpenOption;
import java.nio.file.attribute.BasicFileAttributeView;
import java.nio.file.attribute.BasicFileAttributes;
import java.nio.file.attribute.FileAttribute;
import java.nio.file.attribute.FileAttributeView;
import java.nio.file.attribute.FileTime;
import java.nio.file.spi.FileSystemProvider;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.Iterator;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.NoSuchElementException;
import java.util.Set;
import java.util.concurrent.ConcurrentHashMap;

/**
 * The "hux" scheme for java.nio.file: the URI of a resource
 * ('hux:libs/a.jar!org/x/') gives a path in a read-only file system over the
 * archive that holds it. Paths.get(uri) works without a file system made
 * first, and newFileSystem(uri, env) always gives one of its own, so code
 * written for "jar:" URIs works whichever of the two it tries first.
 */
public final class ArchiveFileSystemProvider extends FileSystemProvider {
    private final Map<String, ArchiveFileSystem> shared = new HashMap<String, ArchiveFileSystem>();  // under its lock
    private final ConcurrentHashMap<String, ArchiveFileSystem.Index> indexes =
            new ConcurrentHashMap<String, ArchiveFileSystem.Index>();

    public ArchiveFileSystemProvider() {
    }

    @Override
    public String getScheme() {
        return "hux";
    }

    /** The archive part of a "hux:" URI: what comes before the entry ("" or "libs/a.jar!"). */
    private String archiveOf(URI uri) {
        if (!"hux".equalsIgnoreCase(uri.getScheme())) {
            throw new IllegalArgumentException("'" + uri + "' is not a hux: URI");
        }
        String part = uri.getSchemeSpecificPart();
        return part.substring(0, part.lastIndexOf('!') + 1);
    }

    private ArchiveFileSystem.Index index(String archive) {
        ArchiveFileSystem.Index index = indexes.get(archive);
        if (index == null) {
            String[] names = Handler.entryNames(archive);
            if (names == null) {
                throw new FileSystemNotFoundException("no archive '" + archive + "' in the executable");
            }
            ArchiveFileSystem.Index made = new ArchiveFileSystem.Index(names);
            index = indexes.putIfAbsent(archive, made);
            if (index == null) {
                index = made;
            }
        }
        return index;
    }

    private ArchiveFileSystem sharedFor(String archive) {
        synchronized (shared) {
            ArchiveFileSystem fs = shared.get(archive);
            if (fs == null) {
                fs = new ArchiveFileSystem(this, archive, index(archive));
                shared.put(archive, fs);
            }
            return fs;
        }
    }

    void closed(ArchiveFileSystem fs) {
        synchronized (shared) {
            if (shared.get(fs.archive()) == fs) {
                shared.remove(fs.archive());
            }
        }
    }

    @Override
    public FileSystem newFileSystem(URI uri, Map<String, ?> env) throws IOException {
        String archive = archiveOf(uri);
        try {
            return new ArchiveFileSystem(this, archive, index(archive));
        } catch (FileSystemNotFoundException e) {
            throw new NoSuchFileException(uri.toString(), null, e.getMessage());
        }
    }

    @Override
    public FileSystem getFileSystem(URI uri) {
        return sharedFor(archiveOf(uri));
    }

    @Override
    public Path getPath(URI uri) {
        String archive = archiveOf(uri);
        String entry = uri.getSchemeSpecificPart().substring(archive.length());
        return sharedFor(archive).getPath("/" + entry);
    }

    private static ArchivePath archivePath(Path path) {
        if (path == null) {
            throw new NullPointerException();
        }
        if (!(path instanceof ArchivePath)) {
            throw new ProviderMismatchException();
        }
        return (ArchivePath) path;
    }

    /** The node of an existing path; NoSuchFileException otherwise. */
    private static ArchiveFileSystem.Node existing(Path path) throws NoSuchFileException {
        ArchivePath p = archivePath(path);
        return p.getFileSystem().existing(p);
    }

    private static void readOnly(Set<? extends OpenOption> options) {
        for (OpenOption o : options) {
            if (o == StandardOpenOption.WRITE || o == StandardOpenOption.APPEND || o == StandardOpenOption.CREATE
                    || o == StandardOpenOption.CREATE_NEW || o == StandardOpenOption.DELETE_ON_CLOSE
                    || o == StandardOpenOption.TRUNCATE_EXISTING) {
                throw new ReadOnlyFileSystemException();
            }
        }
    }

    @Override
    public SeekableByteChannel newByteChannel(Path path, Set<? extends OpenOption> options,
            FileAttribute<?>... attrs) throws IOException {
        readOnly(options);
        ArchivePath p = archivePath(path);
        return new ArchiveFileSystem.BytesChannel(p.getFileSystem().read(p));
    }

    @Override
    public InputStream newInputStream(Path path, OpenOption... options) throws IOException {
        for (OpenOption o : options) {
            if (o == StandardOpenOption.WRITE || o == StandardOpenOption.APPEND) {
                throw new UnsupportedOperationException("'" + o + "' not allowed");
            }
        }
        ArchivePath p = archivePath(path);
        return new ByteArrayInputStream(p.getFileSystem().read(p));
    }

    @Override
    public DirectoryStream<Path> newDirectoryStream(final Path dir, final DirectoryStream.Filter<? super Path> filter)
            throws IOException {
        ArchiveFileSystem.Node node = existing(dir);
        if (!node.directory) {
            throw new NotDirectoryException(dir.toString());
        }
        final List<String> children = new ArrayList<String>(node.children);
        return new DirectoryStream<Path>() {
            private boolean open = true;
            private boolean iterated;

            public Iterator<Path> iterator() {
                if (!open) {
                    throw new IllegalStateException("the directory stream is closed");
                }
                if (iterated) {
                    throw new IllegalStateException("the directory stream was iterated already");
                }
                iterated = true;
                final Iterator<String> names = children.iterator();
                return new Iterator<Path>() {
                    private Path next;

                    public boolean hasNext() {
                        while (next == null && open && names.hasNext()) {
                            Path candidate = dir.resolve(names.next());
                            try {
                                if (filter == null || filter.accept(candidate)) {
                                    next = candidate;
                                }
                            } catch (IOException e) {
                                throw new java.nio.file.DirectoryIteratorException(e);
                            }
                        }
                        return next != null;
                    }

                    public Path next() {
                        if (!hasNext()) {
                            throw new NoSuchElementException();
                        }
                        Path p = next;
                        next = null;
                        return p;
                    }

                    public void remove() {
                        throw new UnsupportedOperationException();
                    }
                };
            }

            public void close() {
                open = false;
            }
        };
    }

    @Override
    public void createDirectory(Path dir, FileAttribute<?>... attrs) {
        throw new ReadOnlyFileSystemException();
    }

    @Override
    public void delete(Path path) {
        throw new ReadOnlyFileSystemException();
    }

    @Override
    public void copy(Path source, Path target, CopyOption... options) {
        throw new ReadOnlyFileSystemException();
    }

    @Override
    public void move(Path source, Path target, CopyOption... options) {
        throw new ReadOnlyFileSystemException();
    }

    @Override
    public boolean isSameFile(Path path, Path path2) throws IOException {
        if (path.equals(path2)) {
            return true;
        }
        if (!(path2 instanceof ArchivePath) || archivePath(path).getFileSystem() != path2.getFileSystem()) {
            return false;
        }
        return path.toAbsolutePath().normalize().equals(path2.toAbsolutePath().normalize());
    }

    @Override
    public boolean isHidden(Path path) {
        return false;
    }

    @Override
    public FileStore getFileStore(Path path) throws IOException {
        existing(path);
        return archivePath(path).getFileSystem().getFileStores().iterator().next();
    }

    @Override
    public void checkAccess(Path path, AccessMode... modes) throws IOException {
        existing(path);
        for (AccessMode mode : modes) {
            if (mode == AccessMode.WRITE) {
                throw new AccessDeniedException(path.toString(), null, "the archive is read-only");
            }
        }
    }

    @Override
    @SuppressWarnings("unchecked")
    public <V extends FileAttributeView> V getFileAttributeView(final Path path, Class<V> type,
            LinkOption... options) {
        if (type != BasicFileAttributeView.class) {
            return null;
        }
        final ArchivePath p = archivePath(path);
        return (V) new BasicFileAttributeView() {
            public String name() {
                return "basic";
            }

            public BasicFileAttributes readAttributes() throws IOException {
                return p.getFileSystem().attributes(p);
            }

            public void setTimes(FileTime lastModifiedTime, FileTime lastAccessTime, FileTime createTime) {
                throw new ReadOnlyFileSystemException();
            }
        };
    }

    @Override
    @SuppressWarnings("unchecked")
    public <A extends BasicFileAttributes> A readAttributes(Path path, Class<A> type, LinkOption... options)
            throws IOException {
        if (type != BasicFileAttributes.class) {
            throw new UnsupportedOperationException("'" + type.getName() + "' is not supported");
        }
        ArchivePath p = archivePath(path);
        return (A) p.getFileSystem().attributes(p);
    }

    @Override
    public Map<String, Object> readAttributes(Path path, String attributes, LinkOption... options)
            throws IOException {
        String list = attributes;
        int colon = attributes.indexOf(':');
        if (colon >= 0) {
            if (!attributes.substring(0, colon).equals("basic")) {
                throw new UnsupportedOperationException("view '" + attributes.substring(0, colon) + "' is not supported");
            }
            list = attributes.substring(colon + 1);
        }
        ArchivePath p = archivePath(path);
        BasicFileAttributes a = p.getFileSystem().attributes(p);
        Map<String, Object> all = new LinkedHashMap<String, Object>();
        all.put("lastModifiedTime", a.lastModifiedTime());
        all.put("lastAccessTime", a.lastAccessTime());
        all.put("creationTime", a.creationTime());
        all.put("size", a.size());
        all.put("isRegularFile", a.isRegularFile());
        all.put("isDirectory", a.isDirectory());
        all.put("isSymbolicLink", a.isSymbolicLink());
        all.put("isOther", a.isOther());
        all.put("fileKey", a.fileKey());
        Map<String, Object> out = new LinkedHashMap<String, Object>();
        for (String name : list.split(",")) {
            if (name.equals("*")) {
                out.putAll(all);
            } else if (all.containsKey(name)) {
                out.put(name, all.get(name));
            } else {
                throw new IllegalArgumentException("'" + name + "' not recognized");
            }
        }
        return out;
    }

    @Override
    public void setAttribute(Path path, String attribute, Object value, LinkOption... options) {
        throw new ReadOnlyFileSystemException();
    }
}
