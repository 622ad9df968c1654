package com.mordavin.hux;

import java.io.Serializable;

/** The running instances of this application and messages between them. */
public class Instances {
    static {
        NativeLink.link(Instances.class);
    }

    /** Receives the objects other instances send to this one. */
    public static interface ReceiverInterface {
        void onReceive(int sender, Serializable object);
    }

    public Instances() {
    }

    public static native int getFirstInstance();

    public static native int getCurrentInstance();

    public static native int[] getInstances();

    public static void sendObject(Serializable object) {
        sendObject(getFirstInstance(), object);
    }

    public static native void sendObject(int target, Serializable object);

    public static native void flush();

    public static native void setReceiver(ReceiverInterface receiver);

    /**
     * Sets the filter through which every object received from another
     * instance is read: a {@code java.io.ObjectInputFilter} (the parameter is
     * typed Object so that these classes still load on Java 8). A class, depth,
     * reference count or array size the filter rejects is not built, and the
     * object is not delivered. Null restores the default: the runtime's own
     * process-wide filter (the {@code jdk.serialFilter} property), if any.
     *
     * @throws IllegalArgumentException when {@code filter} is not an ObjectInputFilter
     * @throws UnsupportedOperationException on a runtime without filters
     */
    public static void setObjectFilter(Object filter) {
        ClassLoaderObjectInputStream.setFilter(filter);
    }
}
