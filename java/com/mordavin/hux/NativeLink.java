package com.mordavin.hux;

import java.io.File;

/**
 * Makes the natives of the support classes callable, each from its class's
 * static initialiser. This class is small and has no dependencies, so a
 * launcher that binds natives itself can bind this one at every start for
 * almost nothing, and the larger classes are then loaded only by the
 * applications that use them.
 */
final class NativeLink {
    /**
     * The length from which a Windows path cannot be loaded as a library by
     * the classic calls (MAX_PATH): the launcher then binds natives itself.
     */
    private static final int MAX_LOADABLE_PATH = 260;

    private NativeLink() {
    }

    /**
     * Where the launcher binds natives itself (everywhere but Windows), it
     * binds those of `c` now; on Windows the executable is loaded as a native
     * library instead, and the virtual machine binds its exports, unless its
     * path is too long to load.
     */
    static void link(Class<?> c) {
        String app = System.getProperty("hux.app.path");
        boolean bound = false;
        if (File.separatorChar != '\\' || app != null && app.length() >= MAX_LOADABLE_PATH) {
            try {
                bound = bindNatives(c, c.getName());
            } catch (LinkageError e) {
                // not bound (an UnsatisfiedLinkError, named by its superclass,
                // which the runtime has loaded already)
            }
        }
        if (!bound && app != null) {
            System.load(app);
        }
    }

    private static native boolean bindNatives(Class<?> c, String name);
}
