package com.mordavin.hux;

import java.io.ByteArrayInputStream;
import java.io.FileNotFoundException;
import java.io.IOException;
import java.io.InputStream;
import java.lang.ref.SoftReference;
import java.net.URL;
import java.net.URLConnection;
import java.net.URLStreamHandler;
import java.util.ArrayList;
import java.util.Date;
import java.util.Hashtable;
import java.util.List;

/**
 * Opens "hux:" URLs: the bytes of an entry of the executable's archive.
 * 'hux:libs/a.jar!org/x/Y.class' names entry 'org/x/Y.class' of the nested
 * archive 'libs/a.jar'; the part after the last '!' is the entry's path inside
 * its archive, which relative URLs resolve against and never leave.
 */
public class Handler extends URLStreamHandler {
    static Hashtable<String, SoftReference<byte[]>> loadedData;
    private static final Handler SHARED;

    static {
        loadedData = new Hashtable<String, SoftReference<byte[]>>();
        NativeLink.link(Handler.class);
        SHARED = new Handler();
    }

    public Handler() {
    }

    static Handler shared() {
        return SHARED;
    }

    @Override
    protected void parseURL(URL u, String spec, int start, int limit) {
        String path = spec.substring(start, limit);
        // A context path is present only when `spec` is relative to a hux: URL.
        String context = u.getPath();
        if (context != null && !spec.regionMatches(true, 0, "hux:", 0, 4)) {
            // A reference alone ("#part") keeps the context's entry and only
            // changes the fragment, as with jar: URLs (an empty spec still
            // names the context's directory, as there).
            boolean referenceOnly = path.isEmpty() && limit < spec.length() && spec.charAt(limit) == '#';
            path = referenceOnly ? context : resolve(context, path);
        }
        setURL(u, "hux", null, -1, null, null, path, null, u.getRef());
    }

    /** `relative` resolved against `context` inside the context's own archive. */
    static String resolve(String context, String relative) {
        int root = context.lastIndexOf('!') + 1;
        String base;
        if (relative.startsWith("/")) {
            base = context.substring(0, root);
            relative = relative.substring(1);
        } else {
            base = context.substring(0, Math.max(root, context.lastIndexOf('/') + 1));
        }
        return base.substring(0, root) + canonical(base.substring(root) + relative);
    }

    /** Removes "." and ".." segments; a ".." at the archive's root is dropped. */
    static String canonical(String path) {
        String[] parts = path.split("/", -1);
        List<String> out = new ArrayList<String>();
        for (int i = 0; i < parts.length; i++) {
            String part = parts[i];
            boolean last = i == parts.length - 1;
            if (part.equals(".") || part.equals("..")) {
                if (part.equals("..") && !out.isEmpty()) {
                    out.remove(out.size() - 1);
                }
                if (last) {
                    out.add("");
                }
                continue;
            }
            out.add(part);
        }
        StringBuilder b = new StringBuilder();
        for (int i = 0; i < out.size(); i++) {
            if (i > 0) {
                b.append('/');
            }
            b.append(out.get(i));
        }
        return b.toString();
    }

    /** The time a zip entry's fields give, as ZipEntry.getTime() reports it. */
    static long entryTime(long dosTime, long extendedMillis) {
        if (extendedMillis != Long.MIN_VALUE) {
            return extendedMillis;
        }
        if (dosTime == 0) {
            return -1;
        }
        @SuppressWarnings("deprecation")
        Date d = new Date((int) (((dosTime >> 25) & 0x7f) + 80), (int) (((dosTime >> 21) & 0x0f) - 1),
                (int) ((dosTime >> 16) & 0x1f), (int) ((dosTime >> 11) & 0x1f), (int) ((dosTime >> 5) & 0x3f),
                (int) ((dosTime << 1) & 0x3e));
        return d.getTime();
    }

    static byte[] data(String text) {
        byte[] data = null;
        SoftReference<byte[]> ref = loadedData.get(text);
        if (ref != null) {
            data = ref.get();
        }
        if (data == null) {
            data = SHARED.loadResourceData(text);
            if (data != null) {
                loadedData.put(text, new SoftReference<byte[]>(data));
            }
        }
        return data;
    }

    @Override
    protected URLConnection openConnection(URL url) {
        return new Connection(url);
    }

    /** A connection to one entry; a missing entry is a FileNotFoundException. */
    static final class Connection extends URLConnection {
        private final String text;
        private long[] info;

        Connection(URL url) {
            super(url);
            text = "hux:" + url.getFile();
        }

        @Override
        public void connect() throws IOException {
            if (connected) {
                return;
            }
            info = SHARED.entryInfo(text);
            if (info == null) {
                throw new FileNotFoundException(text);
            }
            connected = true;
        }

        @Override
        public InputStream getInputStream() throws IOException {
            connect();
            if (info[0] >= STREAM_FROM) {
                return EntryInputStream.open(text, info[0]);
            }
            byte[] data = data(text);
            if (data == null) {
                throw new FileNotFoundException(text);
            }
            return new ByteArrayInputStream(data);
        }

        @Override
        public long getContentLengthLong() {
            try {
                connect();
            } catch (IOException e) {
                return -1;
            }
            return info[0];
        }

        @Override
        public int getContentLength() {
            long n = getContentLengthLong();
            return n > Integer.MAX_VALUE ? -1 : (int) n;
        }

        @Override
        public long getLastModified() {
            try {
                connect();
            } catch (IOException e) {
                return 0;
            }
            long t = entryTime(info[1], info[2]);
            return t < 0 ? 0 : t;
        }

        @Override
        public String getHeaderField(String name) {
            if ("content-length".equalsIgnoreCase(name)) {
                long n = getContentLengthLong();
                return n < 0 ? null : Long.toString(n);
            }
            if ("content-type".equalsIgnoreCase(name)) {
                return getContentType();
            }
            return null;
        }

        /**
         * As the JDK's jar: connections answer: from the entry's first bytes
         * (a class file is "application/java-vm"), else from its name.
         */
        @Override
        public String getContentType() {
            String type = null;
            try {
                InputStream in = getInputStream();
                try {
                    type = guessContentTypeFromStream(in);
                } finally {
                    in.close();
                }
            } catch (IOException e) {
                // a missing entry is typed by its name alone
            }
            if (type == null) {
                type = guessContentTypeFromName(text);
            }
            return type == null ? "content/unknown" : type;
        }
    }

    /**
     * Entries of this size and more are read as a stream, a piece at a time,
     * so that memory does not grow with their size; smaller ones are read
     * whole in one native call (and kept under a soft reference), which is
     * faster for them.
     */
    static final long STREAM_FROM = 1 << 20;

    /**
     * Reads one entry in pieces through the native stream whose handle its
     * Peer holds. The handle is freed on close() or, for a stream dropped
     * unclosed, at the next open after the collector found it unreachable.
     */
    static final class EntryInputStream extends InputStream {
        private final String text;
        private final Peer peer;
        private long remaining;

        private EntryInputStream(String text, long size) {
            this.text = text;
            this.remaining = size;
            this.peer = new Peer(this);
        }

        static EntryInputStream open(String text, long size) throws IOException {
            Peer.freeUnreachable();
            EntryInputStream in = new EntryInputStream(text, size);
            long h = SHARED.openStream(text);
            if (h == 0) {
                in.peer.free();
                throw new FileNotFoundException(text);
            }
            in.peer.take(h);
            return in;
        }

        /** Bytes taken from the native stream ahead of small reads. */
        private byte[] buffer;
        private int position;
        private int limit;

        @Override
        public synchronized int read() throws IOException {
            ensureOpen();
            if (position == limit && !refill()) {
                return -1;
            }
            return buffer[position++] & 0xff;
        }

        @Override
        public synchronized int read(byte[] b, int off, int len) throws IOException {
            if (b == null) {
                throw new NullPointerException();
            }
            if (off < 0 || len < 0 || len > b.length - off) {
                throw new IndexOutOfBoundsException();
            }
            ensureOpen();
            if (len == 0) {
                return 0;
            }
            if (position < limit) {
                int n = Math.min(len, limit - position);
                System.arraycopy(buffer, position, b, off, n);
                position += n;
                return n;
            }
            // Large reads go straight into the caller's array.
            if (len >= SMALL_READ) {
                return readNative(b, off, len);
            }
            if (!refill()) {
                return -1;
            }
            int n = Math.min(len, limit);
            System.arraycopy(buffer, 0, b, off, n);
            position = n;
            return n;
        }

        private static final int SMALL_READ = 8192;

        private void ensureOpen() throws IOException {
            if (peer.h == 0) {
                throw new IOException("Stream closed");
            }
        }

        private boolean refill() throws IOException {
            if (buffer == null) {
                buffer = new byte[SMALL_READ];
            }
            int n = readNative(buffer, 0, buffer.length);
            position = 0;
            limit = Math.max(n, 0);
            return n > 0;
        }

        private int readNative(byte[] b, int off, int len) throws IOException {
            int n;
            // Under the peer's lock the handle cannot be freed meanwhile,
            // not even when this stream has become unreachable.
            synchronized (peer) {
                if (peer.h == 0) {
                    throw new IOException("Stream closed");
                }
                try {
                    n = SHARED.readStream(peer.h, b, off, len);
                } catch (IOException e) {
                    throw new IOException(text + ": " + e.getMessage(), e);
                }
            }
            if (n > 0) {
                remaining -= n;
            }
            return n;
        }

        @Override
        public synchronized long skip(long n) throws IOException {
            long skipped = 0;
            if (n > 0 && position < limit) {
                skipped = Math.min(n, limit - position);
                position += (int) skipped;
            }
            return skipped + (n > skipped ? super.skip(n - skipped) : 0);
        }

        @Override
        public synchronized int available() throws IOException {
            ensureOpen();
            return (int) Math.min(remaining + (limit - position), Integer.MAX_VALUE);
        }

        @Override
        public void close() {
            peer.free();
        }
    }

    /** The native handle of one EntryInputStream, freed once. */
    static final class Peer extends java.lang.ref.PhantomReference<EntryInputStream> {
        private static final java.lang.ref.ReferenceQueue<EntryInputStream> UNREACHABLE =
                new java.lang.ref.ReferenceQueue<EntryInputStream>();
        /** Keeps every peer whose handle is live reachable until it is freed. */
        private static final java.util.Set<Peer> LIVE =
                java.util.Collections.synchronizedSet(new java.util.HashSet<Peer>());

        /** The native stream; 0 once freed (or before one is taken). */
        long h;

        Peer(EntryInputStream owner) {
            super(owner, UNREACHABLE);
        }

        synchronized void take(long handle) {
            h = handle;
            LIVE.add(this);
        }

        synchronized void free() {
            if (h != 0) {
                long handle = h;
                h = 0;
                SHARED.closeStream(handle);
            }
            LIVE.remove(this);
        }

        /** Frees the handles of streams dropped without close(). */
        static void freeUnreachable() {
            java.lang.ref.Reference<? extends EntryInputStream> r;
            while ((r = UNREACHABLE.poll()) != null) {
                ((Peer) r).free();
            }
        }
    }

    /** The entry names of the archive `archive` names ("" or "libs/a.jar!"), or null when it names none. */
    static String[] entryNames(String archive) {
        return SHARED.archiveNames(archive);
    }

    protected native byte[] loadResourceData(String url);

    /** {size, DOS time, extended time in ms or Long.MIN_VALUE}, or null when the URL names nothing. */
    protected native long[] entryInfo(String url);

    protected native String[] archiveNames(String archive);

    /** A native stream over the entry the URL names, or 0 when it names none. */
    protected native long openStream(String url);

    /**
     * Up to `len` bytes into b[off..]: the count, -1 at the end; an
     * IOException when the entry cannot be read to its end.
     */
    protected native int readStream(long stream, byte[] b, int off, int len) throws IOException;

    protected native void closeStream(long stream);
}
