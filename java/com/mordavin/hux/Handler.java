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

    /** The entry names of the archive `archive` names ("" or "libs/a.jar!"), or null when it names none. */
    static String[] entryNames(String archive) {
        return SHARED.archiveNames(archive);
    }

    protected native byte[] loadResourceData(String url);

    /** {size, DOS time, extended time in ms or Long.MIN_VALUE}, or null when the URL names nothing. */
    protected native long[] entryInfo(String url);

    protected native String[] archiveNames(String archive);
}
