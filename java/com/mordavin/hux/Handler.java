package com.mordavin.hux;

import java.io.ByteArrayInputStream;
import java.io.InputStream;
import java.lang.ref.SoftReference;
import java.net.URL;
import java.net.URLConnection;
import java.net.URLStreamHandler;
import java.util.Hashtable;

/** Opens "hux:" URLs: the bytes of an entry of the executable's archive. */
public class Handler extends URLStreamHandler {
    static Hashtable<String, SoftReference<byte[]>> loadedData;

    static {
        loadedData = new Hashtable<String, SoftReference<byte[]>>();
        String app = System.getProperty("hux.app.path");
        if (app != null) {
            System.load(app);
        }
    }

    public Handler() {
    }

    @Override
    protected URLConnection openConnection(URL url) {
        final String text = url.toString();
        return new URLConnection(url) {
            @Override
            public void connect() {
            }

            @Override
            public InputStream getInputStream() {
                byte[] data = null;
                SoftReference<byte[]> ref = loadedData.get(text);
                if (ref != null) {
                    data = ref.get();
                }
                if (data == null) {
                    data = loadResourceData(text);
                    loadedData.put(text, new SoftReference<byte[]>(data));
                }
                return data == null ? null : new ByteArrayInputStream(data);
            }

            @Override
            public String getContentType() {
                return guessContentTypeFromName(text);
            }
        };
    }

    protected native byte[] loadResourceData(String url);
}
