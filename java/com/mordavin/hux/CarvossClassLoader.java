package com.mordavin.hux;

import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.net.MalformedURLException;
import java.net.URL;
import java.util.ArrayList;
import java.util.Enumeration;
import java.util.List;
import java.util.jar.Manifest;

/**
 * The system class loader of a hux application: classes and resources come out
 * of the archive appended to the executable (through the executable's natives),
 * everything else from the external class path in "hux.class.path".
 */
public class CarvossClassLoader extends java.net.URLClassLoader {
    static {
        String app = System.getProperty("hux.app.path");
        if (app != null) {
            System.load(app);
        }
    }

    public CarvossClassLoader() {
        super(getHuxClassPath());
    }

    public CarvossClassLoader(ClassLoader parent) {
        super(getHuxClassPath(), parent);
    }

    public static URL[] getHuxClassPath() {
        String path = System.getProperty("hux.class.path", "");
        List<URL> urls = new ArrayList<URL>();
        for (String piece : path.split(java.util.regex.Pattern.quote(File.pathSeparator))) {
            if (piece.length() == 0) {
                continue;
            }
            try {
                urls.add(new File(piece).toURI().toURL());
            } catch (MalformedURLException e) {
                // an element that cannot be a URL is left out
            }
        }
        return urls.toArray(new URL[0]);
    }

    @Override
    protected Class<?> findClass(String name) throws ClassNotFoundException {
        int i = name.lastIndexOf('.');
        if (i > 0) {
            String pkg = name.substring(0, i);
            if (getPackage(pkg) == null) {
                URL url = findResource(name.replace('.', '/') + ".class");
                if (url != null && "hux".equals(url.getProtocol())) {
                    definePackageFrom(pkg, url);
                }
            }
        }
        Class<?> c;
        try {
            c = defineClass(name);
        } catch (Throwable t) {
            throw new ClassNotFoundException(name, t);
        }
        if (c != null) {
            return c;
        }
        return super.findClass(name);
    }

    private void definePackageFrom(String pkg, URL classUrl) {
        String text = classUrl.toString();
        int cut = Math.max(text.lastIndexOf(':'), text.lastIndexOf('!'));
        Manifest manifest = null;
        try {
            InputStream in = new URL(text.substring(0, cut + 1) + "META-INF/MANIFEST.MF").openStream();
            if (in != null) {
                try {
                    manifest = new Manifest(in);
                } finally {
                    in.close();
                }
            }
        } catch (IOException e) {
            manifest = null;
        }
        try {
            if (manifest != null) {
                definePackage(pkg, manifest, null);
            } else {
                definePackage(pkg, null, null, null, null, null, null, null);
            }
        } catch (IllegalArgumentException alreadyDefined) {
            // another thread defined the package first
        }
    }

    protected native Class<?> defineClass(String name);

    @Override
    public native URL findResource(String name);

    @Override
    public native Enumeration<URL> findResources(String name) throws IOException;
}
