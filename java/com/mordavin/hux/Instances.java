package com.mordavin.hux;

import java.io.Serializable;

/** The running instances of this application and messages between them. */
public class Instances {
    static {
        String app = System.getProperty("hux.app.path");
        if (app != null) {
            System.load(app);
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

    public static native void flush();

    public static native void setReceiver(ReceiverInterface receiver);
}
