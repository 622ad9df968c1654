package com.mordavin.hux;

import java.io.Serializable;

/** The running instances of this application and messages between them. */
public class Instances {
    static {
        NativeLink.link(Instances.class);
        // Objects still on their way when the application ends (main returns
        // or System.exit) are flushed first, bounded as flush() is.
        try {
            Runtime.getRuntime().addShutdownHook(new Thread("hux instances flush") {
                public void run() {
                    flush();
                }
            });
        } catch (IllegalStateException e) {
            // already shutting down
        } catch (SecurityException e) {
            // not allowed: objects still queued at the end may be lost
        }
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

    /**
     * Waits until every object sent before the call has reached its receiving
     * instance (or has been dropped because that instance is gone or takes no
     * messages), giving up after 5 seconds in which nothing moved or 60
     * seconds in all.
     */
    public static native void flush();

    /**
     * Waits, at most {@code timeoutMillis}, until every object sent before the
     * call has reached its receiving instance.
     *
     * @return how many objects sent before the call were not delivered:
     *         dropped since an earlier flush reported them (their instance is
     *         gone or takes no messages), or still on their way when the time
     *         was up (those stay queued); 0 when all arrived
     */
    public static int flush(long timeoutMillis) {
        return flushWithin(timeoutMillis);
    }

    private static native int flushWithin(long timeoutMillis);

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
