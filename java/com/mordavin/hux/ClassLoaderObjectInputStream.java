package com.mordavin.hux;

import java.io.IOException;
import java.io.InputStream;
import java.io.ObjectInputStream;
import java.io.ObjectStreamClass;
import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;

/**
 * Resolves the classes of a received object through a given class loader, and
 * reads it through the filter set with {@link Instances#setObjectFilter}.
 */
public class ClassLoaderObjectInputStream extends ObjectInputStream {
    private ClassLoader loader;

    /** The filter for received objects, a java.io.ObjectInputFilter; null: the runtime's default. */
    private static volatile Object filter;
    private static volatile Method setFilter;

    public ClassLoaderObjectInputStream(InputStream in, ClassLoader loader) throws IOException {
        super(in);
        this.loader = loader;
        Object f = filter;
        if (f != null) {
            try {
                setFilter.invoke(this, f);
            } catch (IllegalAccessException e) {
                throw new IOException("the object filter cannot be set", e);
            } catch (InvocationTargetException e) {
                throw new IOException("the object filter cannot be set", e.getCause());
            }
        }
    }

    // The stream method that takes a filter, on runtimes that have filters.
    static Method filterSetter() {
        try {
            Class<?> type = Class.forName("java.io.ObjectInputFilter");
            return ObjectInputStream.class.getMethod("setObjectInputFilter", type);
        } catch (ClassNotFoundException e) {
            return null;
        } catch (NoSuchMethodException e) {
            return null;
        }
    }

    static void setFilter(Object f) {
        if (f == null) {
            filter = null;
            return;
        }
        Method m = filterSetter();
        if (m == null) {
            throw new UnsupportedOperationException("this Java runtime has no java.io.ObjectInputFilter");
        }
        if (!m.getParameterTypes()[0].isInstance(f)) {
            throw new IllegalArgumentException("not a java.io.ObjectInputFilter: " + f.getClass().getName());
        }
        setFilter = m;
        filter = f;
    }

    @Override
    protected Class<?> resolveClass(ObjectStreamClass desc) throws IOException, ClassNotFoundException {
        try {
            return Class.forName(desc.getName(), false, loader);
        } catch (ClassNotFoundException e) {
            return super.resolveClass(desc);
        }
    }
}
